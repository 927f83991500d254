// The local version record, Config/serverconfig.txt below the launcher's folder: the incremental
// and the full-package game version the last completed update installed. It is read back with
// ParseServerConfig in versions-only mode.
#pragma once

#include <string>

#include "patcher/remote_config.h"

namespace velka {

// The record's path below `baseFolder` (the launcher's folder).
std::wstring LocalVersionRecordPath(const std::wstring& baseFolder);

// Replaces the record with exactly two LF-ended lines, "incrementVersion=<v>" and
// "zipVersion=<v>" (unknown versions as -1.-1.-1), creating the Config folder when missing.
// Written beside it and moved into place, so an interruption leaves the old record or the new
// one. False when the file could not be created or written completely; LastSystemError() then
// holds the system error code.
bool WriteLocalVersionRecord(const std::wstring& baseFolder, ServerConfig config);

}  // namespace velka
