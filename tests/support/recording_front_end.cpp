#include "support/recording_front_end.h"

#include "util/front_end.h"

namespace {

RecordingFrontEnd* active = nullptr;

int RecordMessage(const char* text, const char* caption, unsigned style) {
    active->messages.push_back({text, caption, style});
    return active->answer;
}

void RecordLine(const char* text) { active->printed.push_back(text); }

}  // namespace

RecordingFrontEnd::RecordingFrontEnd() {
    active = this;
    FrontEnd frontEnd = {RecordMessage, RecordLine};
    SetFrontEnd(&frontEnd);
}

RecordingFrontEnd::~RecordingFrontEnd() {
    SetFrontEnd(nullptr);
    active = nullptr;
}
