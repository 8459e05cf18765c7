#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

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
#include "base/strings.h"
#include "base/vector.h"

namespace {

// Room for a message that names a path as long as the system allows.
const int MESSAGE_BYTES = MAX_PATH_BYTES + 2048;

// The user's desktop, which the wizard refuses as a destination.
std::string DesktopFolder() {
    const char* configured = getenv("XDG_DESKTOP_DIR");
    if (configured != nullptr && *configured != '\0') return CoreFromUtf8(configured);
    const char* home = getenv("HOME");
    if (home == nullptr || *home == '\0') return std::string();
    return CoreFromUtf8(std::string(home) + "/Desktop");
}

// The command line's words for the refusals the wizard words for its own
// fields ("请重新选择", its check boxes): what is refused, named by its
// full path or its options, and why.  `%s` is the package or the destination.
struct Refusal {
    const char* core;
    const char* format;
};
// clang-format off
const Refusal REFUSALS[] = {
    {MESSAGE_PACKAGE_MISSING, "%s does not exist"},
    {MESSAGE_PACKAGE_IS_FOLDER, "%s is a folder, not a package file"},
    {MESSAGE_PACKAGE_IS_FIFO, "%s is a named pipe, not a package file"},
    {MESSAGE_PACKAGE_IS_DEVICE, "%s is a device, not a package file"},
    {MESSAGE_PACKAGE_IS_SOCKET, "%s is a socket, not a package file"},
    {MESSAGE_PACKAGE_IS_SPECIAL, "%s is not a regular file, not a package file"},
    {MESSAGE_NO_IMAGE_SOURCE, "--no-image-space with --no-outside-albums leaves no image to relocate; give at most one "
                              "of them"},
    {MESSAGE_DESTINATION_MISSING, "the destination %s does not exist or is not a folder"},
    {MESSAGE_DESTINATION_DESKTOP, "the destination %s is the desktop, which the images would cover; give a folder of "
                                  "their own"},
    {MESSAGE_DESTINATION_UNWRITABLE, "the destination %s holds a double quote or a control character, which cannot be "
                                     "written into the package"},
    {MESSAGE_DESTINATION_WEBP_SUFFIX, "the destination %s holds \"_.webp\", which the next read of the package would "
                                      "cut from its paths"},
    {MESSAGE_DESTINATION_TOO_LONG, "the destination %s is too long for the images' names; give a shorter one"},
};
// clang-format on

// The refusals the core formats, by what they were made of; `%s` is the
// package.
// clang-format off
const char* const PACKAGE_REFUSALS[] = {
    nullptr,
    "the paths the run forms from %s (its backup, temporary and kept copies) would be too long; move the package "
    "to a shorter folder or shorten its name",
    "%s is held by another program (Excel or WPS?), so it could not be written back after the run; close it and "
    "run again",
    "%s or its folder is not writable (read-only, or no permission), so it could not be written back after the run",
};
// clang-format on

// Prints a refusal of `command` about `path` (the core's form): the command
// line's own text when it has one for `warning`, else the core's.
void Refuse(const char* command, const char* warning, const std::string& path,
            const InputRefusal& detail = InputRefusal()) {
    const char* format = nullptr;
    for (const Refusal& refusal : REFUSALS) {
        if (refusal.core == warning) format = refusal.format;
    }
    const int writability = detail.packageWritability;
    if (writability > 0 && writability < static_cast<int>(sizeof PACKAGE_REFUSALS / sizeof PACKAGE_REFUSALS[0])) {
        format = PACKAGE_REFUSALS[writability];
    }
    char text[MESSAGE_BYTES];
    if (detail.breakingCharacter != 0) {
        const char breaking = detail.breakingCharacter;
        const std::string character = breaking == ' ' ? std::string("a space") : std::string("'") + breaking + "'";
        std::snprintf(text, sizeof text,
                      "the destination %s holds %s, which cannot stand where the item \"%s\" has its image addresses "
                      "(its description would break); give a folder without it",
                      path.c_str(), character.c_str(), detail.breakingTitle);
    } else if (format != nullptr) {
        std::snprintf(text, sizeof text, format, path.c_str());
    } else {
        ShowMessage(warning, CAPTION_NOTICE, MESSAGE_OK | MESSAGE_ICON_WARNING);
        return;
    }
    PrintError(std::string("karvelo ") + command + ": " + text + "\n");
}

// Reads the package into coreState (scanned with `rowRead`, see
// LoadPackageIntoState); prints why on refusal.
bool LoadPackage(const char* command, const std::string& packagePath, PackageRowFn rowRead = nullptr,
                 void* context = nullptr) {
    const char* warning = CheckPackagePath(packagePath.c_str());
    if (warning != nullptr) {
        Refuse(command, warning, packagePath);
        return false;
    }
    int result = LoadPackageIntoState(packagePath.c_str(), rowRead, context);
    if (PackageReadFailureMessage(result) != nullptr) {
        ShowMessage(PackageReadFailureMessage(result), CAPTION_ERROR, MESSAGE_OK | MESSAGE_ICON_ERROR);
        ExitEarly(true);
    }
    char message[MESSAGE_BYTES];
    if (result == PACKAGE_READ_TITLE_TOO_LONG) {
        FormatTitleTooLongMessage(coreState.packagePath, message, sizeof message);
        ShowMessage(message, CAPTION_NOTICE, MESSAGE_OK | MESSAGE_ICON_WARNING);
        return false;
    }
    if (result != PACKAGE_READ_OK) {
        // The wizard's text offers its web site; the command line says what to do.
        PrintError(std::string("karvelo ") + command + ": " + packagePath +
                   CoreFromUtf8(" cannot be read as a package (its header or rows are broken): import it into a new "
                                "category of the listing tool (淘宝助理 5.x or later), export that category as CSV "
                                "over it, and run again\n"));
        return false;
    }
    return true;
}

// "-" would be standard input, which cannot be rewritten in place.
bool RefuseStandardInput(const char* command, const std::string& argument) {
    if (argument != "-") return false;
    std::fprintf(stderr, "karvelo %s: - (standard input) cannot be the package: give the package's file, which %s\n",
                 command, std::strcmp(command, "inspect") == 0 ? "is read in place" : "is rewritten in place");
    return true;
}

// A destination the images' files cannot be created in is refused before
// the run, naming it, rather than stopping the run at its first image.
bool RefuseUnwritableDestination(const char* destination) {
    if (IsFolderWritable(destination)) return false;
    PrintError(std::string("karvelo relocate: the destination ") + destination +
               " is not writable (read-only, or no permission): no image could be saved there\n");
    return true;
}

// Runs the relocation on a worker thread while this thread waits for
// SIGINT, SIGTERM, SIGHUP (the terminal went away) or SIGQUIT, so a signal
// never interrupts a system call of the run: it only asks the run to stop,
// and the downloads in flight give up within a network wait slice.  SIGWINCH
// (the terminal resized) is taken the same way, without a handler, and this
// thread redraws the progress line for it and about ten times a second.
// The worker's last act is to send this thread RUN_ENDED_SIGNAL, so the
// wait ends the moment the run does, not at the next redraw.
// Returns what the run did, on this thread.
RunOutcome RunWithStopSignals(TerminalView* terminal) {
    const int RUN_ENDED_SIGNAL = SIGRTMIN;
    sigset_t awaited;
    sigemptyset(&awaited);
    for (int awaitedSignal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGWINCH, RUN_ENDED_SIGNAL})
        sigaddset(&awaited, awaitedSignal);
    pthread_sigmask(SIG_BLOCK, &awaited, nullptr);  // the worker inherits the mask

