#include "edge/mirror_log.h"

namespace vistrel {

namespace {

constexpr TBucketRate kPacedLines{5, 50};

}  // namespace

void TMirrorLog::TellLeftOut() {
    if (left_out_ == 0) return;
    host_.ServerLog("Forward Server: " + std::to_string(left_out_) +
                    " lines about single games and segments were left out");
    left_out_ = 0;
}

void TMirrorLog::Line(std::string_view text) {
    TellLeftOut();
    host_.ServerLog("Forward Server: " + std::string(text));
}

void TMirrorLog::Paced(std::string_view text) {
    const auto now = loop_.Now();
    if (pace_.ReadyAt(kPacedLines, 1, now) > now) {
        ++left_out_;
        ++left_out_total_;
        return;
    }
    pace_.Take(kPacedLines, 1, now);
    Line(text);
}

void TMirrorLog::TellLeftOutWhenDue() {
    const auto now = loop_.Now();
    if (left_out_ == 0 || pace_.ReadyAt(kPacedLines, 1, now) > now) return;
    pace_.Take(kPacedLines, 1, now);
    TellLeftOut();
}

}  // namespace vistrel
