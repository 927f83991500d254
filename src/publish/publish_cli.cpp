#include "publish/publish_cli.h"

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstring>
#include <limits>

#include "patcher/release_record.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "publish/mirror_writer.h"
#include "publish/publish_progress.h"
#include "util/dates.h"
#include "util/strings.h"

namespace velka {

namespace {

constexpr char kProgram[] = "velka-publish: ";
constexpr uint64_t kDefaultExpiryDays = 30;
constexpr uint64_t kMaxExpiryDays = 3650;
// Far enough for any release, and small enough that adding the expiry cannot overflow.
constexpr int64_t kLatestTime = int64_t{1} << 40;

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

// Single-value options are kept as lists so that one given twice can be told apart.
struct CommandLine {
    std::vector<std::string> game;
    std::vector<std::string> out;
    std::vector<std::string> mirrors;
    std::vector<std::string> incrementVersion;
    std::vector<std::string> zipVersion;
    std::vector<std::string> launcherVersion;
    std::vector<std::string> launcherDir;
    std::vector<std::string> useZip;
    std::vector<std::string> packageLimit;
    std::vector<std::string> signKey;
    std::vector<std::string> expires;
    std::vector<std::string> issued;
    std::vector<std::string> release;
    bool enciphered = false;
    bool replace = false;
    bool help = false;
    bool keygen = false;
    std::vector<std::string> keyOut;
};

// Syntax only; values are judged afterwards. Empty when the command line is well-formed.
std::string ParseArguments(const std::vector<std::string>& args, CommandLine* line) {
    for (const std::string& arg : args) {
        for (const char* flag : {"--enciphered=", "--plain=", "--replace="}) {
            if (arg.rfind(flag, 0) == 0) {
                return std::string(flag, std::strlen(flag) - 1) + " takes no value";
            }
        }
    }
    CLI::App app("velka-publish");
    app.set_help_flag("-h,--help");
    app.allow_extras();  // reported below in our own words
    const struct {
        const char* name;
        std::vector<std::string>* slot;
    } values[] = {{"--game", &line->game},
                  {"--out", &line->out},
                  {"--mirror", &line->mirrors},
                  {"--increment-version", &line->incrementVersion},
                  {"--zip-version", &line->zipVersion},
                  {"--launcher-version", &line->launcherVersion},
                  {"--launcher-dir", &line->launcherDir},
                  {"--use-zip", &line->useZip},
                  {"--package-limit", &line->packageLimit},
                  {"--sign-key", &line->signKey},
                  {"--expires", &line->expires},
                  {"--issued", &line->issued},
                  {"--release", &line->release}};
    for (const auto& v : values) {
        app.add_option(v.name, *v.slot)
            ->expected(1)
            ->allow_extra_args(false)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    }
    // In the order given: the last of --plain and --enciphered wins.
    app.add_flag_callback("--plain", [line] { line->enciphered = false; })->trigger_on_parse();
    app.add_flag_callback("--enciphered", [line] { line->enciphered = true; })->trigger_on_parse();
    app.add_flag_callback("--replace", [line] { line->replace = true; })->trigger_on_parse();
    CLI::App* keygen = app.add_subcommand("keygen");
    keygen->allow_extras();
    keygen->add_option("OUT", line->keyOut)->expected(1)->allow_extra_args(false);

    std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them backwards
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        line->help = true;
        return std::string();
    } catch (const CLI::ArgumentMismatch& e) {
        const std::string what = e.what();  // "<option>: ..."
        return what.substr(0, what.find(':')) + " needs a value";
    } catch (const CLI::ParseError& e) {
        return e.what();
    }
    for (CLI::App* part : {&app, keygen}) {
        const std::vector<std::string> extra = part->remaining();
        if (!extra.empty()) return "unknown argument \"" + extra.front() + "\"";
    }
    for (const auto& v : values) {
        if (v.slot != &line->mirrors && v.slot->size() > 1) {
            return std::string(v.name) + " given twice";
        }
    }
    line->keygen = keygen->parsed();
    if (line->keygen) {
        if (line->keyOut.empty()) return "keygen needs the file to write the secret key to";
        for (const auto& v : values) {
            if (!v.slot->empty()) return std::string("keygen takes no ") + v.name;
        }
        return std::string();
    }
    const struct {
        const char* option;
        bool given;
    } required[] = {{"--game", !line->game.empty()},
                    {"--out", !line->out.empty()},
                    {"--mirror", !line->mirrors.empty()},
                    {"--increment-version", !line->incrementVersion.empty()},
                    {"--zip-version", !line->zipVersion.empty()},
                    {"--launcher-version", !line->launcherVersion.empty()}};
    for (const auto& r : required) {
        if (!r.given) return std::string(r.option) + " is required";
    }
    if (line->signKey.empty()) {
        for (const auto* signing : {&line->expires, &line->issued, &line->release}) {
            if (!signing->empty()) return "--expires, --issued and --release need --sign-key";
        }
    }
    return std::string();
}

// Reads --sign-key and the record's numbers; `now` is the default issue time.
std::string MakeSigningOptions(const CommandLine& line, int64_t now, PublishOptions* options) {
    const std::string& keyPath = line.signKey.front();
    std::string key;
    if (!ReadFileBytes(ToWide(keyPath), &key)) {
        return "cannot read the signing key \"" + keyPath + "\" (error " +
               std::to_string(LastSystemError()) + ")";
    }
    ReleaseKeyPair keys;
    std::string problem;
    if (!ReleaseKeyPairFromSeed(Trim(key), &keys, &problem)) {
        return "--sign-key \"" + keyPath + "\" holds no secret key of velka-publish keygen";
    }
    options->signingSeedHex = keys.seedHex;
    uint64_t value = static_cast<uint64_t>(now);
    if (!line.issued.empty() && (!ParseByteCount(line.issued.front(), &value) ||
                                 value > static_cast<uint64_t>(kLatestTime))) {
        return "--issued \"" + line.issued.front() +
               "\" is not a time in seconds since 1970-01-01 UTC";
    }
    options->issued = static_cast<int64_t>(value);
    uint64_t days = kDefaultExpiryDays;
    if (!line.expires.empty() &&
        (!ParseByteCount(line.expires.front(), &days) || days == 0 || days > kMaxExpiryDays)) {
        return "--expires \"" + line.expires.front() + "\" is not a number of days from 1 to " +
               std::to_string(kMaxExpiryDays);
    }
    options->expires = options->issued + static_cast<int64_t>(days) * 86400;
    options->release = static_cast<uint64_t>(options->issued);
    if (!line.release.empty() && !ParseByteCount(line.release.front(), &options->release)) {
        return "--release \"" + line.release.front() + "\" is not a whole number";
    }
    return std::string();
}

// Turns the parsed text into options. Empty when every value is acceptable.
std::string MakeOptions(const CommandLine& line, int64_t now, PublishOptions* options) {
    options->gameFolder = ToWide(line.game.front());
    options->outputFolder = ToWide(line.out.front());
    options->mirrorBaseUrls = line.mirrors;
    options->enciphered = line.enciphered;
    options->replaceOutput = line.replace;
    if (!line.launcherDir.empty()) {
        if (line.launcherDir.front().empty()) return "--launcher-dir needs a folder";
        options->launcherFolder = ToWide(line.launcherDir.front());
    }
    const struct {
        const char* option;
        const std::string& text;
        Version* version;
    } versions[] = {
        {"--increment-version", line.incrementVersion.front(), &options->incrementVersion},
        {"--zip-version", line.zipVersion.front(), &options->zipVersion},
        {"--launcher-version", line.launcherVersion.front(), &options->launcherVersion}};
    for (const auto& v : versions) {
        if (!ParseStrictVersion(v.text, v.version) || IsInvalidVersion(*v.version)) {
            return std::string(v.option) + " \"" + v.text +
                   "\" is not a valid version: three decimal numbers like 1.4.12, major at "
                   "least 1";
        }
    }
    if (!line.useZip.empty()) {
        const std::string& useZip = line.useZip.front();
        if (useZip == "True" || useZip == "true") {
            options->useZip = true;
        } else if (useZip == "False" || useZip == "false") {
            options->useZip = false;
        } else {
            return "--use-zip takes True or False, not \"" + useZip + "\"";
        }
    }
    if (!line.packageLimit.empty()) {
        const std::string& limit = line.packageLimit.front();
        if (!ParseByteCount(limit, &options->packageLimit) || options->packageLimit == 0) {
            return "--package-limit \"" + limit + "\" is not a byte count of at least 1";
        }
    }
    return line.signKey.empty() ? std::string() : MakeSigningOptions(line, now, options);
}

int RunKeygen(const std::string& secretPath, std::ostream& out, std::ostream& err) {
    const std::string publicPath = secretPath + ".pub";
    ReleaseKeyPair keys;
    std::string error;
    if (FileExists(ToWide(secretPath)) || FileExists(ToWide(publicPath))) {
        error = "\"" + secretPath + "\" or \"" + publicPath +
                "\" already exists; a key is never overwritten";
    } else if (!GenerateReleaseKeyPair(&keys)) {
        error = "the system's random source failed";
    } else if (!WriteNewPrivateFile(ToWide(secretPath), keys.seedHex + "\n")) {
        error =
            "cannot write \"" + secretPath + "\" (error " + std::to_string(LastSystemError()) + ")";
    } else if (!WriteNewPrivateFile(ToWide(publicPath), keys.publicHex + "\n")) {
        error =
            "cannot write \"" + publicPath + "\" (error " + std::to_string(LastSystemError()) + ")";
        RemoveFile(ToWide(secretPath));
    }
    if (!error.empty()) {
        err << kProgram << "error: " << error << "\n";
        return kPublishRefused;
    }
    out << "Wrote the secret key to " << secretPath << " (keep it off the mirrors) and the "
        << "public key to " << publicPath << "\n"
        << "Build the launcher with -DVELKA_RELEASE_PUBLIC_KEY=" << keys.publicHex << "\n";
    return kPublishOk;
}

}  // namespace

