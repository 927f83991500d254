#include "patcher/package_extraction.h"

#include "patcher/install_layout.h"
#include "patcher/maintenance.h"
#include "patcher/player_texts.h"
#include "patcher/status.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "transfer/extract.h"
#include "util/logger.h"
#include "util/safe_path.h"

namespace velka {

bool ExtractPackages(Logger& logger, PatcherStatus& status, const std::wstring& baseDir,
                     const std::vector<PackageEntry>& packages, uint64_t unpackedTotal) {
    const std::wstring packageDir = JoinPath(baseDir, kPackageFolder);
    const std::wstring zipDir = JoinPath(baseDir, kPackageDownloadFolder);

    status.SetMessage(kTidyingText);
    DeleteTree(logger, packageDir);

    status.SetMessage(L"");
    status.SetState(PatcherState::Extracting);
    status.bytesDone = 0;
    status.bytesTotal = static_cast<int64_t>(unpackedTotal);

    // Lists from the parser hold only safe paths; a hand-made entry is not trusted either, and
    // ends the list where it stands.
    std::vector<std::wstring> zipPaths;
    zipPaths.reserve(packages.size());
    for (const PackageEntry& package : packages) {
        zipPaths.push_back(JoinPath(zipDir, ToWide(package.path)));
        if (!IsSafeRelativePath(package.path)) break;
    }
    const bool allSafe = zipPaths.size() == packages.size() &&
                         (packages.empty() || IsSafeRelativePath(packages.back().path));
    const size_t safeCount = allSafe ? zipPaths.size() : zipPaths.size() - 1;
    const std::vector<std::wstring> toUnpack(zipPaths.begin(), zipPaths.begin() + safeCount);

    ArchivesUnpacked outcome =
        UnpackArchivesInOrder(toUnpack, packageDir, &status.bytesDone, logger);
    if (outcome.failed == packages.size()) return true;
    // All safe ones unpacked: the unsafe entry after them is the failure, which no system call
    // caused.
    if (outcome.failed == toUnpack.size()) outcome.code = 0;
    if (!outcome.refusal.empty()) logger.Error(outcome.refusal);
    logger.Error("Unzip failed! Zip path : " + ToNarrow(zipPaths[outcome.failed]) +
                 " Unzip path : " + ToNarrow(packageDir) +
                 " LastError = " + std::to_string(outcome.code));
    status.Fail(kMsgExtractFailed + LastErrorSuffix(outcome.code));
    return false;
}

}  // namespace velka
