#include "cli/run_report.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cli/console.h"
#include "cli/language.h"
#include "cli/run_summary.h"
#include "cli/json_writer.h"
#include "package/item_record.h"
#include "platform/fs.h"
#include "relocate/core_state.h"
#include "relocate/run.h"
#include "base/hash_map.h"
#include "base/vector.h"

namespace {

// The command whose document is chosen, or null: no --json.
std::atomic<const char*> reportedCommand{nullptr};
std::atomic<const TerminalView*> reportedRun{nullptr};

const TerminalView::ImageFailure* Find(const std::map<std::string, TerminalView::ImageFailure>& map, const char* url) {
    auto found = map.find(url);
    return found != map.end() ? &found->second : nullptr;
}

// The item's addresses of both kinds, in the package's order, each once.
std::vector<const char*> AddressesOf(const Vector* desktop, const Vector* mobile) {
    std::vector<const char*> addresses;
    std::set<std::string> seen;
    for (const Vector* list : {desktop, mobile}) {
        for (int32_t i = 0; list != nullptr && i < list->count; ++i) {
            const char* url = static_cast<const char*>(list->items[i]);
            if (seen.insert(url).second) addresses.push_back(url);
        }
    }
    return addresses;
}

// The failure's sentence in the chosen language, in the core's form.
std::string SentenceOf(const FailureReason& reason) {
    char sentence[512];
    FormatFailureSentence(&reason, !ChineseChosen(), sentence, sizeof sentence);
    return sentence;
}

// A text in the core's form, or null for "".
void TextOrNull(JsonWriter* json, const std::string& text) {
    if (text.empty()) {
        json->Null();
    } else {
        json->String(Utf8FromCore(text));
    }
}

void WriteItem(JsonWriter* json, const TerminalView& terminal, const ItemRecord* item, int row) {
    json->BeginObject();
    WriteItemHead(json, item, row);
    // Images that an earlier item of the run fetched count for this one
    // too; one whose file went from the destination before the write-back
    // stayed remote, and the run's map no longer holds it.
    json->Key("relocated");
    json->BeginArray();
    for (const char* url : AddressesOf(DesktopUrls(item), MobileUrls(item))) {
        const char* file =
            coreState.urlMap != nullptr ? static_cast<const char*>(HashMapGet(coreState.urlMap, url)) : nullptr;
        if (file == nullptr || *file == '\0') continue;
        json->BeginObject();
        json->Key("url");
        json->String(Utf8FromCore(url));
        json->Key("file");
        json->String(Utf8FromCore(file));
        json->EndObject();
    }
    json->EndArray();
    json->Key("failed");
    json->BeginArray();
    for (const char* url : AddressesOf(FailedDesktopUrls(item), FailedMobileUrls(item))) {
        const TerminalView::ImageFailure* failure = Find(terminal.reasons, url);
        FailureReason other = {};
        SetFailureReason(&other, FAILURE_OTHER);
        const FailureReason& reason = failure != nullptr ? failure->reason : other;
        json->BeginObject();
        json->Key("url");
        json->String(Utf8FromCore(url));
        json->Key("code");
        json->String(FailureCode(reason.kind));
        json->Key("sentence");
        json->String(Utf8FromCore(SentenceOf(reason)));
        json->Key("reason");
        json->String(Utf8FromCore(failure != nullptr ? failure->text : std::string()));
        json->EndObject();
    }
    json->EndArray();
    json->EndObject();
}

// The numbers the text summary gives (RunSummary), under their own names.
void WriteCounts(JsonWriter* json, const RunSummary& summary) {
    json->BeginObject();
    const std::pair<const char*, long long> numbers[] = {
        {"items", summary.items},         {"images", summary.imageTotal},
        {"relocated", summary.relocated}, {"already_local", summary.alreadyLocal},
        {"failed", summary.failed},       {"failed_items", summary.failedItems},
        {"blanked", summary.blanked},     {"left", summary.left},
        {"vanished", summary.vanished},   {"bytes", summary.bytes},
        {"already_in_destination", summary.known},
        {"requests_saved", summary.requestsSaved},
        {"bytes_saved", summary.bytesSaved},
    };
    for (const auto& [key, value] : numbers) {
        json->Key(key);
        json->Number(value);
    }
    json->Key("seconds");
    json->Decimal(summary.seconds);
    json->Key("stopped");
    json->Bool(summary.stopped);
    json->EndObject();
}

}  // namespace

