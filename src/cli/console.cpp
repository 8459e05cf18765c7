#include "cli/console.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "cli/core_english.h"
#include "cli/language.h"
#include "cli/run_report.h"
#include "cli/text_wrap.h"
#include "platform/fs.h"
#include "relocate/run.h"
#include "relocate/core_state.h"
#include "texts/texts.h"
#include "util/charset.h"
#include "util/front_end.h"
#include "base/memory.h"

namespace {

std::atomic<bool> stopSignalSeen{false};
// The progress line as drawn last, drawn again under each message while it
// is open; under outputLock.  A plain array, so a thread that prints while
// the process exits never meets a destroyed string (the line is far shorter).
struct StatusLine {
    bool open;
    char text[512];
} statusLine = {false, ""};
std::atomic<bool> backupNoteSaid{false};
std::atomic<bool> processEnding{false};  // what is printed now is the last word: no progress line after it
// The progress line is drawn from the main thread and the run's: whoever
// writes ends or draws it whole.
std::recursive_mutex outputLock;
std::atomic<bool> stdoutKept{false};
int (*exitReport)(void* context, int exitCode) = nullptr;
void* exitReportContext = nullptr;
bool stdoutClosed = false;

std::string Convert(TextEncoding from, TextEncoding to, const std::string& text, size_t factor, bool* lossless) {
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

// Continuation lines of a message wrapped on a terminal stand this far in,
// so the message's first line shows where it starts.
const size_t MESSAGE_HANG = 2;
// Back to the start of the line and erase it (ECMA-48 CR, EL).
const char ERASE_LINE[] = "\r\x1b[K";

// A failed write (a reader that went away) is dropped: the run goes on to
// its write-back whatever becomes of its output.  On a terminal the text is
// wrapped to its width, and the progress line, if one is drawn, is erased
// first and drawn again under the text: no stale copy of it is left above.
void Write(FILE* stream, const std::string& text) {
    if (stream == stdout && stdoutKept) stream = stderr;
    std::string utf8 = Visible(Utf8FromCore(text));
    std::lock_guard<std::recursive_mutex> lock(outputLock);
    const int columns = TerminalWidth(fileno(stream));
    if (columns > 0) utf8 = WrapText(utf8, static_cast<size_t>(columns), MESSAGE_HANG);
    // Text for a file or pipe leaves the progress line on stderr's terminal as it is.
    const bool overStatusLine = statusLine.open && (stream == stderr || columns > 0);
    if (overStatusLine) {
        std::fputs(ERASE_LINE, stderr);
        std::fflush(stderr);
    }
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
    std::fflush(stream);
    if (!overStatusLine) return;
    if (!utf8.empty() && utf8.back() == '\n') {
        std::fprintf(stderr, "\r%s", statusLine.text);
        std::fflush(stderr);
    } else {
        statusLine.open = false;  // a text without its line end: the next drawing starts afresh
    }
}

// Where the core's text advises in the wizard's terms (its check boxes,
// customer service), the command line gives the same advice in terms of its
// options.  The texts are the catalog's, found in the message by
// MatchCoreText; the rest is shown in the chosen language.
const char SOME_FAILED_ADVICE[] =
    N_("Some images failed: their addresses are listed under their items, each with why it failed.");
const char CANNOT_CREATE_ADVICE[] =
    N_("Check the destination's free space and permissions, then run the same command again: it continues where "
       "this run stopped.");

std::string CommandLineText(const char* text) {
    std::vector<CorePart> parts;
    if (!MatchCoreText(text, &parts)) return text;  // shown as it is, never lost
    std::string shown;
    for (const CorePart& part : parts) {
        if (part.text == TEXT_SOME_FAILED) {
            shown += "\n\n" + TranslatedCore(SOME_FAILED_ADVICE);
        } else if (part.text == MESSAGE_CANNOT_CREATE_FILE) {
            const std::string said = ShownPart(part);
            shown += said.substr(0, said.find("\n\n")) + "\n\n" + TranslatedCore(CANNOT_CREATE_ADVICE);
        } else {
            shown += ShownPart(part);
            if (part.text == MESSAGE_ALL_FAILED) shown += "\n\n" + TranslatedCore(SOME_FAILED_ADVICE);
        }
    }
    return shown;
}

int ShowConsoleMessage(const char* text, const char* caption, unsigned style) {
    EndStatusLine();
    unsigned icon = style & 0xF0;
    bool toError = icon != MESSAGE_ICON_INFORMATION;
    // Quiet: errors and warnings, and the summary's first line says the rest.
    if (!toError && CurrentOutputLevel() == OUTPUT_QUIET) return ANSWER_OK;
    std::string line = ShownCoreText(caption) + ": " + CommandLineText(text) + "\n";
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


// Out of memory, on whichever thread: said like any fatal error, then the
// end, since the allocation cannot return.
void EndForLackOfMemory(size_t bytes) {
    char text[256];
    FormatOutOfMemoryMessage(bytes, text, sizeof text);
    ShowConsoleMessage(text, CAPTION_ERROR, MESSAGE_OK | MESSAGE_ICON_ERROR);
    ExitEarly(true);
}

void PrintConsoleLine(const char* text) { Write(stdout, std::string(text) + "\n"); }

}  // namespace

int ExitCodeFor(bool byError, const RunOutcome* outcome) {
    if (byError) return EXIT_REFUSED;
    // A stopped run whose package was held: the work is in the kept copy,
    // not in the package, which the exit code of a stop would claim.
    if (outcome != nullptr && outcome->keptBeside) return EXIT_KEPT_BESIDE;
    if (stopSignalSeen) return EXIT_STOPPED;
    // A stop the run asked for itself always comes with an error box; any
    // other early end is the core giving up.
    return EXIT_REFUSED;
}

// A UTF-8 character of two bytes can take four in the core's form; a
// two-byte character of the core's form takes three in UTF-8.
std::string CoreFromUtf8(const std::string& utf8, bool* lossless) {
    return Convert(ENCODING_UTF8, CORE_CHARSET, utf8, 2, lossless);
}
std::string Utf8FromCore(const std::string& text) { return Convert(CORE_CHARSET, ENCODING_UTF8, text, 2, nullptr); }

bool OpenClosedStandardStreams() {
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
        if (descriptor == STDOUT_FILENO) stdoutClosed = true;
        // The lowest free number: this one, as the lower ones are open.
        const int opened = open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened != descriptor) {
            if (opened >= 0) close(opened);
            return false;
        }
    }
    return true;
}

