#include "cli/run_summary.h"

#include <chrono>
#include <cstdio>

#include "cli/console.h"
#include "cli/language.h"

#include "package/item_record.h"
#include "relocate/core_state.h"
#include "base/vector.h"
#include "platform/fs.h"
#include "util/files.h"

RunSummary SummarizeRun(const TerminalView& terminal, bool runFailed) {
    RunSummary summary;
    summary.runFailed = runFailed;
    const RunOutcome& outcome = terminal.outcome;
    summary.items = terminal.itemCount;
    summary.imageTotal = terminal.imageTotal;
    summary.relocated = outcome.relocatedCount - outcome.vanishedCount;
    summary.vanished = outcome.vanishedCount;
    summary.failed = outcome.failureCount;
    summary.blanked = terminal.options.blankFailedImages && outcome.textChanged ? outcome.failureCount : 0;
    summary.bytes = terminal.bytes;
    summary.known = terminal.known;
    summary.requestsSaved = outcome.knownCount;
    summary.bytesSaved = outcome.knownBytes + outcome.sameBytesBytes;
    summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - terminal.started).count();
    summary.stopped = outcome.end == RUN_STOPPED;
    summary.written = outcome.written != 0;
    summary.keptBeside = outcome.keptBeside != 0;
    for (int32_t i = 0; coreState.items != nullptr && i < coreState.items->count; ++i) {
        const ItemRecord* item = static_cast<const ItemRecord*>(coreState.items->items[i]);
        if (FailedDesktopUrls(item) != nullptr || FailedMobileUrls(item) != nullptr) ++summary.failedItems;
        if (item->urls != nullptr) summary.alreadyLocal += item->urls->localDesktop + item->urls->localMobile;
    }
    const int left = summary.imageTotal - outcome.relocatedCount - summary.failed - summary.known;
    summary.left = summary.stopped && left > 0 ? left : 0;
    summary.packagePath = coreState.packagePath;
    summary.destination = terminal.options.destination;
    summary.backupPath = outcome.backupPath;
    summary.keptPath = summary.keptBeside ? outcome.keptPath : "";
    summary.logPath = std::string(coreState.stateFolder) + PATH_SEPARATOR_TEXT + "app.log";
    return summary;
}

namespace {

// "1 image", "N images": the count's own text, so either can be translated.
std::string Images(int count) { return Said(count == 1 ? N_("%d image") : N_("%d images"), count); }

std::string Mebibytes(int64_t bytes) {
    char text[32];
    if (bytes < 1024 * 1024) {
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
    } else {
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024 * 1024));
    }
    return text;
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, seconds < 100 ? "%.1f s" : "%.0f s", seconds);
    return text;
}

// "; saved N requests and X of disk", or "" when nothing was saved.
std::string SavedPart(int requests, int64_t bytes) {
    if (requests == 0 && bytes == 0) return std::string();
    return Said(requests == 1 ? N_("; saved %d request and %s of disk") : N_("; saved %d requests and %s of disk"),
                requests, Mebibytes(bytes).c_str());
}

// The images' numbers, one line.
std::string ImagesLine(const RunSummary& summary) {
    std::string line = "karvelo: ";
    if (summary.runFailed) return line + TranslatedCore(N_("the run ended on the error above.")) + "\n";
    if (NothingNewToRelocate(summary) && summary.failed == 0) {
        return line +
               Said(summary.alreadyLocal == 1 ? N_("nothing new to relocate: its %d image address is local already")
                                              : N_("nothing new to relocate: all %d image addresses are local "
                                                   "already"),
                    summary.alreadyLocal) +
               "\n";
    }
    if (summary.stopped) line += TranslatedCore(N_("stopped: "));
    if (summary.relocated == 0 && summary.alreadyLocal > 0) {
        line += TranslatedCore(N_("nothing new relocated"));
    } else if (summary.relocated == 0 && summary.failed == 0 && summary.known == 0 && !summary.stopped) {
        return line + TranslatedCore(N_("no image to relocate")) + "\n";
    } else {
        line += Said(N_("relocated %s (%s in %s)"), Images(summary.relocated).c_str(), Mebibytes(summary.bytes).c_str(),
                     Seconds(summary.seconds).c_str());
    }
    if (summary.alreadyLocal > 0) line += Said(N_("; %d were local already"), summary.alreadyLocal);
    if (summary.known > 0) line += Said(N_("; %d already in the destination"), summary.known);
    line += SavedPart(summary.requestsSaved, summary.bytesSaved);
    if (summary.failed > 0) {
        line += Said(summary.failedItems == 1 ? N_("; %d failed in %d item") : N_("; %d failed in %d items"),
                     summary.failed, summary.failedItems);
        if (summary.blanked > 0) line += Said(N_(", %d made blank"), summary.blanked);
    }
    if (summary.vanished > 0) {
        line += Said(N_("; %s went from the destination before the write-back"), Images(summary.vanished).c_str());
    }
    if (summary.left > 0) line += Said(N_("; %d left"), summary.left);
    return line + TranslatedCore(N_(".")) + "\n";
}