    coreState.running = 1;  // as the wizard does: before the run's thread exists
    RunOutcome outcome = {};
    const pthread_t waiting = pthread_self();
    std::thread worker([&] {
        outcome = RunRelocation(&terminal->view);
        pthread_kill(waiting, RUN_ENDED_SIGNAL);  // sent once; the loop below takes it
    });
    const struct timespec redrawGap = {0, 100 * 1000 * 1000};
    for (;;) {
        int received = sigtimedwait(&awaited, nullptr, &redrawGap);
        if (received == RUN_ENDED_SIGNAL) break;
        if (received > 0 && received != SIGWINCH && !StopSignalSeen()) {
            NoteStopSignal();
            coreState.stopRequested = 1;
            PrintError(
                "stopping: images still downloading are given up; the package will be written back with what was "
                "done\n");
        }
        TickTerminalView(terminal, received == SIGWINCH);
    }
    worker.join();
    // A run that ended early leaves the signals blocked: one more Ctrl-C
    // must not cut its last words short.
    if (outcome.end == RUN_FINISHED) pthread_sigmask(SIG_UNBLOCK, &awaited, nullptr);
    return outcome;
}

// `value` as a whole number from 1 to `most`, or 0 when it is not one.
int ParseCount(const std::string& value, int most) {
    int64_t count;
    return ParseDecimal(value.data(), value.size(), most, &count) && count >= 1 ? static_cast<int>(count) : 0;
}

