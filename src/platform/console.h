// The console of a console front end. Wide text is written so that the Chinese status texts
// arrive intact: as UTF-16 through the console API on a Windows console, as UTF-8 elsewhere
// (terminals, pipes and files alike).
#pragma once

#include <string>

namespace velka {

enum class ConsoleStream { Out, Err };

// True when the stream is an interactive terminal (progress is then redrawn in place).
bool IsTerminal(ConsoleStream stream);

// Writes the text as it is (no line end added) and flushes.
void ConsoleWrite(ConsoleStream stream, const std::wstring& text);

}  // namespace velka
