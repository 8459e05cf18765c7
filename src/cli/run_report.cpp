#include "cli/run_report.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "cli/console.h"
#include "cli/json_writer.h"
#include "package/item_record.h"
#include "relocate/core_state.h"
#include "relocate/run.h"
#include "base/hash_map.h"
#include "base/vector.h"

namespace {

std::atomic<bool> jsonChosen{false};
std::atomic<const TerminalView*> reportedRun{nullptr};

const std::string* Find(const std::map<std::string, std::string>& map, const char* url) {
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

// {"url": URL, key: VALUE}, both texts in the core's form.
void AddressEntry(JsonWriter* json, const char* url, const char* key, const std::string& value) {
    json->BeginObject();
    json->Key("url");
    json->String(Utf8FromCore(url));
    json->Key(key);
    json->String(Utf8FromCore(value));
    json->EndObject();
}

void WriteItem(JsonWriter* json, const TerminalView& terminal, const ItemRecord* item) {
    json->BeginObject();
    json->Key("title");
    json->String(Utf8FromCore(item->title));
    // Images that an earlier item of the run fetched count for this one
    // too; one whose file went from the destination before the write-back
    // stayed remote, and the run's map no longer holds it.
    json->Key("relocated");
    json->BeginArray();
    for (const char* url : AddressesOf(DesktopUrls(item), MobileUrls(item))) {
        const char* file =
            coreState.urlMap != nullptr ? static_cast<const char*>(HashMapGet(coreState.urlMap, url)) : nullptr;
        if (file == nullptr || *file == '\0') continue;
        AddressEntry(json, url, "file", file);
    }
    json->EndArray();
    json->Key("failed");
    json->BeginArray();
    for (const char* url : AddressesOf(FailedDesktopUrls(item), FailedMobileUrls(item))) {
        const std::string* reason = Find(terminal.reasons, url);
        AddressEntry(json, url, "reason", reason != nullptr ? *reason : std::string());
    }
    json->EndArray();
    json->EndObject();
}

void PathOrNull(JsonWriter* json, const char* path) {
    if (path[0] == '\0') {
        json->Null();
    } else {
        json->String(Utf8FromCore(path));
    }
}

}  // namespace

void PrintFailureList(const TerminalView& terminal) {
    for (int32_t i = 0; i < coreState.items->count; ++i) {
        const ItemRecord* item = static_cast<const ItemRecord*>(coreState.items->items[i]);
        if (FailedDesktopUrls(item) == nullptr && FailedMobileUrls(item) == nullptr) continue;
        PrintOut(std::string(item->title) + "\n");
        for (const char* url : AddressesOf(FailedDesktopUrls(item), FailedMobileUrls(item))) {
            const std::string* reason = Find(terminal.reasons, url);
            PrintOut(std::string("    ") + url + (reason != nullptr ? ": " + OneLine(*reason) : "") + "\n");
        }
    }
}

void ChooseJsonReport() {
    jsonChosen = true;
    KeepStdoutForReport();
    SetExitReport(WriteJsonReport);
}

void SetReportedRun(const TerminalView* terminal) { reportedRun = terminal; }

const RunOutcome* ReportedOutcome() {
    const TerminalView* terminal = reportedRun;
    return terminal != nullptr ? &terminal->outcome : nullptr;
}

int WriteJsonReport(int exitCode) {
    static std::atomic<bool> written{false};
    static std::atomic<bool> lost{false};
    if (!jsonChosen) return exitCode;
    if (written.exchange(true)) return lost ? EXIT_REFUSED : exitCode;
    const TerminalView* terminal = reportedRun;
    const bool ran = terminal != nullptr && coreState.items != nullptr;
    const RunOutcome* outcome = ran ? &terminal->outcome : nullptr;
    JsonWriter json;
    json.BeginObject();
    json.Key("items");
    json.BeginArray();
    for (int32_t i = 0; ran && i < coreState.items->count; ++i) {
        WriteItem(&json, *terminal, static_cast<const ItemRecord*>(coreState.items->items[i]));
    }
    json.EndArray();
    json.Key("totals");
    json.BeginObject();
    json.Key("items");
    json.Number(ran ? coreState.items->count : 0);
    json.Key("relocated");
    json.Number(ran ? outcome->relocatedCount : 0);
    json.Key("failed");
    json.Number(ran ? outcome->failureCount : 0);
    json.EndObject();
    json.Key("backup");
    PathOrNull(&json, ran ? outcome->backupPath : "");
    json.Key("written");
    json.Bool(ran && outcome->written != 0);
    json.Key("kept_beside");
    PathOrNull(&json, ran && outcome->keptBeside ? outcome->keptPath : "");
    json.Key("exit_code");
    json.Number(exitCode);
    json.EndObject();
    const std::string document = json.Text() + "\n";
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
