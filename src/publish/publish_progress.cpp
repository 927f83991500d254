#include "publish/publish_progress.h"

#include <cstdio>

namespace velka {

namespace {

constexpr char kPrefix[] = "velka-publish: ";

std::string Mebibytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

}  // namespace

std::string PublishProgressText(const PublishProgress& p) {
    const std::string files =
        std::to_string(p.filesDone) + " files (" + std::to_string(p.bytesDone) + " bytes)";
    if (p.finished) {
        switch (p.stage) {
            case PublishProgress::Stage::Files:
                return "copied and hashed " + files;
            case PublishProgress::Stage::Packages:
                return "compressed " + files + " into packages of " +
                       std::to_string(p.bytesWritten) + " bytes";
            case PublishProgress::Stage::Launcher:
                return "compressed " + std::to_string(p.filesDone) + " launcher files (" +
                       std::to_string(p.bytesDone) + " bytes) into " +
                       std::to_string(p.bytesWritten) + " bytes";
        }
    }
    const char* doing = p.stage == PublishProgress::Stage::Files ? "copying and hashing files"
                        : p.stage == PublishProgress::Stage::Packages
                            ? "compressing packages"
                            : "compressing the launcher package";
    return std::string(doing) + ": " + std::to_string(p.filesDone) + "/" +
           std::to_string(p.filesTotal) + " files, " + Mebibytes(p.bytesDone) + "/" +
           Mebibytes(p.bytesTotal) + " MiB, " + Mebibytes(p.bytesWritten) + " MiB written";
}

PublishProgressPrinter::PublishProgressPrinter(std::ostream& out, bool terminal,
                                               std::chrono::milliseconds redrawPeriod)
    : out_(out), terminal_(terminal), redrawPeriod_(redrawPeriod) {}

void PublishProgressPrinter::Show(const PublishProgress& progress) {
    if (!terminal_) {
        if (progress.finished) out_ << kPrefix << PublishProgressText(progress) << "\n";
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!progress.finished && drawnWidth_ > 0 && now - lastDrawn_ < redrawPeriod_) return;
    lastDrawn_ = now;
    std::string line = kPrefix + PublishProgressText(progress);
    const size_t width = line.size();
    if (width < drawnWidth_) line.append(drawnWidth_ - width, ' ');  // wipe a longer line
    out_ << "\r" << line;
    if (progress.finished) {
        out_ << "\n";
        drawnWidth_ = 0;
    } else {
        drawnWidth_ = width;
    }
    out_.flush();
}

void PublishProgressPrinter::Abandon() {
    if (drawnWidth_ > 0) out_ << "\n";
    drawnWidth_ = 0;
}

}  // namespace velka
