#include "cli/terminal_view.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/language.h"
#include "cli/text_wrap.h"
#include "http/failure_reason.h"
#include "package/item_record.h"
#include "relocate/core_state.h"
#include "relocate/run.h"
#include "base/vector.h"
#include "texts/texts.h"

namespace {

const int MOST_BAR = 30;
const int LEAST_BAR = 8;
const int DEFAULT_COLUMNS = 80;
// Redraws at most this often, and at least this often for the rate and time left.
const std::chrono::milliseconds REDRAW_GAP(100);
const std::chrono::seconds REFRESH_GAP(1);

TerminalView* Of(void* context) { return static_cast<TerminalView*>(context); }

int TerminalColumns() {
    const int columns = TerminalWidth(STDERR_FILENO);
    return columns > 0 ? columns : DEFAULT_COLUMNS;
}

// `format` translated (UTF-8), with one or two numbers.
std::string Formatted(const char* format, int first, int second = 0) {
    char text[128];
    std::snprintf(text, sizeof text, Translated(format), first, second);
    return text;
}

std::string HumanBytes(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string Duration(double seconds) {
    long long whole = static_cast<long long>(seconds + 0.5);
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    }
    return text;
}

// At most columns - 1 columns, so the line never wraps: the fields most
// worth keeping come first, and those that do not fit beside a bar of
// LEAST_BAR are cut from the right.  UTF-8, in the chosen language.
std::string ProgressLine(int done, int total, int failed, int64_t bytes, double seconds, int columns) {
    std::vector<std::string> fields = {Formatted(N_("%d/%d img"), done, total), Formatted(N_("%d failed"), failed),
                                       HumanBytes(static_cast<double>(bytes))};
    if (seconds > 0) fields.push_back(HumanBytes(bytes / seconds) + "/s");
    if (done > 0 && done < total && seconds > 0) {
        char left[64];
        std::snprintf(left, sizeof left, Translated("%s left"), Duration((total - done) * seconds / done).c_str());
        fields.push_back(left);
    }
    const int room = columns - 1;
    for (size_t kept = fields.size(); kept > 0; --kept) {
        std::string text = fields[0];
        for (size_t i = 1; i < kept; ++i) text += " " + fields[i];
        int bar = room - 3 - static_cast<int>(DisplayColumns(text));  // "[", "] "
        if (bar > MOST_BAR) bar = MOST_BAR;
        if (bar < LEAST_BAR) continue;
        int filled = total > 0 ? static_cast<int>(static_cast<int64_t>(done) * bar / total) : bar;
        std::string drawn(static_cast<size_t>(bar), '.');
        drawn.replace(0, static_cast<size_t>(filled), static_cast<size_t>(filled), '#');
        return "[" + drawn + "] " + text;
    }
    // Too narrow for a bar: the count alone, which is ASCII in every language
    // but for its unit.
    return DisplayColumns(fields[0]) <= static_cast<size_t>(room > 0 ? room : 0) ? fields[0] : std::string();
}

// Draws under terminal->lock.
void Draw(TerminalView* terminal) {
    if (!terminal->interactive || CurrentOutputLevel() == OUTPUT_QUIET) return;
    auto now = std::chrono::steady_clock::now();
    double seconds = std::chrono::duration<double>(now - terminal->started).count();
    std::string line = ProgressLine(terminal->relocated + terminal->failed + terminal->known, terminal->imageTotal, terminal->failed,
                                    terminal->bytes, seconds, terminal->columns);
    size_t room = terminal->columns > 1 ? static_cast<size_t>(terminal->columns - 1) : 0;
    size_t padded = terminal->lastLength < room ? terminal->lastLength : room;
    const size_t width = DisplayColumns(line);
    terminal->lastLength = width;
    if (width < padded) line.append(padded - width, ' ');
    DrawStatusLine(line);
    terminal->drawn = now;
    terminal->changed = false;
}

// After a count changed: draws unless the last drawing is too recent, and
// always the last image, so the line ends on the total.
void Changed(TerminalView* terminal, bool last) {
    terminal->changed = true;
    if (terminal->ended) return;
    if (last || std::chrono::steady_clock::now() - terminal->drawn >= REDRAW_GAP) Draw(terminal);
}

void ReadOptions(void* context, RunOptions* options) { *options = Of(context)->options; }

// Before the first image: read from any thread only after that.
void BackupMade(void* context, const char* backupPath) {
    RunOutcome* outcome = &Of(context)->outcome;
    std::snprintf(outcome->backupPath, sizeof outcome->backupPath, "%s", backupPath);
}

// The first line; a message printed later has it drawn again under itself.
void ItemStarted(void* context, int) {
    TerminalView* terminal = Of(context);
    std::lock_guard<std::mutex> lock(terminal->lock);
    if (terminal->lastLength == 0) Draw(terminal);
}

void SetItemText(void* context, int row, int subItem, const char* text) {
    TerminalView* terminal = Of(context);
    if (subItem != 1 || terminal->interactive || CurrentOutputLevel() == OUTPUT_QUIET) return;
    // Plain output: one line per finished item.
    ItemRecord* item = static_cast<ItemRecord*>(VectorGet(coreState.items, row));
    if (item == nullptr || std::strcmp(text, TEXT_ITEM_DONE) != 0) return;
    const Vector* desktop = FailedDesktopUrls(item);
    const Vector* mobile = FailedMobileUrls(item);
    int desktopFailed = desktop != nullptr ? desktop->count : 0;
    int mobileFailed = mobile != nullptr ? mobile->count : 0;
    char head[96];
    std::snprintf(head, sizeof head, "[%d/%d] ", row + 1, terminal->itemCount);
    std::string line = std::string(head) + TranslatedCore(N_("done")) + " " + item->title;
    if (desktopFailed + mobileFailed > 0) {
        line += CoreFromUtf8(Formatted(N_("  (failed: %d desktop, %d mobile)"), desktopFailed, mobileFailed));
    }
    PrintError(line + "\n");
}

void SetProgressPosition(void* context, int position) {
    TerminalView* terminal = Of(context);
    std::lock_guard<std::mutex> lock(terminal->lock);
    if (position < terminal->itemCount || terminal->ended) return;
    // The last item: what is not drawn yet is drawn before the final message.
    if (terminal->changed) Draw(terminal);
    terminal->ended = true;
}

void ImageFinished(void* context, const char* url, int, ImageOutcome outcome, const char* detail,
                   const FailureReason* reason) {
    TerminalView* terminal = Of(context);
    std::lock_guard<std::mutex> lock(terminal->lock);
    if (outcome == IMAGE_RELOCATED) {
        ++terminal->relocated;
        struct stat file;
        if (stat(detail, &file) == 0) terminal->bytes += file.st_size;
    }
    if (outcome == IMAGE_KNOWN) ++terminal->known;
    if (outcome == IMAGE_FAILED) {
        ++terminal->failed;
        FailureReason recorded = {};
        if (reason != nullptr) {
            recorded = *reason;
        } else {
            SetFailureReason(&recorded, FAILURE_OTHER);
        }
        terminal->reasons[url] = {detail, recorded};
    }
    if (CurrentOutputLevel() == OUTPUT_VERBOSE) {
        // The address and its file, or why it failed in the sentence of its
        // reason (the log keeps the long text).
        std::string said = OneLine(detail);
        const bool hasFile = outcome == IMAGE_RELOCATED || outcome == IMAGE_KNOWN;
        // A file DEST held already is marked: no request was made for it.
        if (outcome == IMAGE_KNOWN) said += " " + TranslatedCore(N_("(already in DEST)"));
        if (!hasFile && reason != nullptr) {
            char sentence[256];
            FormatFailureSentence(reason, !ChineseChosen(), sentence, sizeof sentence);
            said = OneLine(sentence);
        }
        PrintError(std::string(url) + (hasFile ? " -> " : " " + TranslatedCore(N_("failed: "))) + said + "\n");
    }
    // Under a line per image the progress line is drawn again anyway: with
    // this image counted.
    const bool verbose = CurrentOutputLevel() == OUTPUT_VERBOSE;
    Changed(terminal, verbose || terminal->relocated + terminal->failed + terminal->known == terminal->imageTotal);
}

}  // namespace

