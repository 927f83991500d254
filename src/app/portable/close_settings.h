// The close behaviour the player chose: "exitMode" in Config\config.ini below the install folder.
// 1 hides the window to the notification area and lets the update go on; 2 quits. Any other
// stored value, a missing key and an unreadable or malformed file count as 1 and get the file
// rewritten with the default.
//
// Main thread only. Nothing here throws or shows anything: failures are results.
#pragma once

#include <cstdint>
#include <string>

namespace velka {

enum class CloseMode : int32_t { HideToTray = 1, Quit = 2 };

class CloseSettings {
  public:
    // Works on `baseDirectory`\Config\config.ini (no trailing separator on the base).
    explicit CloseSettings(const std::wstring& baseDirectory);

    // Reads exitMode from the file, creating it when missing and repairing it when its value is
    // not 1 or 2 or it cannot be parsed. exitMode is 1 whenever the file does not say 2.
    void LoadCloseSetting();

    // Replaces the file with "exitMode=1\n" (creating Config when needed) and sets exitMode to 1.
    // False when the old file cannot be deleted or the new one cannot be written.
    bool ResetCloseSetting();

    // Replaces the line whose key (the text before the first "=", blanks around it ignored) is
    // `key` with key=value; other lines are kept in order. A key that does not occur is not
    // added. Lines are rewritten with the platform's text line end (CR LF on Windows). A missing
    // file is first reset; when that fails nothing is written. exitMode is not changed: the next
    // LoadCloseSetting picks the new value up. False when the file could not be rewritten.
    bool WriteSetting(const std::string& key, const std::string& value);

    int32_t exitMode() const { return exitMode_; }
    CloseMode Mode() const { return static_cast<CloseMode>(exitMode_); }
    const std::wstring& Path() const { return path_; }

  private:
    std::wstring path_;
    int32_t exitMode_ = 1;
};

}  // namespace velka
