#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/console.h"
#include "cli/run_report.h"
#include "cli/terminal_view.h"
#include "http/connection.h"
#include "http/proxy_settings.h"
#include "package/extraction.h"
#include "package/item_record.h"
#include "package/reader.h"
#include "platform/fs.h"
#include "platform/net.h"
#include "relocate/run.h"
#include "relocate/run_inputs.h"
#include "relocate/run_view.h"
#include "relocate/core_state.h"
#include "util/app_log.h"
#include "util/front_end.h"
#include "util/vector.h"

namespace {

const char RELOCATE_USAGE[] = "usage: karvelo relocate [options] PACKAGE DEST\n(karvelo relocate --help tells more)\n";

const int MESSAGE_BYTES = 4096;

// The user's desktop, which the wizard refuses as a destination.
std::string DesktopFolder() {
    const char* configured = getenv("XDG_DESKTOP_DIR");
    if (configured != nullptr && *configured != '\0') return CoreFromUtf8(configured);
    const char* home = getenv("HOME");
    if (home == nullptr || *home == '\0') return std::string();
    return CoreFromUtf8(std::string(home) + "/Desktop");
}

// Reads the package into coreState; prints the reader's message on refusal.
bool LoadPackage(const std::string& packagePath) {
    const char* warning = CheckPackagePath(packagePath.c_str());
    if (warning != nullptr) {
        ShowMessage(warning, CAPTION_NOTICE, MESSAGE_OK | MESSAGE_ICON_WARNING);
        return false;
    }
    int result = LoadPackageIntoState(packagePath.c_str());
    char message[MESSAGE_BYTES];
    if (result == PACKAGE_READ_TITLE_TOO_LONG) {
        FormatTitleTooLongMessage(coreState.packagePath, message, sizeof message);
        ShowMessage(message, CAPTION_NOTICE, MESSAGE_OK | MESSAGE_ICON_WARNING);
        return false;
    }
    if (result != PACKAGE_READ_OK) {
        FormatUnusablePackageMessage(coreState.packagePath, message, sizeof message);
        ShowMessage(message, CAPTION_NOTICE, MESSAGE_YES_NO | MESSAGE_ICON_QUESTION);
        return false;
    }
    return true;
}

// Runs the relocation on a worker thread while this thread waits for
// SIGINT, SIGTERM, SIGHUP (the terminal went away) or SIGQUIT, so a signal
// never interrupts a system call of the run: it only asks the run to stop,
// and the downloads in flight give up within a network wait slice.
void RunWithStopSignals(TerminalView* terminal) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int stopSignal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&stopSignals, stopSignal);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);  // the worker inherits the mask

    std::atomic<bool> finished{false};
    coreState.running = 1;  // as the wizard does: before the run's thread exists
    std::thread worker([&] {
        RunRelocation(&terminal->view);
        finished = true;
    });
    const struct timespec poll = {0, 100 * 1000 * 1000};
    while (!finished) {
        if (sigtimedwait(&stopSignals, nullptr, &poll) > 0 && !StopSignalSeen()) {
            NoteStopSignal();
            coreState.stopRequested = 1;
            EndStatusLine();
            PrintError("stopping: images still downloading are given up; the package will be written back with what was done\n");
        }
    }
    worker.join();
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
}

// `value` as a whole number from 1 to `most`, or 0 when it is not one.
int ParseCount(const std::string& value, int most) {
    if (value.empty() || value.size() > std::to_string(most).size() ||
        value.find_first_not_of("0123456789") != std::string::npos) {
        return 0;
    }
    int count = std::atoi(value.c_str());
    return count >= 1 && count <= most ? count : 0;
}

// KARVELO_CHECKPOINT_SECONDS, when set, is the checkpoint interval; false
// (after saying why) when it is not a number from 1 to MAX_CHECKPOINT_SECONDS.
bool TakeCheckpointInterval() {
    const char* value = getenv("KARVELO_CHECKPOINT_SECONDS");
    if (value == nullptr) return true;
    int seconds = ParseCount(value, MAX_CHECKPOINT_SECONDS);
    if (seconds == 0) {
        std::fprintf(stderr, "karvelo: KARVELO_CHECKPOINT_SECONDS takes a number from 1 to %d, not '%s'\n",
                     MAX_CHECKPOINT_SECONDS, value);
        return false;
    }
    SetCheckpointInterval(seconds);
    return true;
}

}  // namespace