std::string OneLine(const std::string& text) {
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        line += text[i] == '\n' || text[i] == '\r' ? ' ' : text[i];
    }
    return line;
}

void InitTerminalView(TerminalView* terminal, const RunOptions& options, int itemCount) {
    terminal->view = RunView{};
    terminal->options = options;
    terminal->itemCount = itemCount;
    terminal->imageTotal = CountRunImages(options);
    terminal->relocated = terminal->failed = terminal->known = 0;
    terminal->bytes = 0;
    terminal->interactive = isatty(STDERR_FILENO) == 1;
    terminal->columns = terminal->interactive ? TerminalColumns() : DEFAULT_COLUMNS;
    terminal->changed = terminal->ended = false;
    terminal->lastLength = 0;
    terminal->started = terminal->drawn = std::chrono::steady_clock::now();
    terminal->view.context = terminal;
    terminal->view.readOptions = ReadOptions;
    terminal->view.itemStarted = ItemStarted;
    terminal->view.setItemText = SetItemText;
    terminal->view.setProgressPosition = SetProgressPosition;
    terminal->view.imageFinished = ImageFinished;
    terminal->view.backupMade = BackupMade;
    terminal->outcome = RunOutcome{};
}

void TickTerminalView(TerminalView* terminal, bool resized) {
    std::lock_guard<std::mutex> lock(terminal->lock);
    if (!terminal->interactive || terminal->ended) return;
    if (resized) terminal->columns = TerminalColumns();
    auto since = std::chrono::steady_clock::now() - terminal->drawn;
    if (resized || (terminal->changed && since >= REDRAW_GAP) || since >= REFRESH_GAP) Draw(terminal);
}

void FinishTerminalView(TerminalView*) { EndStatusLine(); }
