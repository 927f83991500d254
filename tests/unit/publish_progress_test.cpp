#include "publish/publish_progress.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace velka {
namespace {

PublishProgress Report(uint64_t files, uint64_t bytes, bool finished) {
    PublishProgress p;
    p.stage = PublishProgress::Stage::Files;
    p.filesDone = files;
    p.filesTotal = 7;
    p.bytesDone = bytes;
    p.bytesTotal = 3 * 1048576;
    p.bytesWritten = bytes;
    p.finished = finished;
    return p;
}

// A pipe gets one line per finished stage; a terminal gets the line redrawn in place, a shorter
// text wiping what a longer one left, and the finished line standing.
TEST(PublishProgressTest, PlainLinesOnAPipeOneRedrawnLineOnATerminal) {
    const std::string running =
        "velka-publish: copying and hashing files: 3/7 files, 1.5/3.0 MiB, 1.5 MiB written";
    const std::string done = "velka-publish: copied and hashed 7 files (3145728 bytes)";
    const struct {
        bool terminal;
        std::string expected;
    } cases[] = {
        {false, done + "\n"},
        {true,
         "\r" + running + "\r" + done + std::string(running.size() - done.size(), ' ') + "\n"},
    };
    for (const auto& c : cases) {
        std::ostringstream out;
        PublishProgressPrinter printer(out, c.terminal, std::chrono::milliseconds(0));
        printer.Show(Report(3, 1572864, false));
        printer.Show(Report(7, 3145728, true));
        printer.Abandon();  // nothing left open
        EXPECT_EQ(out.str(), c.expected) << "terminal " << c.terminal;
    }
}

}  // namespace
}  // namespace velka