std::string PublishUsageText() {
    return "Usage: velka-publish --game DIR --out DIR --mirror URL [--mirror URL ...]\n"
           "                     --increment-version X.Y.Z --zip-version X.Y.Z\n"
           "                     --launcher-version X.Y.Z [--launcher-dir DIR]\n"
           "                     [--use-zip True|False]\n"
           "                     [--package-limit BYTES] [--plain | --enciphered] [--replace]\n"
           "                     [--sign-key FILE [--expires DAYS] [--issued SECONDS]\n"
           "                      [--release N]]\n"
           "       velka-publish keygen FILE\n"
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
           "  --sign-key FILE         sign the release with the secret key in FILE: writes\n"
           "                          Launcher/release.txt and lists/hashlist.txt (below)\n"
           "  --expires DAYS          the release record expires DAYS after --issued (default\n"
           "                          30); launchers refuse it a day after that\n"
           "  --issued SECONDS        issue time, seconds since 1970-01-01 UTC (default now)\n"
           "  --release N             release number (default the --issued time); launchers\n"
           "                          refuse a record below the highest they have accepted\n"
           "\n"
           "keygen FILE writes a new Ed25519 key pair: the secret key to FILE (keep it off\n"
           "the mirrors), the public key to FILE.pub, for -DVELKA_RELEASE_PUBLIC_KEY=<hex>.\n"
           "Neither file may exist yet.\n"
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
           "  Launcher/release.txt         with --sign-key: the signed release record\n"
           "  lists/hashlist.txt           with --sign-key: <path>=<sha256> per game file\n"
           "\n"
           "The release record (docs/release-record.md), LF-terminated lines:\n"
           "  velka-release 1\n"
           "  release N / issued SECONDS / expires SECONDS\n"
           "  file NAME SIZE SHA256        launcherconfig.txt, serverconfig.txt, filelist.txt,\n"
           "                               ziplist.txt, hashlist.txt, every package and the\n"
           "                               launcher package, by file name, sorted\n"
           "  signature HEX                Ed25519 over all bytes before this line\n"
           "\n"
           "Names must be plain ASCII without = $ % # < > : \" | ? * \\ or control characters,\n"
           "must not begin with \".\" or end in \".\" or a blank; files must be below 4 GiB.\n"
           "Empty folders are not published. The output is written beside DIR as\n"
           "DIR.partial-<pid> and renamed when complete; the same input (and the same key\n"
           "and times) gives the same bytes.\n"
           "\n"
           "Exit status: 0 published, 1 refused or failed (nothing published), 2 usage error.\n";
}

int RunPublishCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                      bool terminal) {
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
    if (line.keygen) return RunKeygen(line.keyOut.front(), out, err);
    PublishOptions options;
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    std::string error = MakeOptions(line, now, &options);
    PublishProgressPrinter printer(err, terminal);
    options.progress = [&printer](const PublishProgress& progress) { printer.Show(progress); };
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
        if (!summary.releaseRecord.empty()) {
            out << "Signed release " << options.release << " in " << summary.releaseRecord
                << ", valid until " << UtcTimeString(options.expires) << "\n";
        }
        return kPublishOk;
    }
    printer.Abandon();
    err << kProgram << "error: " << error << "\n";
    return kPublishRefused;
}

}  // namespace velka
