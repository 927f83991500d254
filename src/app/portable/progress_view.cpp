#include "app/portable/progress_view.h"

#include <chrono>
#include <cstdio>
#include <utility>

#include "patcher/install_layout.h"
#include "patcher/player_texts.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/text.h"

namespace velka {

namespace {

constexpr int64_t kBytesPerMiB = 1048576;
// Samples closer together than this would make the figure jump with every burst.
constexpr int64_t kMinSampleGapMs = 500;
// Slower than this (about 21 KB/s, in MiB/s) counts as no progress.
constexpr double kSlowSpeed = 0.02;
// This much time of no progress shows the reconnect notice.
constexpr int32_t kNetworkLostAfterMs = 15000;
// A longer gap between samples is a suspended machine, not a stalled transfer.
constexpr int64_t kMaxCountedGapMs = 500000;

std::wstring StageName(PatcherState state) {
    switch (state) {
        case PatcherState::DownloadingFiles:
            return kDownloadingFilesStage;
        case PatcherState::DownloadingPackages:
            return kDownloadingPackagesStage;
        case PatcherState::Extracting:
            return kExtractingStage;
        default:
            return std::wstring();
    }
}

}  // namespace

std::wstring SpeedText(double speedMiBPerSecond) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2fMB/s", speedMiBPerSecond);
    return ToWide(text);
}

BarPieces ComposeBarPieces(PatcherState state, int64_t bytesDone, int64_t bytesTotal,
                           double speedMiBPerSecond, bool networkLost) {
    BarPieces pieces;
    if (networkLost) {
        pieces.first = kNetworkLostText;
        return pieces;
    }
    const std::wstring stage = StageName(state);
    if (stage.empty()) return pieces;
    const int64_t doneMB = bytesDone > 0 ? bytesDone / kBytesPerMiB : 0;
    int64_t totalMB = bytesTotal / kBytesPerMiB;
    if (totalMB < 1) totalMB = 1;
    const int64_t percent =
        static_cast<int64_t>(static_cast<float>(doneMB) / static_cast<float>(totalMB) * 100.0f);
    pieces.first =
        stage + L"[" + std::to_wstring(doneMB) + L"M/" + std::to_wstring(totalMB) + L"M] (";
    pieces.second = std::to_wstring(percent) + L"%";
    pieces.third = state == PatcherState::Extracting
                       ? std::wstring(L")")
                       : L")  " + std::wstring(kSpeedLabel) + SpeedText(speedMiBPerSecond);
    return pieces;
}

float ProgressBarModel::FillRatio() const {
    if (lastTotal <= 0 || lastDone <= 0) return 0.0f;
    const float ratio = static_cast<float>(lastDone) / static_cast<float>(lastTotal);
    return ratio > 0.995f ? 0.995f : ratio;
}

int64_t ProgressView::WallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

ProgressView::ProgressView(const PatcherStatus& status, std::wstring baseDirectory, Clock clock)
    : status_(status),
      baseDirectory_(std::move(baseDirectory)),
      clock_(clock ? std::move(clock) : Clock(&ProgressView::WallClockMs)),
      statusText_(kInitialStatusText),
      slowSpeed_(kSlowSpeed) {}

void ProgressView::SetSpeedLimit(int64_t bytesPerSecond) {
    const double half = static_cast<double>(bytesPerSecond) / 2 / static_cast<double>(kBytesPerMiB);
    slowSpeed_ = bytesPerSecond > 0 && half < kSlowSpeed ? half : kSlowSpeed;
}

std::wstring ProgressView::GameExecutable() const {
    return JoinPath(baseDirectory_, kGameExecutablePath);
}

std::wstring ProgressView::GameFolder() const {
    return JoinPath(baseDirectory_, kInstalledGameFolder) + kPathSeparator;
}

ViewRequests ProgressView::Tick(bool startClicked) {
    return TickAt(clock_(), startClicked);
}

