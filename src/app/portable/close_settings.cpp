#include "app/portable/close_settings.h"

#include <sstream>
#include <stdexcept>
#include <vector>

#include "patcher/install_layout.h"
#include "platform/fs.h"
#include "util/ini_reader.h"
#include "util/strings.h"

namespace velka {

namespace {

const char kExitModeKey[] = "exitMode";

// The file is rewritten as a text file of the platform, as Notepad and the players' editors
// expect it there.
const char* TextLineEnd() {
    return kPathSeparator == L'\\' ? "\r\n" : "\n";
}

// Lines end at LF; a final LF does not start another line. A CR before the LF belongs to the
// line end, not to the text.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

}  // namespace

CloseSettings::CloseSettings(const std::wstring& baseDirectory)
    : path_(JoinPath(baseDirectory, kCloseSettingsPath)) {}

void CloseSettings::LoadCloseSetting() {
    if (!FileExists(path_)) {
        ResetCloseSetting();
        return;
    }
    exitMode_ = 1;
    std::string bytes;
    int32_t value = 0;
    if (ReadFileBytes(path_, &bytes)) {
        std::istringstream stream(WithoutByteOrderMark(bytes));
        try {
            IniReader reader(stream);
            value = ToInt(reader.Root().Value(kExitModeKey));
        } catch (const std::runtime_error&) {
            // A file the reader rejects (say, a second exitMode line) is as good as a wrong
            // value: the menu must still work, so it is replaced by the default.
            value = 0;
        }
    }
    if (value == 1 || value == 2) {
        exitMode_ = value;
    } else {
        exitMode_ = 1;
        ResetCloseSetting();
    }
}

bool CloseSettings::ResetCloseSetting() {
    CreateDirectories(path_);
    exitMode_ = 1;
    return WriteFileAtomically(path_,
                               std::string(kExitModeKey) + "=" + IntToString(exitMode_) + "\n");
}

bool CloseSettings::WriteSetting(const std::string& key, const std::string& value) {
    if (key.empty()) return false;  // would match every blank line
    if (!FileExists(path_) && !ResetCloseSetting()) return false;
    std::string bytes;
    if (!ReadFileBytes(path_, &bytes)) return false;
    std::string rewritten;
    for (const std::string& line : SplitLines(bytes)) {
        // The reader trims blanks around keys, so "exitMode = 2" is the exitMode line too;
        // leaving it in place would silently undo the player's choice.
        if (Trim(line.substr(0, line.find('='))) == key) {
            rewritten += key + "=" + value;
        } else {
            rewritten += line;
        }
        rewritten += TextLineEnd();
    }
    return WriteFileAtomically(path_, rewritten);
}

}  // namespace velka
