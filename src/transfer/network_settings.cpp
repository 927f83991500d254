#include "transfer/network_settings.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "platform/fs.h"
#include "util/ini_reader.h"
#include "util/strings.h"

namespace velka {

bool LoadNetworkSettings(const std::wstring& path, TransferSettings* settings) {
    std::string bytes;
    if (!ReadFileBytes(path, &bytes)) return false;
    std::istringstream stream(WithoutByteOrderMark(bytes));
    try {
        IniReader reader(stream);
        IniSection& root = reader.Root();
        // Blanks in front of an inline comment stay part of an INI value.
        const std::string proxy = Trim(root.Value("proxy"));
        if (!proxy.empty()) settings->proxy = proxy;
        const std::string limit = Trim(root.Value("maxDownloadKBps"));
        if (!limit.empty()) SetDownloadLimit(settings, ToInt64(limit));
    } catch (const std::runtime_error&) {
        return false;
    }
    return true;
}

void SetDownloadLimit(TransferSettings* settings, int64_t kilobytesPerSecond) {
    // Beyond this the limit could not be told from none (and bytes per second would overflow).
    constexpr int64_t kLargest = int64_t{1} << 40;
    if (kilobytesPerSecond <= 0) {
        settings->downloadLimit.reset();
    } else {
        settings->downloadLimit =
            std::make_shared<RateLimiter>(std::min(kilobytesPerSecond, kLargest) * 1024);
    }
}

}  // namespace velka