ViewRequests ProgressView::TickAt(int64_t nowMs, bool startClicked) {
    ViewRequests requests;
    errorText_.clear();

    if (!startOffered_) {
        const PatcherState state = status_.State();
        if (state == PatcherState::Finished || state == PatcherState::Failed) {
            startOffered_ = true;
            failureShown_ = state == PatcherState::Failed;
            requests.enableStartButton = true;
            requests.flashWindow = true;
            requests.bringToFront = true;
            if (state == PatcherState::Finished && startGameOnFinish_ &&
                status_.State() == PatcherState::Finished) {
                requests.gameStarted = StartGame();
            }
        }
    }
    if (startClicked && startOffered_ && StartGame()) requests.gameStarted = true;

    const std::wstring message = status_.Message();
    if (!message.empty()) {
        if (message != statusText_) {
            bar_.shown = false;
            statusText_ = message;
            requests.redrawLowerPanel = true;
            requests.eraseLowerPanel = true;
        }
    } else {
        // A transfer or an extraction is running.
        requests.redrawLowerPanel = true;
        bar_.shown = true;
        statusText_.clear();
        const PatcherState state = status_.State();
        const int64_t filesDone = status_.filesDone.load();
        const int64_t filesTotal = status_.filesTotal.load();
        const int64_t bytesDone = status_.bytesDone.load();
        const int64_t bytesTotal = status_.bytesTotal.load();
        const bool unchanged = bar_.lastDone == filesDone && bar_.lastDone == bytesDone &&
                               bar_.lastTotal == filesTotal && bar_.lastTotal == bytesTotal;
        if (!unchanged) {
            TakeSample(nowMs, state, bytesDone);
            // Extraction reads local files: a notice left over from the download would be
            // wrong there, even for the half second until the next sample.
            if (state == PatcherState::Extracting) ClearNetworkLost();
            bar_.pieces = ComposeBarPieces(state, bytesDone, bytesTotal, speed_, networkLost_);
            bar_.prevDone = bar_.lastDone;
            bar_.lastDone = bytesDone;
            bar_.lastTotal = bytesTotal;
            requests.redrawBar = true;
        }
    }

    const std::wstring label = status_.VersionLabel();
    if (label != versionText_) {
        versionText_ = label;
        requests.redrawLowerPanel = true;
    }
    if (!errorText_.empty()) requests.redrawLowerPanel = true;
    return requests;
}

void ProgressView::TakeSample(int64_t nowMs, PatcherState state, int64_t bytesDone) {
    const int64_t elapsed = nowMs - lastSampleMs_;
    if (elapsed < 0) {
        // The wall clock was set back: measure from now on rather than wait for the old time
        // to come round again, which would freeze the speed and the network-lost watch.
        lastSampleMs_ = nowMs;
        return;
    }
    if (elapsed <= kMinSampleGapMs) return;
    lastSampleMs_ = nowMs;
    const int64_t done = bytesDone;
    if (done <= lastSampleBytes_) {
        speed_ = 0;
    } else {
        speed_ = static_cast<double>(done - lastSampleBytes_) /
                 (static_cast<double>(elapsed) / 1000.0) / static_cast<double>(kBytesPerMiB);
    }
    if (speed_ >= slowSpeed_ || state == PatcherState::Extracting) {
        ClearNetworkLost();
    } else {
        if (elapsed < kMaxCountedGapMs && stallMs_ < kNetworkLostAfterMs) {
            stallMs_ += static_cast<int32_t>(elapsed);
        }
        if (stallMs_ >= kNetworkLostAfterMs) networkLost_ = true;
    }
    lastSampleBytes_ = done;
}

void ProgressView::ClearNetworkLost() {
    stallMs_ = 0;
    networkLost_ = false;
}

bool ProgressView::StartGame() {
    const std::wstring exe = GameExecutable();
    if (!FileExists(exe)) {
        errorText_ = kGameNotFoundText;
        return false;
    }
    if (!LaunchProgram(exe, L"Launcher", GameFolder())) {
        errorText_ = kGameStartFailedText;
        return false;
    }
    gameStarted_ = true;
    return true;
}

}  // namespace velka
