// Screening of relative paths that come from the network (file lists, package lists, archive
// entry names) before they are joined to a local folder.
#pragma once

#include <string>

namespace velka {

// True when `path` (narrow text, either separator) names something strictly inside whatever
// folder it is joined to, on Windows as well as on POSIX. Rejected:
//   - the empty path, and paths holding a control character (NUL included);
//   - paths that start with a separator ("/x", "\x", "\\server\share");
//   - any ":" (drive letters "C:x", "C:\x", and NTFS stream names);
//   - any component made only of dots and blanks ("..", "...", ". ", " "), which Windows
//     strips or resolves to a parent;
//   - text that does not convert to wide text.
// Empty components ("a//b") and a trailing separator ("dir/") are allowed.
bool IsSafeRelativePath(const std::string& path);

// `text` with every control byte replaced by "?", for log lines that quote untrusted names.
std::string PrintableForLog(const std::string& text);

}  // namespace velka
