// The command line of velka-publish, apart from main() so that it can be run in-process.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace velka {

// Exit codes.
inline constexpr int kPublishOk = 0;
inline constexpr int kPublishRefused = 1;  // bad input or a write failure; nothing published
inline constexpr int kPublishUsage = 2;    // the command line itself is malformed

// The --help text: options and the mirror layout.
std::string PublishUsageText();

// Parses `args` (without the program name), publishes, and returns one of the exit codes above.
// The summary goes to `out`; warnings and errors, one line each, prefixed "velka-publish: ", go
// to `err`. Narrow arguments are paths in the platform's narrow encoding.
int RunPublishCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace velka