void StartCore() {
    InstallConsoleFrontEnd();
    if (!GetProgramFolder(coreState.programFolder, sizeof coreState.programFolder)) {
        PrintError("karvelo: cannot find the program's folder\n");
        std::exit(EXIT_REFUSED);
    }
    if (!ChooseStateFolder(coreState.programFolder, 1, coreState.stateFolder, sizeof coreState.stateFolder)) {
        char wanted[MAX_PATH_BYTES];
        std::string stateFolder = GetUserStateFolder(wanted, sizeof wanted, 0)
                                      ? std::string("cannot create ") + wanted
                                      : std::string("finds no home folder (HOME) for its state folder");
        PrintError(std::string("karvelo: cannot write beside the program in ") + coreState.programFolder + " and " +
                   stateFolder + "\n");
        std::exit(EXIT_REFUSED);
    }
    OpenAppLog(coreState.stateFolder);
    StartNetwork();
    InitHttpClient();
}

std::string AbsoluteCorePath(const std::string& utf8) {
    std::string absolute = utf8;
    char resolved[PATH_MAX];
    if (realpath(utf8.c_str(), resolved) != nullptr) {
        absolute = resolved;
    } else if (!utf8.empty() && utf8[0] != '/') {
        char current[PATH_MAX];
        if (getcwd(current, sizeof current) != nullptr) absolute = std::string(current) + "/" + utf8;
    }
    bool lossless = false;
    std::string path = CoreFromUtf8(absolute, &lossless);
    if (!lossless || path.size() >= MAX_PATH_BYTES) return std::string();
    return path;
}

int LoadAndRelocate(const std::string& packagePath, const RunOptions& options) {
    if (!LoadPackage(packagePath)) return EXIT_REFUSED;
    InputField field = INPUT_OK;
    std::string desktop = DesktopFolder();
    char text[MESSAGE_BYTES];
    const char* warning = CheckRunInputs(options, coreState.packagePath, desktop.c_str(), &field, text, sizeof text);
    if (warning != nullptr) {
        ShowMessage(warning, CAPTION_NOTICE, MESSAGE_OK | MESSAGE_ICON_WARNING);
        return field == INPUT_IMAGE_SOURCE ? EXIT_USAGE : EXIT_REFUSED;
    }
    TerminalView terminal;
    InitTerminalView(&terminal, options, coreState.items->count);
    SetReportedRun(&terminal);
    RunWithStopSignals(&terminal);
    FinishTerminalView(&terminal);
    PrintFailureList(terminal);
    PrintBackupNote();
    int code = EXIT_DONE;
    if (lastRunSummary.keptBeside) {
        code = EXIT_KEPT_BESIDE;
    } else if (lastRunSummary.failureCount > 0) {
        code = EXIT_SOME_FAILED;
    }
    WriteJsonReport(code);
    SetReportedRun(nullptr);
    return code;
}

// Reads the proxy settings from the environment and the options (UTF-8,
// null when not given) and hands them to the run; false, with the message
// on stderr, when a proxy address cannot be used.
bool TakeProxySettings(const std::string* proxy, const std::string* noProxy) {
    std::string proxyCore = proxy != nullptr ? CoreFromUtf8(*proxy) : std::string();
    std::string noProxyCore = noProxy != nullptr ? CoreFromUtf8(*noProxy) : std::string();
    ProxySettings settings = {};
    char* failure = nullptr;
    if (!ReadProxyEnvironment(&settings, proxy != nullptr ? proxyCore.c_str() : nullptr,
                              noProxy != nullptr ? noProxyCore.c_str() : nullptr, &failure)) {
        PrintError(std::string("karvelo relocate: ") + (failure != nullptr ? failure : "") + "\n");
        std::free(failure);
        return false;
    }
    TakeRunProxySettings(&settings);
    return true;
}

