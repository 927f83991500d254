// velka-publish's progress display: publishing a large game takes a while.
#pragma once

#include <chrono>
#include <ostream>
#include <string>

#include "publish/mirror_writer.h"

namespace velka {

// The text of one report: what has been done so far, or, for a stage's last report, what it did
// ("copied and hashed 7 files (1234 bytes)"). Depends on the report only.
std::string PublishProgressText(const PublishProgress& progress);

// Writes reports to `out`, each prefixed "velka-publish: ". On a terminal one line is redrawn in
// place, at most once per `redrawPeriod`, and left standing when its stage finishes; otherwise
// only the last report of each stage is written, as a line of its own, so the output is the same
// for the same input.
class PublishProgressPrinter {
  public:
    PublishProgressPrinter(std::ostream& out, bool terminal,
                           std::chrono::milliseconds redrawPeriod = std::chrono::milliseconds(100));
    void Show(const PublishProgress& progress);
    // Ends a line left unfinished by a failed stage, so that what follows starts on its own.
    void Abandon();

  private:
    std::ostream& out_;
    bool terminal_;
    std::chrono::milliseconds redrawPeriod_;
    std::chrono::steady_clock::time_point lastDrawn_;
    size_t drawnWidth_ = 0;  // of the line standing unfinished on the terminal, or 0
};

}  // namespace velka
