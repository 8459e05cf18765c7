#include "cli/terminal_view.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cli/console.h"
#include "package/item_record.h"
#include "relocate/core_state.h"
#include "util/vector.h"
#include "texts/texts.h"

namespace {

const int BAR_WIDTH = 30;

TerminalView* Of(void* context) { return static_cast<TerminalView*>(context); }

void DrawStatus(TerminalView* terminal) {
    if (!terminal->interactive || CurrentOutputLevel() == OUTPUT_QUIET) return;
    int filled = terminal->itemCount > 0 ? terminal->itemsDone * BAR_WIDTH / terminal->itemCount : BAR_WIDTH;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(BAR_WIDTH - filled), '.');
    char line[160];
    std::snprintf(line, sizeof line, "\r[%s] items %d/%d  images %d  failed %d ", bar.c_str(), terminal->itemsDone,
                  terminal->itemCount, terminal->relocated, terminal->failed);
    std::fputs(line, stderr);
    std::fflush(stderr);
    SetStatusLineOpen(true);
}

void ReadOptions(void* context, RunOptions* options) { *options = Of(context)->options; }

void ItemStarted(void* context, int row) {
    Of(context)->currentRow = row;
    DrawStatus(Of(context));
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
    std::string line = std::string(head) + text + " " + item->title;
    if (desktopFailed + mobileFailed > 0) {
        char failures[64];
        std::snprintf(failures, sizeof failures, "  (failed: %d desktop, %d mobile)", desktopFailed, mobileFailed);
        line += failures;
    }
    PrintError(line + "\n");
}

void SetProgressPosition(void* context, int position) {
    Of(context)->itemsDone = position;
    DrawStatus(Of(context));
}

void ImageFinished(void* context, const char* url, int, ImageOutcome outcome, const char* detail) {
    TerminalView* terminal = Of(context);
    if (outcome == IMAGE_RELOCATED) {
        ++terminal->relocated;
        terminal->files[url] = detail;
    }
    if (outcome == IMAGE_FAILED) {
        ++terminal->failed;
        terminal->reasons[url] = detail;
    }
    if (CurrentOutputLevel() == OUTPUT_VERBOSE) {
        EndStatusLine();
        PrintError(std::string(url) + (outcome == IMAGE_RELOCATED ? " -> " : " failed: ") + OneLine(detail) + "\n");
    }
    DrawStatus(terminal);
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
    *terminal = TerminalView{};
    terminal->options = options;
    terminal->itemCount = itemCount;
    terminal->interactive = isatty(STDERR_FILENO) == 1;
    terminal->view.context = terminal;
    terminal->view.readOptions = ReadOptions;
    terminal->view.itemStarted = ItemStarted;
    terminal->view.setItemText = SetItemText;
    terminal->view.setProgressPosition = SetProgressPosition;
    terminal->view.imageFinished = ImageFinished;
}

void FinishTerminalView(TerminalView* terminal) {
    EndStatusLine();
}
