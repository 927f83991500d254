// The status record the update thread publishes and the front ends read on their tick.
//
// One writer (the update thread), any number of readers. Numbers are atomics, so a reader never
// sees a torn value; the two strings are replaced and copied whole under a small lock. Readers
// may see a new state with the previous message for one tick; they redraw on the next.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "patcher/player_texts.h"

namespace velka {

enum class PatcherState : int32_t {
    Starting = 0,
    FilesDownloaded = 1,
    CheckingFiles = 6,
    DownloadingFiles = 7,
    DownloadingPackages = 8,
    Extracting = 9,
    Finished = 10,
    Failed = 17,
};

class PatcherStatus {
  public:
    std::atomic<int32_t> state{static_cast<int32_t>(PatcherState::Starting)};
    std::atomic<int32_t> filesDone{0};
    std::atomic<int32_t> filesTotal{0};
    std::atomic<int64_t> bytesDone{0};
    std::atomic<int64_t> bytesTotal{0};
    std::atomic<uint32_t> currentFileSize{0};
    std::atomic<int64_t> currentFileBytes{0};

    PatcherState State() const { return static_cast<PatcherState>(state.load()); }
    void SetState(PatcherState s) { state.store(static_cast<int32_t>(s)); }

    std::wstring Message() const { return Get(message_); }
    void SetMessage(const std::wstring& text) { Set(message_, text); }
    std::wstring VersionLabel() const { return Get(versionLabel_); }
    void SetVersionLabel(const std::wstring& text) { Set(versionLabel_, text); }
    std::wstring CurrentFileName() const { return Get(currentFileName_); }
    void SetCurrentFileName(const std::wstring& text) { Set(currentFileName_, text); }

    // Sets Failed and the reason together.
    void Fail(const std::wstring& text) {
        SetMessage(text);
        SetState(PatcherState::Failed);
    }

  private:
    std::wstring Get(const std::wstring& field) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return field;
    }
    void Set(std::wstring& field, const std::wstring& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        field = text;
    }

    mutable std::mutex mutex_;
    std::wstring message_ = kInitialStatusText;
    std::wstring versionLabel_;
    std::wstring currentFileName_;
};

}  // namespace velka