void PrintFailureList(const TerminalView& terminal) {
    for (int32_t i = 0; i < coreState.items->count; ++i) {
        const ItemRecord* item = static_cast<const ItemRecord*>(coreState.items->items[i]);
        if (FailedDesktopUrls(item) == nullptr && FailedMobileUrls(item) == nullptr) continue;
        PrintOut(std::string(item->title) + "\n");
        for (const char* url : AddressesOf(FailedDesktopUrls(item), FailedMobileUrls(item))) {
            const TerminalView::ImageFailure* failure = Find(terminal.reasons, url);
            PrintOut(std::string("    ") + url + (failure != nullptr ? ": " + SentenceOf(failure->reason) : "") + "\n");
        }
    }
}

void WriteItemHead(JsonWriter* json, const ItemRecord* item, int row) {
    json->Key("row");
    json->Number(row);
    json->Key("outer_id");
    if (item->outerId != nullptr) {
        json->String(Utf8FromCore(item->outerId));
    } else {
        json->Null();
    }
    json->Key("title");
    json->String(Utf8FromCore(item->title));
}

void ChooseJsonReport(const char* command) {
    reportedCommand = command;
    KeepStdoutForReport();
    SetExitReport([](void*, int exitCode) { return WriteJsonReport(exitCode); });
}

bool JsonReportChosen() { return reportedCommand != nullptr; }

void SetReportedRun(const TerminalView* terminal) { reportedRun = terminal; }

const RunOutcome* ReportedOutcome() {
    const TerminalView* terminal = reportedRun;
    return terminal != nullptr ? &terminal->outcome : nullptr;
}

void BeginJsonReport(JsonWriter* json, const char* packagePath) {
    const char* command = reportedCommand;
    json->BeginObject();
    json->Key("schema");
    json->Number(JSON_REPORT_SCHEMA);
    json->Key("command");
    json->String(command != nullptr ? command : "");
    json->Key("package");
    TextOrNull(json, packagePath != nullptr ? packagePath : "");
}

int FinishJsonReport(JsonWriter* json, int exitCode) {
    static std::atomic<bool> written{false};
    static std::atomic<bool> lost{false};
    if (!JsonReportChosen()) return exitCode;
    if (written.exchange(true)) return lost ? EXIT_REFUSED : exitCode;
    json->Key("exit_code");
    json->Number(exitCode);
    json->EndObject();
    const std::string document = json->Text() + "\n";
    errno = 0;
    const bool whole = !StdoutWasClosed() &&
                       std::fwrite(document.data(), 1, document.size(), stdout) == document.size() &&
                       std::fflush(stdout) == 0;
    if (whole) return exitCode;
    lost = true;
    const int error = errno;
    PrintError(std::string("karvelo: the --json report could not be written to standard output: ") +
               (StdoutWasClosed() ? "it was closed when karvelo started" : std::strerror(error)) + "\n");
    return EXIT_REFUSED;
}

