#include "transfer/network_settings.h"

#include <sstream>
#include <stdexcept>

#include "platform/fs.h"
#include "util/ini_reader.h"
#include "util/strings.h"

namespace velka {

bool LoadNetworkSettings(const std::wstring& baseDirectory, TransferSettings* settings) {
    std::string bytes;
    if (!ReadFileBytes(JoinPath(baseDirectory, L"Config\\network.ini"), &bytes)) return false;
    std::istringstream stream(WithoutByteOrderMark(bytes));
    try {
        IniReader reader(stream);
        IniSection& root = reader.Root();
        // Blanks in front of an inline comment stay part of an INI value.
        const std::string proxy = Trim(root.Value("proxy"));
        if (!proxy.empty()) settings->proxy = proxy;
    } catch (const std::runtime_error&) {
        return false;
    }
    return true;
}

}  // namespace velka
