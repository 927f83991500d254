// The names the replacement script is written from: the launcher's name on the first line, the
// staged files on the following ones; the first byte picks the language.
#include "patcher/updater_script.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    velka::UpdaterScript script;
    using velka::ScriptLanguage;
    script.language = data[0] & 1 ? ScriptLanguage::Batch : ScriptLanguage::PosixShell;
    script.sourceFolder = "Temp\\LauncherUpdate";
    script.SetConfigFiles("Temp", "Config", "launcherconfig.txt");
    script.scriptPath = L"/tmp/updater.sh";
    script.stagedVersion = "3.1.2035";
    script.processId = 42;
    const std::string names(reinterpret_cast<const char*>(data) + 1, size - 1);
    size_t start = 0;
    for (size_t end; (end = names.find('\n', start)) != std::string::npos; start = end + 1) {
        (script.launcherExe.empty() ? script.launcherExe : script.files.emplace_back()) =
            names.substr(start, end - start);
    }
    std::string text, refused;
    script.Compose(&text, &refused);
    return 0;
}
