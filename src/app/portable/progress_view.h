// The progress view's decisions, frame by frame, for every front end: the status, version and
// error texts, the progress bar line with its speed and reconnect notice, the reactions to the
// end of the update, and starting the game.
//
// The view reads the update thread's status record and owns nothing else; the front end draws
// what the accessors hold after each Tick and carries out the requests Tick returns. Time comes
// from the clock given at construction (milliseconds), so tests drive it by hand.
//
// Main thread only: StartGame changes the process's current directory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "patcher/status.h"

namespace velka {

// The bar line in its three pieces; the middle one (the percentage) is drawn in its own colour.
struct BarPieces {
    std::wstring first;
    std::wstring second;
    std::wstring third;

    std::wstring Text() const { return first + second + third; }
};

// The bar line for a stage: "<stage>[<doneMB>M/<totalMB>M] (" "<percent>%" ")  " kSpeedLabel
// "<speed>MB/s" for the two download stages, without the speed while extracting, and empty in other
// states. Megabytes are whole MiB, truncated; totalMB is at least 1. While `networkLost` the first
// piece is the reconnect notice and the others are empty.
BarPieces ComposeBarPieces(PatcherState state, int64_t bytesDone, int64_t bytesTotal,
                           double speedMiBPerSecond, bool networkLost);

// "%.2fMB/s" of the speed.
std::wstring SpeedText(double speedMiBPerSecond);

struct ProgressBarModel {
    bool shown = false;
    BarPieces pieces;
    // Byte counts the line was last built from; the fill is drawn from them.
    int64_t lastDone = 0;
    int64_t lastTotal = 100;
    int64_t prevDone = 0;

    // lastDone / lastTotal, at most 0.995; 0 when there is nothing to count.
    float FillRatio() const;
};

// What one tick asks of the front end besides showing the texts.
struct ViewRequests {
    bool enableStartButton = false;  // the pipeline ended: enable the start button
    bool flashWindow = false;
    bool bringToFront = false;
    bool gameStarted = false;  // the game was started: the front end ends
    bool redrawLowerPanel = false;
    bool eraseLowerPanel = false;  // with redrawLowerPanel: erase the background first
    bool redrawBar = false;
};

class ProgressView {
  public:
    using Clock = std::function<int64_t()>;

    // Wall-clock milliseconds since the epoch.
    static int64_t WallClockMs();

    // `baseDirectory` is the install folder D (no trailing separator); `status` must outlive the
    // view.
    ProgressView(const PatcherStatus& status, std::wstring baseDirectory,
                 Clock clock = &ProgressView::WallClockMs);

    // Whether the tick that sees Finished starts the game (the window always does; the console
    // can be told not to).
    void SetStartGameOnFinish(bool start) { startGameOnFinish_ = start; }

    // The player's total download speed limit in bytes per second (0: none). Below the speed
    // that counts as progress, the reconnect notice would stay on for a healthy limited
    // download; it then waits for less than half the limit instead.
    void SetSpeedLimit(int64_t bytesPerSecond);

    // One frame. `startClicked`: the player clicked the start button since the last tick; it
    // counts only once the start is offered (after Finished or Failed).
    ViewRequests Tick(bool startClicked = false);
    ViewRequests TickAt(int64_t nowMs, bool startClicked = false);

    // Starts D/Game/velka_win/velka.exe with the argument "Launcher" in its own folder. On
    // failure errorText says why (missing, or refused) and the result is false.
    bool StartGame();

    std::wstring GameExecutable() const;
    std::wstring GameFolder() const;  // with a trailing separator

    const std::wstring& statusText() const { return statusText_; }
    const std::wstring& versionText() const { return versionText_; }
    // Cleared at the start of every tick.
    const std::wstring& errorText() const { return errorText_; }
    const ProgressBarModel& bar() const { return bar_; }
    bool failureShown() const { return failureShown_; }
    // The pipeline has ended (Finished or Failed) and the view has reacted to it.
    bool startOffered() const { return startOffered_; }
    bool gameStarted() const { return gameStarted_; }
    double speed() const { return speed_; }
    int32_t stallMs() const { return stallMs_; }
    bool networkLost() const { return networkLost_; }

  private:
    void TakeSample(int64_t nowMs, PatcherState state, int64_t bytesDone);
    void ClearNetworkLost();

    const PatcherStatus& status_;
    std::wstring baseDirectory_;
    Clock clock_;
    bool startGameOnFinish_ = true;

    std::wstring statusText_;
    std::wstring versionText_;
    std::wstring errorText_;
    ProgressBarModel bar_;
    bool failureShown_ = false;
    bool startOffered_ = false;
    bool gameStarted_ = false;

    int64_t lastSampleMs_ = 0;
    int64_t lastSampleBytes_ = 0;
    double speed_ = 0;
    double slowSpeed_;  // MiB/s below which a sample counts as no progress
    int32_t stallMs_ = 0;
    bool networkLost_ = false;
};

}  // namespace velka
