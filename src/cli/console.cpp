#include "cli/console.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/fs.h"
#include "relocate/run.h"
#include "relocate/core_state.h"
#include "util/charset.h"
#include "util/front_end.h"

namespace {

std::atomic<bool> stopSignalSeen{false};
std::atomic<bool> errorShown{false};
std::atomic<bool> statusLineOpen{false};
std::atomic<bool> stdoutKept{false};
void (*exitReport)(int exitCode) = nullptr;

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

// The UTF-8 text with every control character but the line feed (C0, DEL,
// and C1, which UTF-8 writes as C2 80 to C2 9F) shown as "\xHH" of its code:
// titles, addresses and messages come from the package and the network, and
// an escape sequence among them would drive the terminal.  The line feed
// stays, since the command line's own messages are laid out with it.
std::string Visible(const std::string& utf8) {
    std::string shown;
    shown.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size(); ++i) {
        unsigned char byte = static_cast<unsigned char>(utf8[i]);
        unsigned char next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0;
        bool c1 = byte == 0xC2 && next >= 0x80 && next <= 0x9F;
        if ((byte < 0x20 && byte != '\n') || byte == 0x7F || c1) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", c1 ? next : byte);
            if (c1) ++i;
            shown += escape;
        } else {
            shown += static_cast<char>(byte);
        }
    }
    return shown;
}

// A failed write (a reader that went away) is dropped: the run goes on to
// its write-back whatever becomes of its output.
void Write(FILE* stream, const std::string& text) {
    if (stream == stdout && stdoutKept) stream = stderr;
    std::string utf8 = Visible(Utf8FromCore(text));
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

int ExitCodeFor(int code) {
    if (errorShown) return EXIT_REFUSED;
    // A stopped run whose package was held: the work is in the kept copy,
    // not in the package, which the exit code of a stop would claim.
    if (lastRunSummary.keptBeside) return EXIT_KEPT_BESIDE;
    if (stopSignalSeen) return EXIT_STOPPED;
    // A stop the run asked for itself always comes with an error box; any
    // other request to end is the core giving up.
    return code == 0 ? EXIT_REFUSED : code;
}

void EndConsoleProcess(int code) {
    EndStatusLine();
    std::fflush(stdout);
    PrintBackupNote();
    const int exitCode = ExitCodeFor(code);
    if (exitReport != nullptr) exitReport(exitCode);
    std::exit(exitCode);
}

void PrintConsoleLine(const char* text) { Write(stdout, std::string(text) + "\n"); }

}  // namespace

// A UTF-8 character of two bytes can take four in the core's form; a
// two-byte character of the core's form takes three in UTF-8.
std::string CoreFromUtf8(const std::string& utf8, bool* lossless) {
    return Convert("UTF-8", CORE_CHARSET, utf8, 2, lossless);
}
std::string Utf8FromCore(const std::string& text) { return Convert(CORE_CHARSET, "UTF-8", text, 2, nullptr); }

void PrintOut(const std::string& text) { Write(stdout, text); }
void PrintError(const std::string& text) { Write(stderr, text); }

void InstallConsoleFrontEnd() {
    FrontEnd frontEnd = {ShowConsoleMessage, EndConsoleProcess, PrintConsoleLine};
    SetFrontEnd(&frontEnd);
}

void KeepStdoutForReport() { stdoutKept = true; }
void SetExitReport(void (*report)(int exitCode)) { exitReport = report; }

void SetStatusLineOpen(bool open) { statusLineOpen = open; }

void EndStatusLine() {
    if (statusLineOpen.exchange(false)) {
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }
}

void PrintBackupNote() {
    if (CurrentOutputLevel() == OUTPUT_QUIET) return;
    static std::atomic<bool> printed{false};
    if (lastRunSummary.backupPath[0] == '\0' || printed.exchange(true)) return;
    PrintError(std::string("karvelo: the package as it was is backed up in ") + lastRunSummary.backupPath +
               "; the log is " + coreState.stateFolder + PATH_SEPARATOR_TEXT + "app.log\n");
}

void NoteStopSignal() { stopSignalSeen = true; }
bool StopSignalSeen() { return stopSignalSeen; }

namespace {
OutputLevel outputLevel = OUTPUT_NORMAL;
}  // namespace

void SetOutputLevel(OutputLevel level) { outputLevel = level; }

OutputLevel CurrentOutputLevel() { return outputLevel; }