// The package: written back, kept beside, or as it was; and its backup.
std::string PackageLine(const RunSummary& summary) {
    const char* name = FileNameOfPath(summary.packagePath.c_str());
    std::string line = "karvelo: ";
    if (summary.written) {
        line += Said(N_("%s written back"), name);
    } else if (summary.keptBeside) {
        line += Said(N_("%s could not be replaced; the rewritten package is kept beside it as %s"), name,
                     summary.keptPath.c_str());
    } else {
        line += Said(N_("%s left as it was"), name);
    }
    if (!summary.backupPath.empty() && TakeBackupNote()) {
        line += Said(N_("; the package as it was is backed up in %s; the log is %s"), summary.backupPath.c_str(),
                     summary.logPath.c_str());
    }
    return line + "\n";
}

// What to do next; "" when all is done.
std::string NextLine(const RunSummary& summary) {
    if (summary.stopped && summary.left > 0) {
        return "karvelo: " + Said(N_("run the same command again to continue with the %d left."), summary.left) + "\n";
    }
    if (summary.failed > summary.blanked) {
        return "karvelo: " +
               Said(N_("run the same command again to retry the %d; if they stay unreachable, add --blank-failed."),
                    summary.failed) +
               "\n";
    }
    if (summary.vanished > 0) {
        return "karvelo: " + Said(N_("run the same command again to fetch the %d again."), summary.vanished) + "\n";
    }
    return std::string();
}

}  // namespace

bool NothingNewToRelocate(const RunSummary& summary) {
    return summary.relocated == 0 && summary.vanished == 0 && summary.alreadyLocal > 0 && !summary.stopped &&
           !summary.runFailed;
}

std::vector<std::string> SummaryLines(const RunSummary& summary) {
    std::vector<std::string> lines = {ImagesLine(summary), PackageLine(summary)};
    const std::string next = NextLine(summary);
    if (!next.empty()) lines.push_back(next);
    return lines;
}

namespace {

// Summary lines on stderr: the first alone under -q.
void PrintSummaryLines(const std::vector<std::string>& lines) {
    const size_t shown = CurrentOutputLevel() == OUTPUT_QUIET ? 1 : lines.size();
    for (size_t i = 0; i < shown; ++i) PrintError(lines[i]);
}

}  // namespace

void PrintRunSummary(const RunSummary& summary) { PrintSummaryLines(SummaryLines(summary)); }

void AddToBatch(BatchSummary* batch, const RunSummary& summary) {
    if (summary.runFailed) {
        ++batch->refused;
    } else if (summary.keptBeside) {
        ++batch->keptBeside;
    } else {
        ++batch->done;
    }
    batch->relocated += summary.relocated;
    batch->failed += summary.failed;
    batch->known += summary.known;
    batch->requestsSaved += summary.requestsSaved;
    batch->bytesSaved += summary.bytesSaved;
    batch->bytes += summary.bytes;
    batch->stopped = batch->stopped || summary.stopped;
}

std::vector<std::string> BatchSummaryLines(const BatchSummary& batch) {
    std::string images = "karvelo: " + Said(N_("all %d packages: "), batch.packages);
    if (batch.stopped) images += TranslatedCore(N_("stopped: "));
    images += Said(N_("relocated %s (%s)"), Images(batch.relocated).c_str(), Mebibytes(batch.bytes).c_str());
    if (batch.known > 0) images += Said(N_("; %d already in the destination"), batch.known);
    images += SavedPart(batch.requestsSaved, batch.bytesSaved);
    if (batch.failed > 0) images += Said(N_("; %d failed"), batch.failed);
    std::string packages = "karvelo: " + Said(N_("%d done, %d refused, %d kept beside"), batch.done, batch.refused,
                                              batch.keptBeside);
    if (batch.notStarted > 0) packages += Said(N_(", %d not started"), batch.notStarted);
    return {images + TranslatedCore(N_(".")) + "\n", packages + "\n"};
}

void PrintBatchSummary(const BatchSummary& batch) { PrintSummaryLines(BatchSummaryLines(batch)); }
