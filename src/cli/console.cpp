#include "cli/console.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "util/charset.h"
#include "util/front_end.h"

namespace {

std::atomic<bool> stopSignalSeen{false};
std::atomic<bool> errorShown{false};
std::atomic<bool> statusLineOpen{false};

std::string Convert(const char* from, const char* to, const std::string& text, size_t factor, bool* lossless) {
    if (text.empty()) {
        if (lossless) *lossless = true;
        return std::string();
    }
    std::string out(text.size() * factor + 4, '\0');
    size_t written = 0;
    long long result = ConvertCharsetLarge(from, to, text.data(), text.size(), &out[0], out.size(), &written);
    if (lossless) *lossless = result == 0;
    out.resize(written);
    return out;
}

void Write(FILE* stream, const std::string& gbk) {
    std::string utf8 = Utf8FromGbk(gbk);
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
    std::fflush(stream);
}

int ShowConsoleMessage(const char* text, const char* caption, unsigned style) {
    EndStatusLine();
    unsigned icon = style & 0xF0;
    bool toError = icon != MESSAGE_ICON_INFORMATION;
    if (icon == MESSAGE_ICON_ERROR) errorShown = true;
    std::string line = std::string(caption) + ": " + text + "\n";
    if (toError) {
        Write(stderr, line);
    } else {
        Write(stdout, line);
    }
    unsigned buttons = style & 0xF;
    // Nobody can answer; the careful answer is "no" (nothing is opened).
    if (buttons == MESSAGE_YES_NO || buttons == MESSAGE_YES_NO_CANCEL) return ANSWER_NO;
    return ANSWER_OK;
}

void EndConsoleProcess(int code) {
    EndStatusLine();
    std::fflush(stdout);
    if (errorShown) std::exit(EXIT_REFUSED);
    if (stopSignalSeen) std::exit(EXIT_STOPPED);
    // A stop the run asked for itself always comes with an error box; any
    // other request to end is the core giving up.
    std::exit(code == 0 ? EXIT_REFUSED : code);
}

void PrintConsoleLine(const char* text) { Write(stdout, std::string(text) + "\n"); }

}  // namespace

std::string GbkFromUtf8(const std::string& utf8, bool* lossless) { return Convert("UTF-8", "GBK", utf8, 1, lossless); }
std::string Utf8FromGbk(const std::string& gbk) { return Convert("GBK", "UTF-8", gbk, 2, nullptr); }

void PrintOut(const std::string& gbk) { Write(stdout, gbk); }
void PrintError(const std::string& gbk) { Write(stderr, gbk); }

void InstallConsoleFrontEnd() {
    FrontEnd frontEnd = {ShowConsoleMessage, EndConsoleProcess, PrintConsoleLine};
    SetFrontEnd(&frontEnd);
}

void SetStatusLineOpen(bool open) { statusLineOpen = open; }

void EndStatusLine() {
    if (statusLineOpen.exchange(false)) {
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }
}

void NoteStopSignal() { stopSignalSeen = true; }
bool StopSignalSeen() { return stopSignalSeen; }
bool ErrorShown() { return errorShown; }
