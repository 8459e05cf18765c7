// karvelo inspect, the counting command: counts a package's image addresses in one pass over it,
// writing nothing.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/language.h"
#include "cli/json_writer.h"
#include "cli/options.h"
#include "cli/package_loading.h"
#include "cli/run_report.h"
#include "package/extraction.h"
#include "package/item_record.h"
#include "relocate/core_state.h"
#include "base/strings.h"
#include "base/vector.h"

namespace {

// One field's addresses: remote ones by source, those a run made local, and
// how often the blank image stands where --blank-failed replaced a failed
// image (a mobile detail's list holds it as an address).
struct AddressCounts {
    int space = 0, outside = 0, local = 0, blank = 0;

    void Add(const Vector* urls, int32_t localCount, int32_t blankCount) {
        for (int32_t j = 0; urls != nullptr && j < urls->count; ++j) {
            const char* url = static_cast<const char*>(urls->items[j]);
            if (StringEquals(url, BLANK_IMAGE_URL)) continue;
            if (IsImageSpaceUrl(url)) {
                ++space;
            } else {
                ++outside;
            }
        }
        local += localCount;
        blank += blankCount;
    }
    void Add(const AddressCounts& other) {
        space += other.space;
        outside += other.outside;
        local += other.local;
        blank += other.blank;
    }
    int Remote() const { return space + outside; }
    std::string Cell() const {
        char cell[64];
        std::snprintf(cell, sizeof cell, "%d/%d/%d/%d", space, outside, local, blank);
        return cell;
    }
    void Write(JsonWriter* json) const {
        json->BeginObject();
        const std::pair<const char*, int> numbers[] = {
            {"image_space", space}, {"outside_albums", outside}, {"local", local}, {"blank", blank}};
        for (const auto& [key, value] : numbers) {
            json->Key(key);
            json->Number(value);
        }
        json->EndObject();
    }
};

// A row's counts, taken as the scan hands the row over.
struct RowCounts {
    AddressCounts desktop, mobile;
};

void CountRow(void* context, const ItemRecord* item) {
    const ItemUrls* urls = item->urls;
    RowCounts row;
    row.desktop.Add(DesktopUrls(item), urls != nullptr ? urls->localDesktop : 0,
                    urls != nullptr ? urls->blankDesktop : 0);
    row.mobile.Add(MobileUrls(item), urls != nullptr ? urls->localMobile : 0, urls != nullptr ? urls->blankMobile : 0);
    static_cast<std::vector<RowCounts>*>(context)->push_back(row);
}

// What `karvelo inspect --json` prints: the totals, then each item's counts.
int WriteInspectReport(const std::vector<RowCounts>& counts, const AddressCounts& desktop, const AddressCounts& mobile,
                       int exitCode) {
    JsonWriter json;
    BeginJsonReport(&json, coreState.packagePath);
    json.Key("mobile_column");
    json.Bool(coreState.items->hasMobileColumn);
    json.Key("counts");
    json.BeginObject();
    AddressCounts both = desktop;
    both.Add(mobile);
    json.Numbers({
        {"items", coreState.items->count},
        {"remote", both.Remote()},
        {"local", both.local},
        {"blank", both.blank},
        {"image_space", both.space},
        {"outside_albums", both.outside},
    });
    json.Key("description");
    desktop.Write(&json);
    json.Key("mobile");
    mobile.Write(&json);
    json.EndObject();
    json.Key("items");
    json.BeginArray();
    for (int32_t i = 0; i < coreState.items->count; ++i) {
        json.BeginObject();
        WriteItemHead(&json, static_cast<const ItemRecord*>(coreState.items->items[i]), i + 1);
        json.Key("description");
        counts[static_cast<size_t>(i)].desktop.Write(&json);
        json.Key("mobile");
        counts[static_cast<size_t>(i)].mobile.Write(&json);
        json.EndObject();
    }
    json.EndArray();
    return FinishJsonReport(&json, exitCode);
}

int Inspect(const ParsedArguments& arguments) {
    if (arguments.positionals.size() != 1) {
        RefuseArguments(*FindCommand("inspect"),
                        Translated(arguments.positionals.empty() ? N_("PACKAGE is needed") : N_("too many arguments")));
        return EXIT_USAGE;
    }
    const char* argument = arguments.positionals[0].c_str();
    if (RefuseStandardInput("inspect", argument)) return EXIT_REFUSED;
    // Only the front end: inspecting writes nothing, so neither the state
    // folder nor its log is made, and no network is needed.
    InstallConsoleFrontEnd();
    std::string package = AbsoluteCorePath(argument);
    if (package.empty()) {
        std::fprintf(stderr, Translated(N_("karvelo inspect: %s cannot be read as a package path\n")), argument);
        return EXIT_REFUSED;
    }
    coreState.items = NewItemList();
    coreState.items->countLocalPaths = true;
    // Scanned in one pass: the rows' counts are taken as they are read, and
    // neither the package text nor the address lists are kept.
    std::vector<RowCounts> counts;
    if (!LoadPackage("inspect", package, CountRow, &counts)) return EXIT_REFUSED;

    AddressCounts totalDesktop, totalMobile;
    PrintOut(TranslatedCore(
        N_("   #  description(image space/outside/local/blank)  mobile(image space/outside/local/blank)  title\n")));
    for (int32_t i = 0; i < coreState.items->count; ++i) {
        const ItemRecord* item = static_cast<const ItemRecord*>(coreState.items->items[i]);
        const AddressCounts& desktop = counts[static_cast<size_t>(i)].desktop;
        const AddressCounts& mobile = counts[static_cast<size_t>(i)].mobile;
        char row[192];
        std::snprintf(row, sizeof row, "%4d  %44s  %39s  ", i + 1, desktop.Cell().c_str(), mobile.Cell().c_str());
        PrintOut(std::string(row) + item->title + "\n");
        totalDesktop.Add(desktop);
        totalMobile.Add(mobile);
    }
    const char* noMobile = coreState.items->hasMobileColumn ? "" : N_(" (no mobile-detail column)");
    PrintOut(Said(N_("%d items; description images: %d image space, %d outside albums, %d local, %d blank; mobile "
                     "images: %d image space, %d outside albums, %d local, %d blank%s\n"),
                  coreState.items->count, totalDesktop.space, totalDesktop.outside, totalDesktop.local,
                  totalDesktop.blank, totalMobile.space, totalMobile.outside, totalMobile.local, totalMobile.blank,
                  TranslatedCore(noMobile).c_str()));
    const int remote = totalDesktop.Remote() + totalMobile.Remote();
    const int local = totalDesktop.local + totalMobile.local;
    const int blank = totalDesktop.blank + totalMobile.blank;
    std::string verdict;
    if (remote > 0) {
        verdict = Said(N_("%d image addresses still remote, %d local, %d blank\n"), remote, local, blank);
    } else if (blank > 0) {
        verdict = Said(N_("all relocated or blanked: %d image addresses are local paths, %d blank (the blank image "
                          "in place of a failed one)\n"),
                       local, blank);
    } else if (local > 0) {
        verdict = Said(N_("all relocated: every image address (%d) is a local path\n"), local);
    } else {
        verdict = TranslatedCore(N_("no images: the package has no image address\n"));
    }
    PrintOut(verdict);
    return JsonReportChosen() ? WriteInspectReport(counts, totalDesktop, totalMobile, EXIT_DONE) : EXIT_DONE;
}

}  // namespace

// A refused inspect prints its JSON too when --json asked for it.
int InspectCommand(const ParsedArguments& arguments) { return WriteJsonReport(Inspect(arguments)); }
