// The install folder D: the launcher's executable and everything it keeps beside it. Each folder
// and file below D is named here once; callers join these to D (JoinPath, Patcher::PathIn), so
// the backslashes become the platform's separator where the file functions need it.
//
//   Config\                        the player's records; survives every run
//     launcherconfig.txt           the launcher configuration of the installed launcher; replaced
//                                  in one step when a run finishes, and last by the replacement
//                                  script, so it names a launcher only once that one is in place
//     serverconfig.txt             the version record: the game versions installed
//     acceptedrelease.txt          the highest signed release accepted (launchers built with a
//                                  release key only)
//     network.ini                  the player's proxy and download speed limit
//     config.ini                   the close behaviour the player chose (exitMode)
//   Temp\                          a run's working folder; a finished run removes it whole
//     launcherconfig.txt           the launcher configuration just downloaded
//     serverconfig.txt             the server configuration just downloaded
//     <launcher package>           the launcher package of a self-update, as downloaded
//     LauncherUpdate\              its unpacked files, which the replacement script copies into D
//       LauncherBackup\            the replaced files, until the new ones are in place
//     ZipUpdate\<package>          the full packages, downloaded and kept until unpacked
//     Incrementupdate\velka_win\   single files downloaded for the incremental update
//     OldGame\                     the old game while the new one takes its place (inside D, so
//                                  both renames stay on one volume; inside Temp, so a finished
//                                  run removes it)
//   Package\velka_win\             the full packages unpacked; renamed to Game once complete
//   Game\velka_win\                the installed game, with velka.exe, the program started
//   Log\<yyyy-mm-dd>.txt           one log per day, seven days kept
//   updater.bat / updater.sh       the replacement script of a self-update, while it runs
#pragma once

namespace velka {

// Config and the records in it.
inline constexpr wchar_t kConfigFolder[] = L"Config";
inline constexpr wchar_t kInstalledLauncherConfigPath[] = L"Config\\launcherconfig.txt";
inline constexpr wchar_t kVersionRecordName[] = L"serverconfig.txt";
inline constexpr wchar_t kAcceptedReleasePath[] = L"Config\\acceptedrelease.txt";
inline constexpr wchar_t kNetworkSettingsPath[] = L"Config\\network.ini";
inline constexpr wchar_t kCloseSettingsPath[] = L"Config\\config.ini";

// Temp and what a run stages in it.
inline constexpr wchar_t kTempFolder[] = L"Temp";
inline constexpr wchar_t kStagedLauncherConfigPath[] = L"Temp\\launcherconfig.txt";
inline constexpr wchar_t kStagedServerConfigPath[] = L"Temp\\serverconfig.txt";
inline constexpr wchar_t kLauncherStagingFolder[] = L"Temp\\LauncherUpdate";
// Below the launcher staging folder.
inline constexpr wchar_t kLauncherBackupName[] = L"LauncherBackup";
inline constexpr wchar_t kPackageDownloadFolder[] = L"Temp\\ZipUpdate";
inline constexpr wchar_t kIncrementFolder[] = L"Temp\\Incrementupdate\\velka_win";
inline constexpr wchar_t kOldGameFolder[] = L"Temp\\OldGame";

// The game, unpacked and installed.
inline constexpr wchar_t kPackageFolder[] = L"Package";
inline constexpr wchar_t kUnpackedGameFolder[] = L"Package\\velka_win";
inline constexpr wchar_t kGameFolder[] = L"Game";
inline constexpr wchar_t kInstalledGameFolder[] = L"Game\\velka_win";
inline constexpr wchar_t kGameExecutablePath[] = L"Game\\velka_win\\velka.exe";

inline constexpr wchar_t kLogFolder[] = L"Log";

// The replacement script's file names, by language.
inline constexpr wchar_t kBatchScriptName[] = L"updater.bat";
inline constexpr wchar_t kShellScriptName[] = L"updater.sh";

// D's own entries, which no file of a launcher package may replace (compared without letter
// case).
inline constexpr const wchar_t* kReservedNames[] = {kBatchScriptName, kShellScriptName, kTempFolder,
                                                    kConfigFolder,    kLogFolder,       kGameFolder,
                                                    kPackageFolder};

}  // namespace velka
