#include "cli/run_summary.h"

#include <chrono>

#include "package/item_record.h"
#include "relocate/core_state.h"
#include "base/vector.h"

RunSummary SummarizeRun(const TerminalView& terminal) {
    RunSummary summary;
    const RunOutcome& outcome = terminal.outcome;
    summary.items = terminal.itemCount;
    summary.imageTotal = terminal.imageTotal;
    summary.relocated = outcome.relocatedCount - outcome.vanishedCount;
    summary.vanished = outcome.vanishedCount;
    summary.failed = outcome.failureCount;
    summary.blanked = terminal.options.blankFailedImages && outcome.textChanged ? outcome.failureCount : 0;
    summary.bytes = terminal.bytes;
    summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - terminal.started).count();
    summary.stopped = outcome.end == RUN_STOPPED;
    summary.written = outcome.written != 0;
    summary.keptBeside = outcome.keptBeside != 0;
    for (int32_t i = 0; coreState.items != nullptr && i < coreState.items->count; ++i) {
        const ItemRecord* item = static_cast<const ItemRecord*>(coreState.items->items[i]);
        if (FailedDesktopUrls(item) != nullptr || FailedMobileUrls(item) != nullptr) ++summary.failedItems;
        if (item->urls != nullptr) summary.alreadyLocal += item->urls->localDesktop + item->urls->localMobile;
    }
    const int left = summary.imageTotal - outcome.relocatedCount - summary.failed;
    summary.left = summary.stopped && left > 0 ? left : 0;
    summary.packagePath = coreState.packagePath;
    summary.destination = terminal.options.destination;
    summary.backupPath = outcome.backupPath;
    summary.keptPath = summary.keptBeside ? outcome.keptPath : "";
    summary.logPath = std::string(coreState.stateFolder) + PATH_SEPARATOR_TEXT + "app.log";
    return summary;
}
