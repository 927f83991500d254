#include "patcher/version_record.h"

#include <cstdio>

#include "platform/fs.h"

namespace velka {

std::wstring LocalVersionRecordPath(const std::wstring& baseFolder) {
    return JoinPath(baseFolder, std::wstring(L"Config") + kPathSeparator + L"serverconfig.txt");
}

bool WriteLocalVersionRecord(const std::wstring& baseFolder, ServerConfig config) {
    const std::wstring path = LocalVersionRecordPath(baseFolder);
    // A folder that cannot be made shows up as the open failure below.
    CreateDirectories(path);
    File file(path, "wb");
    if (!file) return false;
    const std::string text = "incrementVersion=" + VersionToString(config.incrementVersion) + "\n" +
                             "zipVersion=" + VersionToString(config.zipVersion) + "\n";
    // A short write or a failed flush (full disk) is a failed record, reported like a failed
    // open so the caller logs it instead of believing the versions were kept.
    const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    const bool closed = file.Close();
    return written && closed;
}

}  // namespace velka
