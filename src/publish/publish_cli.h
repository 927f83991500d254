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

// Parses `args` (without the program name), publishes (or makes a key pair), and returns one of
// the exit codes above. The summary goes to `out`; progress, warnings and errors, prefixed
// "velka-publish: ", go to `err`: progress as one line redrawn in place when `err` is a
// `terminal`, otherwise one plain line per finished stage, the same for the same input. Narrow
// arguments are paths in the platform's narrow encoding.
int RunPublishCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                      bool terminal = false);

}  // namespace velka