namespace {

// What follows "package" in the relocation's document, for the run
// `terminal` shows (null: none, so no items and null counts).
void WriteRunMembers(JsonWriter* json, const TerminalView* terminal, const RunSummary& summary) {
    const bool ran = terminal != nullptr;
    const std::string stateFolder = coreState.stateFolder;
    json->Key("destination");
    TextOrNull(json, summary.destination);
    json->Key("log");
    TextOrNull(json, ran ? summary.logPath : stateFolder.empty() ? "" : stateFolder + PATH_SEPARATOR_TEXT "app.log");
    json->Key("items");
    json->BeginArray();
    for (int32_t i = 0; ran && i < coreState.items->count; ++i) {
        WriteItem(json, *terminal, static_cast<const ItemRecord*>(coreState.items->items[i]), i + 1);
    }
    json->EndArray();
    json->Key("counts");
    if (ran) {
        WriteCounts(json, summary);
    } else {
        json->Null();
    }
    const RunOutcome* outcome = ran ? &terminal->outcome : nullptr;
    json->Key("totals");
    json->BeginObject();
    json->Key("items");
    json->Number(ran ? coreState.items->count : 0);
    json->Key("relocated");
    json->Number(ran ? outcome->relocatedCount : 0);
    json->Key("failed");
    json->Number(ran ? outcome->failureCount : 0);
    json->EndObject();
    json->Key("backup");
    TextOrNull(json, summary.backupPath);
    json->Key("written");
    json->Bool(summary.written);
    json->Key("kept_beside");
    TextOrNull(json, summary.keptPath);
}

// The reported run, when there is one with its items.
const TerminalView* RanView() {
    const TerminalView* terminal = reportedRun;
    return terminal != nullptr && coreState.items != nullptr ? terminal : nullptr;
}

}  // namespace

int WriteJsonReport(int exitCode) {
    const char* command = reportedCommand;
    if (command == nullptr) return exitCode;
    const TerminalView* terminal = RanView();
    const RunSummary summary = terminal != nullptr ? SummarizeRun(*terminal, /*runFailed=*/false) : RunSummary();
    JsonWriter json;
    BeginJsonReport(&json, terminal != nullptr ? summary.packagePath.c_str() : coreState.packagePath);
    if (std::strcmp(command, "inspect") == 0) {
        // Ended before its counts were whole.
        json.Key("counts");
        json.Null();
        json.Key("items");
        json.BeginArray();
        json.EndArray();
        return FinishJsonReport(&json, exitCode);
    }
    WriteRunMembers(&json, terminal, summary);
    return FinishJsonReport(&json, exitCode);
}

std::string PackageReportEntry(const std::string& packagePath, bool ran, int exitCode) {
    const TerminalView* terminal = ran ? RanView() : nullptr;
    const RunSummary summary = terminal != nullptr ? SummarizeRun(*terminal, /*runFailed=*/false) : RunSummary();
    JsonWriter json;
    json.BeginObject();
    json.Key("package");
    TextOrNull(&json, packagePath);
    WriteRunMembers(&json, terminal, summary);
    json.Key("exit_code");
    if (exitCode >= 0) {
        json.Number(exitCode);
    } else {
        json.Null();
    }
    json.EndObject();
    return json.Text();
}

int WriteBatchReport(const std::vector<std::string>& entries, const BatchSummary& total, int exitCode) {
    if (!JsonReportChosen()) return exitCode;
    JsonWriter json;
    BeginJsonReport(&json, nullptr);
    json.Key("packages");
    json.BeginArray();
    for (const std::string& entry : entries) json.Raw(entry);
    json.EndArray();
    json.Key("total");
    json.BeginObject();
    const std::pair<const char*, long long> numbers[] = {
        {"packages", total.packages},
        {"done", total.done},
        {"kept_beside", total.keptBeside},
        {"refused", total.refused},
        {"not_started", total.notStarted},
        {"relocated", total.relocated},
        {"failed", total.failed},
        {"already_in_destination", total.known},
        {"requests_saved", total.requestsSaved},
        {"bytes_saved", total.bytesSaved},
        {"bytes", total.bytes},
    };
    for (const auto& [key, value] : numbers) {
        json.Key(key);
        json.Number(value);
    }
    json.Key("stopped");
    json.Bool(total.stopped);
    json.EndObject();
    return FinishJsonReport(&json, exitCode);
}
