// karvelo inspect: counts a package's image addresses in one pass over it,
// writing nothing.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/options.h"
#include "cli/package_loading.h"
#include "package/extraction.h"
#include "package/item_record.h"
#include "relocate/core_state.h"
#include "base/vector.h"

namespace {

// One field's addresses: remote ones by source, and those a run made local.
struct AddressCounts {
    int space = 0, outside = 0, local = 0;

    void Add(const Vector* urls, int32_t localCount) {
        for (int32_t j = 0; urls != nullptr && j < urls->count; ++j) {
            if (IsImageSpaceUrl(static_cast<const char*>(urls->items[j]))) {
                ++space;
            } else {
                ++outside;
            }
        }
        local += localCount;
    }
    void Add(const AddressCounts& other) {
        space += other.space;
        outside += other.outside;
        local += other.local;
    }
    int Remote() const { return space + outside; }
};

// A row's counts, taken as the scan hands the row over.
struct RowCounts {
    AddressCounts desktop, mobile;
};

void CountRow(void* context, const ItemRecord* item) {
    RowCounts row;
    row.desktop.Add(DesktopUrls(item), item->urls != nullptr ? item->urls->localDesktop : 0);
    row.mobile.Add(MobileUrls(item), item->urls != nullptr ? item->urls->localMobile : 0);
    static_cast<std::vector<RowCounts>*>(context)->push_back(row);
}

}  // namespace

int InspectCommand(const ParsedArguments& arguments) {
    if (arguments.positionals.size() != 1) {
        RefuseArguments(*FindCommand("inspect"),
                        arguments.positionals.empty() ? "PACKAGE is needed" : "too many arguments");
        return EXIT_USAGE;
    }
    const char* argument = arguments.positionals[0].c_str();
    if (RefuseStandardInput("inspect", argument)) return EXIT_REFUSED;
    // Only the front end: inspecting writes nothing, so neither the state
    // folder nor its log is made, and no network is needed.
    InstallConsoleFrontEnd();
    std::string package = AbsoluteCorePath(argument);
    if (package.empty()) {
        std::fprintf(stderr, "karvelo inspect: %s cannot be read as a package path\n", argument);
        return EXIT_REFUSED;
    }
    coreState.items = NewItemList();
    coreState.items->countLocalPaths = true;
    // Scanned in one pass: the rows' counts are taken as they are read, and
    // neither the package text nor the address lists are kept.
    std::vector<RowCounts> counts;
    if (!LoadPackage("inspect", package, CountRow, &counts)) return EXIT_REFUSED;

    AddressCounts totalDesktop, totalMobile;
    PrintOut("   #  description(image space/outside/local)  mobile(image space/outside/local)  title\n");
    for (int32_t i = 0; i < coreState.items->count; ++i) {
        const ItemRecord* item = static_cast<const ItemRecord*>(coreState.items->items[i]);
        const AddressCounts& desktop = counts[static_cast<size_t>(i)].desktop;
        const AddressCounts& mobile = counts[static_cast<size_t>(i)].mobile;
        char cells[2][48], row[160];
        std::snprintf(cells[0], sizeof cells[0], "%d/%d/%d", desktop.space, desktop.outside, desktop.local);
        std::snprintf(cells[1], sizeof cells[1], "%d/%d/%d", mobile.space, mobile.outside, mobile.local);
        std::snprintf(row, sizeof row, "%4d  %38s  %33s  ", i + 1, cells[0], cells[1]);
        PrintOut(std::string(row) + item->title + "\n");
        totalDesktop.Add(desktop);
        totalMobile.Add(mobile);
    }
    char total[512];
    std::snprintf(total, sizeof total,
                  "%d items; description images: %d image space, %d outside albums, %d local; mobile images: %d "
                  "image space, %d outside albums, %d local%s\n",
                  coreState.items->count, totalDesktop.space, totalDesktop.outside, totalDesktop.local,
                  totalMobile.space, totalMobile.outside, totalMobile.local,
                  coreState.items->hasMobileColumn ? "" : " (no mobile-detail column)");
    PrintOut(total);
    const int remote = totalDesktop.Remote() + totalMobile.Remote();
    const int local = totalDesktop.local + totalMobile.local;
    if (remote > 0) {
        std::snprintf(total, sizeof total, "%d image addresses still remote, %d local already\n", remote, local);
    } else if (local > 0) {
        std::snprintf(total, sizeof total, "all relocated: every image address (%d) is a local path\n", local);
    } else {
        std::snprintf(total, sizeof total, "no images: the package has no image address\n");
    }
    PrintOut(total);
    return EXIT_DONE;
}
