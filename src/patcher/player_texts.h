// Every text the player reads, in the launcher's window, its tray, the console front end's output
// and its failure line, grouped by the stage that shows it. The engine and the front ends use
// these names; the words live only here.
#pragma once

#include <cstdint>
#include <string>

namespace velka {

// Start-up, before the update thread reports anything, and while a running game is ended.
inline constexpr wchar_t kInitialStatusText[] = L"正在進行程序初始化";
inline constexpr wchar_t kWaitingForGameText[] = L"正在等待遊戲進程關閉";

// The launcher's own update.
inline constexpr wchar_t kCheckingLauncherText[] = L"正在驗證啓動器是否需要更新";
inline constexpr wchar_t kUpdatingLauncherText[] = L"正在更新啓動器";

// The game versions. In the label, "x.x.x" becomes the full package version and "y.y.y" the
// incremental one when the server configuration names them.
inline constexpr wchar_t kCheckingVersionText[] = L"正在驗證版本是否需要更新";
inline constexpr wchar_t kVersionLabelPattern[] = L"版本號: Vx.x.x/Vy.y.y";

// The local check of the game files and of the packages kept in Temp.
inline constexpr wchar_t kCheckingGameText[] = L"正在驗證遊戲完整性";
inline constexpr wchar_t kCheckingPackagesText[] = L"正在檢索本地整包文件";

// The stage names of the progress bar line, and the word before its speed.
inline constexpr wchar_t kDownloadingFilesStage[] = L"正在進行擴充更新";
inline constexpr wchar_t kDownloadingPackagesStage[] = L"正在進行整包下載";
inline constexpr wchar_t kExtractingStage[] = L"正在解壓";
inline constexpr wchar_t kSpeedLabel[] = L"速度";
// Replaces the bar line while no data arrives.
inline constexpr wchar_t kNetworkLostText[] = L"檢測到網路異常連接中斷，正在爲你嘗試重新連接";

// Removing a folder (an old unpacked package, the old game); the progress follows in brackets.
inline constexpr wchar_t kTidyingText[] = L"正在進行資源整理,如長時間卡頓可重開啓動器";
// The unpacked packages take the old game's place.
inline constexpr wchar_t kRenamingText[] = L"正在進行重命名操作";
inline constexpr wchar_t kFinishedText[] = L"更新完成";

// Failures that end a run. Some are followed by the codes of the last transfer
// (TransferCodesSuffix) or the system's error code (LastErrorSuffix).
inline constexpr wchar_t kMsgCannotVerify[] =  // no mirror delivered a configuration or list
    L"暫時無法驗證更新，請啓動遊戲繼續驗證！";
inline constexpr wchar_t kMsgDiskFull[] = L"磁碟空間不足,請清理空間後再試！";
inline constexpr wchar_t kMsgLocalFault[] =  // a download target could not be written
    L"文件讀寫權限異常，請重啓後再試！";
inline constexpr wchar_t kMsgDownloadFailed[] =  // downloads still failing after every mirror
    L"無法下載遠程文件，請重啓後再試！";
inline constexpr wchar_t kMsgProxyAuth[] =  // a proxy answered 407: credentials missing or wrong
    L"代理伺服器要求身份驗證，請檢查代理設定中的用戶名和密碼後再試！";
inline constexpr wchar_t kMsgExtractFailed[] = L"解壓失敗 請檢查本地壓縮包文件讀寫權限並重開啓動器";
inline constexpr wchar_t kMsgCopyFailed[] =  // incremental files could not be copied in
    L"移動文件失敗，請重啓啓動器後再試！";
inline constexpr wchar_t kMsgRenameFailed[] =
    L"文件夾重命名失敗,請重啓後再試！";  // Package to Game
inline constexpr wchar_t kMsgSelfUpdateFailed[] = L"程序更新失敗，請重啓後再試！";
// With a release key: no mirror offered a valid signed release record (bad signature, expired,
// older than the release installed), or what the mirrors sent is not what it vouches for.
inline constexpr wchar_t kMsgReleaseUnverified[] =
    L"無法驗證更新的發佈簽名，請檢查系統日期後再試！";

// What a failure text ends with when a system call failed.
inline std::wstring LastErrorSuffix(uint32_t code) {
    return L" LastError(" + std::to_wstring(code) + L")";
}
// What a failure text ends with when a transfer failed: libcurl's code and the HTTP status.
inline std::wstring TransferCodesSuffix(int64_t curlCode, int64_t httpStatus) {
    return L" CURLCODE(" + std::to_wstring(curlCode) + L") HTTP STATUES CODE(" +
           std::to_wstring(httpStatus) + L")";
}

// Starting the game after a finished run.
inline constexpr wchar_t kGameNotFoundText[] =
    L"無法找到遊戲啓動文件，請檢查本地遊戲路徑(可嘗試重開啓動器)";
inline constexpr wchar_t kGameStartFailedText[] = L"啓動遊戲失敗(可嘗試重開啓動器)";

// The window, its tray icon and menus (Windows launcher).
inline constexpr wchar_t kDefaultWindowTitle[] = L"Velka手遊下載器";
inline constexpr wchar_t kTrayBalloonTitle[] = L"後台下載";
inline constexpr wchar_t kTrayBalloonText[] =
    L"啓動器將會在後台爲你繼續下載，可在系統介面中右鍵點擊小圖標關閉";
inline constexpr wchar_t kMenuCloseSettings[] = L"關閉設定";
inline constexpr wchar_t kMenuRestore[] = L"恢復主介面";
inline constexpr wchar_t kMenuQuit[] = L"退出";
inline constexpr wchar_t kMenuCloseHides[] = L"最小化";
// A second launcher found the first one not answering.
inline constexpr wchar_t kLauncherHungText[] =
    L"啓動器進程失去反應，請手動通過任務管理器關閉後台進程後再試！";
inline constexpr wchar_t kLauncherHungTitle[] = L"錯誤！";

}  // namespace velka
