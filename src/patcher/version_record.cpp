#include "patcher/version_record.h"

#include "patcher/install_layout.h"
#include "platform/fs.h"

namespace velka {

std::wstring LocalVersionRecordPath(const std::wstring& baseFolder) {
    return JoinPath(baseFolder, std::wstring(kConfigFolder) + kPathSeparator + kVersionRecordName);
}

bool WriteLocalVersionRecord(const std::wstring& baseFolder, ServerConfig config) {
    const std::wstring path = LocalVersionRecordPath(baseFolder);
    // A folder that cannot be made shows up as the open failure below.
    CreateDirectories(path);
    const std::string text = "incrementVersion=" + VersionToString(config.incrementVersion) + "\n" +
                             "zipVersion=" + VersionToString(config.zipVersion) + "\n";
    // Never truncated in place: a kill leaves the old record or the new one.
    return WriteFileAtomically(path, text);
}

}  // namespace velka
