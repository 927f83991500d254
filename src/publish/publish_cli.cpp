#include "publish/publish_cli.h"

#include <limits>
#include <optional>

#include "platform/text.h"
#include "publish/mirror_writer.h"

namespace velka {

namespace {

constexpr char kProgram[] = "velka-publish: ";

// A version as the configurations will carry it: exactly three plain decimal numbers. The
// launcher's own reader is lenient ("1.2.x" reads as 1.2.0), which is no reason to publish
// something other than what was typed.
bool ParseStrictVersion(const std::string& text, Version* version) {
    *version = ParseVersion(text);
    return VersionToString(*version) == text;
}

bool ParseByteCount(const std::string& text, uint64_t* value) {
    if (text.empty()) return false;
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (result > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

struct CommandLine {
    std::optional<std::string> game;
    std::optional<std::string> out;
    std::vector<std::string> mirrors;
    std::optional<std::string> incrementVersion;
    std::optional<std::string> zipVersion;
    std::optional<std::string> launcherVersion;
    std::optional<std::string> launcherDir;
    std::optional<std::string> useZip;
    std::optional<std::string> packageLimit;
    bool enciphered = false;
    bool replace = false;
    bool help = false;
};

// Syntax only; values are judged afterwards. Empty when the command line is well-formed.
std::string ParseArguments(const std::vector<std::string>& args, CommandLine* line) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string option = args[i];
        std::optional<std::string> inlineValue;
        const size_t equals = option.find('=');
        if (option.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            inlineValue = option.substr(equals + 1);
            option.erase(equals);
        }
        if (option == "--help" || option == "-h") {
            line->help = true;
            continue;
        }
        if (option == "--enciphered" || option == "--plain" || option == "--replace") {
            if (inlineValue) return option + " takes no value";
            if (option == "--replace") {
                line->replace = true;
            } else {
                line->enciphered = option == "--enciphered";
            }
            continue;
        }
        std::optional<std::string>* slot = nullptr;
        if (option == "--game") slot = &line->game;
        if (option == "--out") slot = &line->out;
        if (option == "--increment-version") slot = &line->incrementVersion;
        if (option == "--zip-version") slot = &line->zipVersion;
        if (option == "--launcher-version") slot = &line->launcherVersion;
        if (option == "--launcher-dir") slot = &line->launcherDir;
        if (option == "--use-zip") slot = &line->useZip;
        if (option == "--package-limit") slot = &line->packageLimit;
        const bool isMirror = option == "--mirror";
        if (slot == nullptr && !isMirror) return "unknown argument \"" + args[i] + "\"";

        std::string value;
        if (inlineValue) {
            value = *inlineValue;
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return option + " needs a value";
        }
        if (isMirror) {
            line->mirrors.push_back(value);
        } else if (slot->has_value()) {
            return option + " given twice";
        } else {
            *slot = value;
        }
    }
    if (line->help) return std::string();
    const struct {
        const char* option;
        bool given;
    } required[] = {{"--game", line->game.has_value()},
                    {"--out", line->out.has_value()},
                    {"--mirror", !line->mirrors.empty()},
                    {"--increment-version", line->incrementVersion.has_value()},
                    {"--zip-version", line->zipVersion.has_value()},
                    {"--launcher-version", line->launcherVersion.has_value()}};
    for (const auto& r : required) {
        if (!r.given) return std::string(r.option) + " is required";
    }
    return std::string();
}

// Turns the parsed text into options. Empty when every value is acceptable.
std::string MakeOptions(const CommandLine& line, PublishOptions* options) {
    options->gameFolder = ToWide(*line.game);
    options->outputFolder = ToWide(*line.out);
    options->mirrorBaseUrls = line.mirrors;
    options->enciphered = line.enciphered;
    options->replaceOutput = line.replace;
    if (line.launcherDir) {
        if (line.launcherDir->empty()) return "--launcher-dir needs a folder";
        options->launcherFolder = ToWide(*line.launcherDir);
    }
    const struct {
        const char* option;
        const std::string& text;
        Version* version;
    } versions[] = {{"--increment-version", *line.incrementVersion, &options->incrementVersion},
                    {"--zip-version", *line.zipVersion, &options->zipVersion},
                    {"--launcher-version", *line.launcherVersion, &options->launcherVersion}};
    for (const auto& v : versions) {
        if (!ParseStrictVersion(v.text, v.version) || IsInvalidVersion(*v.version)) {
            return std::string(v.option) + " \"" + v.text +
                   "\" is not a valid version: three decimal numbers like 1.4.12, major at "
                   "least 1";
        }
    }
    if (line.useZip) {
        if (*line.useZip == "True" || *line.useZip == "true") {
            options->useZip = true;
        } else if (*line.useZip == "False" || *line.useZip == "false") {
            options->useZip = false;
        } else {
            return "--use-zip takes True or False, not \"" + *line.useZip + "\"";
        }
    }
    if (line.packageLimit) {
        if (!ParseByteCount(*line.packageLimit, &options->packageLimit) ||
            options->packageLimit == 0) {
            return "--package-limit \"" + *line.packageLimit +
                   "\" is not a byte count of at least 1";
        }
    }
    return std::string();
}

}  // namespace

std::string PublishUsageText() {
    return "Usage: velka-publish --game DIR --out DIR --mirror URL [--mirror URL ...]\n"
           "                     --increment-version X.Y.Z --zip-version X.Y.Z\n"
           "                     --launcher-version X.Y.Z [--launcher-dir DIR]\n"
           "                     [--use-zip True|False]\n"
           "                     [--package-limit BYTES] [--plain | --enciphered] [--replace]\n"
           "\n"
           "Writes a complete static mirror of the game in DIR/velka_win to the output folder.\n"
           "\n"
           "  --game DIR              game build folder holding velka_win/\n"
           "  --out DIR               output folder; must not exist (see --replace)\n"
           "  --mirror URL            base URL the output folder is served at, http:// or\n"
           "                          https://, ending in \"/\"; repeat for more mirrors, in the\n"
           "                          order the launcher should try them\n"
           "  --increment-version V   current game version (serverconfig incrementVersion)\n"
           "  --zip-version V         version below which players get full packages\n"
           "  --launcher-version V    launcher version announced in launcherconfig.txt\n"
           "  --launcher-dir DIR      launcher build folder: its top-level files become the\n"
           "                          launcher package of version V, which launchers of an\n"
           "                          older version replace themselves with\n"
           "  --use-zip True|False    force full packages for every update (default False)\n"
           "  --package-limit BYTES   uncompressed bytes per package (default 536870912); a\n"
           "                          larger file gets a package of its own\n"
           "  --plain, --enciphered   configuration values plain (default) or enciphered with\n"
           "                          the launcher's key\n"
           "  --replace               replace an existing output folder\n"
           "\n"
           "Mirror layout (BASE is each --mirror URL):\n"
           "  Launcher/launcherconfig.txt  remoteURLs = BASE + Launcher/\n"
           "  Launcher/serverconfig.txt    fetched from remoteURLs\n"
           "  Launcher/V/launcher_V.zip    the launcher package (launcherZipInfo), V being\n"
           "                               the --launcher-version\n"
           "  lists/filelist.txt           filelistURLs = BASE + lists/filelist.txt\n"
           "  lists/ziplist.txt            ziplistURLs = BASE + lists/ziplist.txt\n"
           "  zip/velka_win_<incrementVersion>_<NNN>.zip   zipupdateURLs = BASE + zip/\n"
           "  files/<path below velka_win> incrementupdateURLs = BASE + files/\n"
           "\n"
           "Names must be plain ASCII without = $ % # < > : \" | ? * \\ or control characters,\n"
           "must not begin with \".\" or end in \".\" or a blank; files must be below 4 GiB.\n"
           "Empty folders are not published. The output is written beside DIR as\n"
           "DIR.partial-<pid> and renamed when complete; the same input gives the same bytes.\n"
           "\n"
           "Exit status: 0 published, 1 refused or failed (nothing published), 2 usage error.\n";
}

int RunPublishCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    CommandLine line;
    const std::string syntax = ParseArguments(args, &line);
    if (!syntax.empty()) {
        err << kProgram << "error: " << syntax << "\n" << kProgram << "try --help\n";
        return kPublishUsage;
    }
    if (line.help) {
        out << PublishUsageText();
        return kPublishOk;
    }
    PublishOptions options;
    std::string error = MakeOptions(line, &options);
    PublishSummary summary;
    if (error.empty() && PublishMirror(options, &summary, &error)) {
        for (const std::string& warning : summary.warnings) {
            err << kProgram << "warning: " << warning << "\n";
        }
        out << "Published " << summary.fileCount << " files (" << summary.gameBytes << " bytes) in "
            << summary.packages.size() << " packages to " << ToNarrow(summary.outputFolder) << "\n";
        if (!summary.launcherPackage.empty()) {
            out << "Published the launcher package " << summary.launcherPackage << " ("
                << summary.launcherFileCount << " files)\n";
        }
        return kPublishOk;
    }
    err << kProgram << "error: " << error << "\n";
    return kPublishRefused;
}

}  // namespace velka