int RelocateCommand(const ParsedArguments& arguments) {
    RunOptions options = {};
    options.relocateImageSpace = 1;
    options.relocateOutsideAlbums = 1;
    options.blankFailedImages = 0;
    options.jobs = DEFAULT_RUN_JOBS;
    options.streams = DEFAULT_RUN_STREAMS;
    std::string proxyOption, noProxyOption;
    bool haveProxyOption = false, haveNoProxyOption = false;
    for (const auto& [id, value] : arguments.options) {
        if (id == OPTION_NO_IMAGE_SPACE) {
            options.relocateImageSpace = 0;
        } else if (id == OPTION_NO_OUTSIDE_ALBUMS) {
            options.relocateOutsideAlbums = 0;
        } else if (id == OPTION_BLANK_FAILED) {
            options.blankFailedImages = 1;
        } else if (id == OPTION_JOBS || id == OPTION_STREAMS) {
            const bool jobs = id == OPTION_JOBS;
            const int limit = jobs ? MAX_RUN_JOBS : MAX_RUN_STREAMS;
            int& count = jobs ? options.jobs : options.streams;
            count = ParseCount(value, limit);
            if (count == 0) {
                std::fprintf(stderr, "karvelo relocate: %s takes a number from 1 to %d, not '%s'\n%s",
                             jobs ? "--jobs" : "--streams", limit, value.c_str(), RELOCATE_USAGE);
                return EXIT_USAGE;
            }
        } else if (id == OPTION_PROXY) {
            proxyOption = value;
            haveProxyOption = true;
        } else if (id == OPTION_NOPROXY) {
            noProxyOption = value;
            haveNoProxyOption = true;
        }
    }
    if (arguments.positionals.size() != 2) {
        std::fprintf(stderr, "karvelo relocate: %s\n%s",
                     arguments.positionals.size() < 2 ? "PACKAGE and DEST are needed" : "too many arguments",
                     RELOCATE_USAGE);
        return EXIT_USAGE;
    }
    const std::string positional[2] = {arguments.positionals[0], arguments.positionals[1]};
    if (!TakeCheckpointInterval()) return EXIT_USAGE;
    const std::string* proxy = haveProxyOption ? &proxyOption : nullptr;
    if (!TakeProxySettings(proxy, haveNoProxyOption ? &noProxyOption : nullptr)) return EXIT_USAGE;
    StartCore();
    std::string package = AbsoluteCorePath(positional[0]);
    std::string destination = AbsoluteCorePath(positional[1]);
    if (package.empty() || destination.empty()) {
        std::fprintf(stderr, "karvelo relocate: %s cannot be written into a package (too long, or not valid UTF-8)\n",
                     package.empty() ? positional[0].c_str() : positional[1].c_str());
        return EXIT_REFUSED;
    }
    std::snprintf(options.destination, sizeof options.destination, "%s", destination.c_str());
    return LoadAndRelocate(package, options);
}

int InspectCommand(const ParsedArguments& arguments) {
    if (arguments.positionals.size() != 1) {
        std::fprintf(stderr, "karvelo inspect: %s\nusage: karvelo inspect [options] PACKAGE\n",
                     arguments.positionals.empty() ? "PACKAGE is needed" : "too many arguments");
        return EXIT_USAGE;
    }
    const char* argument = arguments.positionals[0].c_str();
    StartCore();
    std::string package = AbsoluteCorePath(argument);
    if (package.empty()) {
        std::fprintf(stderr, "karvelo inspect: %s cannot be read as a package path\n", argument);
        return EXIT_REFUSED;
    }
    if (!LoadPackage(package)) return EXIT_REFUSED;

    struct Counts {
        int space = 0, outside = 0;
    };
    Counts totalDesktop, totalMobile;
    PrintOut("   #  description(image space/outside)  mobile(image space/outside)  title\n");
    for (int32_t i = 0; i < coreState.items->count; ++i) {
        const ItemRecord* item = static_cast<const ItemRecord*>(coreState.items->items[i]);
        Counts desktop, mobile;
        const Vector* desktopUrls = DesktopUrls(item);
        for (int32_t j = 0; desktopUrls != nullptr && j < desktopUrls->count; ++j) {
            if (IsImageSpaceUrl(static_cast<const char*>(desktopUrls->items[j]))) ++desktop.space; else ++desktop.outside;
        }
        const Vector* mobileUrls = MobileUrls(item);
        for (int32_t j = 0; mobileUrls != nullptr && j < mobileUrls->count; ++j) {
            if (IsImageSpaceUrl(static_cast<const char*>(mobileUrls->items[j]))) ++mobile.space; else ++mobile.outside;
        }
        char row[128];
        std::snprintf(row, sizeof row, "%4d  %14d/%-7d  %22d/%-7d  ", i + 1, desktop.space, desktop.outside,
                      mobile.space, mobile.outside);
        PrintOut(std::string(row) + item->title + "\n");
        totalDesktop.space += desktop.space;
        totalDesktop.outside += desktop.outside;
        totalMobile.space += mobile.space;
        totalMobile.outside += mobile.outside;
    }
    char total[256];
    std::snprintf(total, sizeof total,
                  "%d items; description images: %d image space, %d outside albums; mobile images: %d image space, "
                  "%d outside albums%s\n",
                  coreState.items->count, totalDesktop.space, totalDesktop.outside, totalMobile.space,
                  totalMobile.outside, coreState.items->hasMobileColumn ? "" : " (no mobile-detail column)");
    PrintOut(total);
    return EXIT_DONE;
}
