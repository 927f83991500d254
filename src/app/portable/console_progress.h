// The progress view on a console: status and version texts as lines, the bar line redrawn in
// place on a terminal ("\r", the line, erase to its end) or printed now and then as plain lines
// when the output is a pipe or a file, and game start errors on the error stream.
//
// Main thread only, like the view it drives.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/portable/progress_view.h"
#include "platform/console.h"

namespace velka {

class ConsoleProgress {
  public:
    using Writer = std::function<void(ConsoleStream, const std::wstring&)>;

    struct Options {
        bool terminal = false;
        // Least time between two drawings of the bar line: a terminal is redrawn a few times a
        // second, a log gets a line now and then.
        int64_t terminalRedrawMs = 250;
        int64_t plainLineMs = 2000;
    };

    // `view` must outlive this object. Without a writer the text goes to ConsoleWrite.
    ConsoleProgress(ProgressView& view, Options options, Writer writer = Writer());

    // Prints the view's initial status text.
    void Begin();
    // Ticks the view at `nowMs` and prints what changed. Returns the view's requests.
    ViewRequests Tick(int64_t nowMs);
    // Brings an open bar line up to date and ends it, so that later output starts on a line of
    // its own.
    void Finish();

  private:
    void Line(ConsoleStream stream, const std::wstring& text);
    void DrawBar(int64_t nowMs);

    ProgressView& view_;
    Options options_;
    Writer writer_;
    std::wstring printedStatus_;
    std::wstring printedVersion_;
    std::wstring pendingBar_;  // the bar line as the view last built it
    std::wstring drawnBar_;    // the bar line as last written
    int64_t lastDrawMs_ = 0;
    bool drawnOnce_ = false;
    bool lineOpen_ = false;  // a terminal bar line without its line end
};

}  // namespace velka