// KARVELO_CHECKPOINT_SECONDS, when set, is the checkpoint interval; false
// (after saying why) when it is not a number from 1 to MAX_CHECKPOINT_SECONDS.
bool TakeCheckpointInterval() {
    const char* value = getenv("KARVELO_CHECKPOINT_SECONDS");
    if (value == nullptr) return true;
    int seconds = ParseCount(value, MAX_CHECKPOINT_SECONDS);
    if (seconds == 0) {
        std::fprintf(stderr, "karvelo: KARVELO_CHECKPOINT_SECONDS takes a number from 1 to %d, not '%s'\n",
                     MAX_CHECKPOINT_SECONDS, ShownArgument(value).c_str());
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
    if (!OpenAppLog(coreState.stateFolder)) {
        ShowMessage(MESSAGE_LOG_CANNOT_OPEN, CAPTION_ERROR, MESSAGE_OK | MESSAGE_ICON_ERROR);
        ExitEarly(true);
    }
    StartNetwork();
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
    if (!LoadPackage("relocate", packagePath)) return EXIT_REFUSED;
    InputField field = INPUT_OK;
    std::string desktop = DesktopFolder();
    std::vector<char> text(MESSAGE_BYTES);  // on the heap: the frame holds the run's view as well
    InputRefusal refusal;
    const char* warning =
        CheckRunInputs(options, coreState.packagePath, desktop.c_str(), &field, text.data(), text.size(), &refusal);
    if (warning != nullptr) {
        Refuse("relocate", warning, field == INPUT_DESTINATION ? std::string(options.destination) : packagePath,
               refusal);
        return field == INPUT_IMAGE_SOURCE ? EXIT_USAGE : EXIT_REFUSED;
    }
    if (RefuseUnwritableDestination(options.destination)) return EXIT_REFUSED;
    TerminalView terminal;
    InitTerminalView(&terminal, options, coreState.items->count);
    SetReportedRun(&terminal);
    const RunOutcome outcome = RunWithStopSignals(&terminal);
    // A failed step reports only the backup it made (kept by the view).
    if (outcome.end != RUN_FAILED) terminal.outcome = outcome;
    if (PresentRunOutcome(&terminal.view, outcome)) {
        const int code = EndEarly(outcome.end == RUN_FAILED || outcome.stoppedByError);
        SetReportedRun(nullptr);
        return code;
    }
    FinishTerminalView(&terminal);
    PrintFailureList(terminal);
    PrintBackupNote();
    int code = EXIT_DONE;
    if (outcome.keptBeside) {
        code = EXIT_KEPT_BESIDE;
    } else if (outcome.failureCount > 0) {
        code = EXIT_SOME_FAILED;
    }
    code = WriteJsonReport(code);
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
                const std::string name = jobs ? "--jobs" : "--streams";
                RefuseArguments(*FindCommand("relocate"), name + " takes a number from 1 to " + std::to_string(limit) +
                                                              ", not '" + ShownArgument(value) + "'");
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
        RefuseArguments(*FindCommand("relocate"),
                        arguments.positionals.size() < 2 ? "PACKAGE and DEST are needed" : "too many arguments");
        return EXIT_USAGE;
    }
    const std::string positional[2] = {arguments.positionals[0], arguments.positionals[1]};
    if (RefuseStandardInput("relocate", positional[0])) return EXIT_REFUSED;
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