bool StdoutWasClosed() { return stdoutClosed; }

int TerminalWidth(int descriptor) {
    struct winsize size = {};
    if (ioctl(descriptor, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

void PrintOut(const std::string& text) { Write(stdout, text); }
void PrintError(const std::string& text) { Write(stderr, text); }

void InstallConsoleFrontEnd() {
    FrontEnd frontEnd = {ShowConsoleMessage, PrintConsoleLine};
    SetFrontEnd(&frontEnd);
    SetOutOfMemoryHandler(EndForLackOfMemory);
}

int EndEarly(bool byError) {
    processEnding = true;
    EndStatusLine();
    std::fflush(stdout);
    const RunOutcome* outcome = ReportedOutcome();
    PrintBackupNote();
    int exitCode = ExitCodeFor(byError, outcome);
    if (exitReport != nullptr) exitCode = exitReport(exitReportContext, exitCode);
    return exitCode;
}

void ExitEarly(bool byError) { std::exit(EndEarly(byError)); }

void DrawStatusLine(const std::string& line) {
    std::lock_guard<std::recursive_mutex> lock(outputLock);
    if (processEnding) return;
    std::snprintf(statusLine.text, sizeof statusLine.text, "%s", line.c_str());
    statusLine.open = true;
    std::fprintf(stderr, "\r%s", statusLine.text);
    std::fflush(stderr);
}

void KeepStdoutForReport() { stdoutKept = true; }
void SetExitReport(int (*report)(void* context, int exitCode), void* context) {
    exitReport = report;
    exitReportContext = context;
}

void EndStatusLine() {
    std::lock_guard<std::recursive_mutex> lock(outputLock);
    if (statusLine.open) {
        statusLine.open = false;
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }
}

void PrintBackupNote() {
    if (CurrentOutputLevel() == OUTPUT_QUIET) return;
    const RunOutcome* outcome = ReportedOutcome();
    if (outcome == nullptr || outcome->backupPath[0] == '\0' || !TakeBackupNote()) return;
    const std::string log = std::string(coreState.stateFolder) + PATH_SEPARATOR_TEXT + "app.log";
    PrintError(Said(N_("karvelo: the package as it was is backed up in %s; the log is %s\n"), outcome->backupPath,
                    log.c_str()));
}

bool TakeBackupNote() { return !backupNoteSaid.exchange(true); }
void RearmBackupNote() { backupNoteSaid = false; }

void NoteStopSignal() { stopSignalSeen = true; }
bool StopSignalSeen() { return stopSignalSeen; }

namespace {
OutputLevel outputLevel = OUTPUT_NORMAL;
}  // namespace

void SetOutputLevel(OutputLevel level) { outputLevel = level; }

OutputLevel CurrentOutputLevel() { return outputLevel; }
