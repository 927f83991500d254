#include "app/portable/console_progress.h"

#include <utility>

namespace velka {

namespace {

// Carriage return, then the text, then "erase to the end of the line" so a shorter line leaves
// no tail of the longer one before it.
std::wstring InPlace(const std::wstring& text) {
    return L"\r" + text + L"\x1b[K";
}

}  // namespace

ConsoleProgress::ConsoleProgress(ProgressView& view, Options options, Writer writer)
    : view_(view), options_(options), writer_(std::move(writer)) {
    if (!writer_) writer_ = &ConsoleWrite;
}

void ConsoleProgress::Begin() {
    printedStatus_ = view_.statusText();
    if (!printedStatus_.empty()) Line(ConsoleStream::Out, printedStatus_);
}

ViewRequests ConsoleProgress::Tick(int64_t nowMs) {
    const ViewRequests requests = view_.TickAt(nowMs);

    const std::wstring& status = view_.statusText();
    if (status != printedStatus_) {
        // An empty status means the bar took its place; the same text coming back later is
        // news again.
        printedStatus_ = status;
        if (!status.empty()) Line(ConsoleStream::Out, status);
    }
    const std::wstring& version = view_.versionText();
    if (version != printedVersion_) {
        printedVersion_ = version;
        if (!version.empty()) Line(ConsoleStream::Out, version);
    }

    const ProgressBarModel& bar = view_.bar();
    if (bar.shown) {
        pendingBar_ = bar.pieces.Text();
        const int64_t gap = options_.terminal ? options_.terminalRedrawMs : options_.plainLineMs;
        if (!pendingBar_.empty() && pendingBar_ != drawnBar_ &&
            (!drawnOnce_ || nowMs - lastDrawMs_ >= gap || nowMs < lastDrawMs_)) {
            DrawBar(nowMs);
        }
    }

    if (!view_.errorText().empty()) Line(ConsoleStream::Err, view_.errorText());
    return requests;
}

void ConsoleProgress::DrawBar(int64_t nowMs) {
    if (options_.terminal) {
        writer_(ConsoleStream::Out, InPlace(pendingBar_));
        lineOpen_ = true;
    } else {
        writer_(ConsoleStream::Out, pendingBar_ + L"\n");
    }
    drawnBar_ = pendingBar_;
    lastDrawMs_ = nowMs;
    drawnOnce_ = true;
}

void ConsoleProgress::Finish() {
    // The last figures of a stage are worth showing even when the rate limit held them back.
    if (!pendingBar_.empty() && pendingBar_ != drawnBar_) {
        writer_(ConsoleStream::Out,
                options_.terminal ? InPlace(pendingBar_) + L"\n" : pendingBar_ + L"\n");
    } else if (lineOpen_) {
        writer_(ConsoleStream::Out, L"\n");
    }
    lineOpen_ = false;
    pendingBar_.clear();
    drawnBar_.clear();
    drawnOnce_ = false;
}

void ConsoleProgress::Line(ConsoleStream stream, const std::wstring& text) {
    Finish();
    writer_(stream, text + L"\n");
}

}  // namespace velka
