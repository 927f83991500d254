#include "publish/publish_progress.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace velka {
namespace {

// A pipe gets one line per finished stage; a terminal gets the line redrawn in place, a shorter
// text wiping what a longer one left, and the finished line standing.
TEST(PublishProgressTest, PlainLinesOnAPipeOneRedrawnLineOnATerminal) {
    using Stage = PublishProgress::Stage;
    const PublishProgress running{Stage::Files, 3, 7, 1572864, 3145728, 1572864, false};
    const PublishProgress done{Stage::Files, 7, 7, 3145728, 3145728, 3145728, true};
    const std::string line =
        "velka-publish: copying and hashing files: 3/7 files, 1.5/3.0 MiB, 1.5 MiB written";
    const std::string last = "velka-publish: copied and hashed 7 files (3145728 bytes)";
    for (bool terminal : {false, true}) {
        std::ostringstream out;
        PublishProgressPrinter printer(out, terminal, std::chrono::milliseconds(0));
        printer.Show(running);
        printer.Show(done);
        printer.Abandon();  // nothing left open
        EXPECT_EQ(out.str(), terminal ? "\r" + line + "\r" + last +
                                            std::string(line.size() - last.size(), ' ') + "\n"
                                      : last + "\n");
    }
}

}  // namespace
}  // namespace velka
