#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "cli/console.h"
#include "cli/core_english.h"
#include "cli/known_images_source.h"
#include "cli/language.h"
#include "cli/package_loading.h"
#include "cli/run_report.h"
#include "cli/run_summary.h"
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
#include "util/files.h"
#include "util/front_end.h"
#include "base/strings.h"
#include "base/vector.h"

namespace {

// The user's desktop, which the wizard refuses as a destination.
std::string DesktopFolder() {
    const char* configured = getenv("XDG_DESKTOP_DIR");
    if (configured != nullptr && *configured != '\0') return CoreFromUtf8(configured);
    const char* home = getenv("HOME");
    if (home == nullptr || *home == '\0') return std::string();
    return CoreFromUtf8(std::string(home) + "/Desktop");
}

// A destination the images' files cannot be created in is refused before
// the run, naming it, rather than stopping the run at its first image.
bool RefuseUnwritableDestination(const char* destination) {
    if (IsFolderWritable(destination)) return false;
    PrintError(Said(N_("karvelo relocate: the destination %s is not writable (read-only, or no permission): no "
                       "image could be saved there\n"),
                    destination));
    return true;
}

// A destination that does not exist is made, with the folders above it, as
// `mkdir -p` would, and said so; *destination then names it as an existing
// one is named (AbsoluteCorePath).  One that is there is left to the
// checks.  False, with the system's reason, when it cannot be made.
bool MakeMissingDestination(const std::string& argument, std::string* destination) {
    if (FileModeOfPath(destination->c_str()) >= 0) return true;
    const bool made = MakeFolderWithParents(destination->c_str()) == 1;
    const std::string reason = made ? std::string() : std::strerror(errno);
    if (made) {
        const std::string resolved = AbsoluteCorePath(argument);
        if (!resolved.empty()) *destination = resolved;
        if (CurrentOutputLevel() == OUTPUT_QUIET) return true;
    }
    const char* format = made ? Translated("karvelo: made the destination %s\n")
                              : Translated("karvelo relocate: the destination %s cannot be made: %s\n");
    const std::string path = Utf8FromCore(*destination);
    std::vector<char> text(std::strlen(format) + path.size() + reason.size() + 1);
    std::snprintf(text.data(), text.size(), format, path.c_str(), reason.c_str());
    PrintError(CoreFromUtf8(text.data()));
    return made;
}

// The signals that stop a run, and SIGWINCH.
sigset_t AwaitedSignals() {
    sigset_t awaited;
    sigemptyset(&awaited);
    for (int awaitedSignal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGWINCH}) sigaddset(&awaited, awaitedSignal);
    return awaited;
}

// A stop signal asks the run to stop, once.
void NoteStop() {
    if (StopSignalSeen()) return;
    NoteStopSignal();
    coreState.stopRequested = 1;
    PrintError(
        TranslatedCore(N_("stopping: images still downloading are given up; the package will be written "
                          "back with what was done\n")));
}

// A stop signal that came between two packages' runs (they are blocked
// then): taken now, so the next package is not started.
bool TakePendingStop() {
    const sigset_t awaited = AwaitedSignals();
    const struct timespec none = {0, 0};
    for (int received; (received = sigtimedwait(&awaited, nullptr, &none)) > 0;) {
        if (received != SIGWINCH) NoteStop();
    }
    return StopSignalSeen();
}

// Runs the relocation on a worker thread while this thread waits for
// SIGINT, SIGTERM, SIGHUP (the terminal went away) or SIGQUIT, so a signal
// never interrupts a system call of the run: it only asks the run to stop,
// and the downloads in flight give up within a network wait slice.  SIGWINCH
// (the terminal resized) is taken the same way, without a handler, and this
// thread redraws the progress line for it and about ten times a second.
// The worker's last act is to send this thread RUN_ENDED_SIGNAL, so the
// wait ends the moment the run does, not at the next redraw.
// Returns what the run did, on this thread.  With `more` (one of several
// packages) the signals stay blocked after it: the command takes a stop
// between two packages (TakePendingStop), never the default action.
RunOutcome RunWithStopSignals(TerminalView* terminal, const KnownImages* known, bool more) {
    const int RUN_ENDED_SIGNAL = SIGRTMIN;
    sigset_t awaited = AwaitedSignals();
    sigaddset(&awaited, RUN_ENDED_SIGNAL);
    pthread_sigmask(SIG_BLOCK, &awaited, nullptr);  // the worker inherits the mask

    coreState.running = 1;  // as the wizard does: before the run's thread exists
    RunOutcome outcome = {};
    const pthread_t waiting = pthread_self();
    std::thread worker([&] {
        outcome = RunRelocation(&terminal->view, known);
        pthread_kill(waiting, RUN_ENDED_SIGNAL);  // sent once; the loop below takes it
    });
    const struct timespec redrawGap = {0, 100 * 1000 * 1000};
    for (;;) {
        int received = sigtimedwait(&awaited, nullptr, &redrawGap);
        if (received == RUN_ENDED_SIGNAL) break;
        if (received > 0 && received != SIGWINCH) NoteStop();
        TickTerminalView(terminal, received == SIGWINCH);
    }
    worker.join();
    // A run that ended early leaves the signals blocked: one more Ctrl-C
    // must not cut its last words short.
    if (outcome.end == RUN_FINISHED && !more) pthread_sigmask(SIG_UNBLOCK, &awaited, nullptr);
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
        std::fprintf(stderr,
                     Translated(N_("karvelo: KARVELO_CHECKPOINT_SECONDS takes a number from 1 to %d, not '%s'\n")),
                     MAX_CHECKPOINT_SECONDS, ShownArgument(value).c_str());
        return false;
    }
    SetCheckpointInterval(seconds);
    return true;
}

// A package as the command line names it: its path in the core's form, or
// why it was refused before it was read (EXIT_REFUSED, said already).
struct PackageOperand {
    std::string path;
    std::string shown;  // the argument, or the folder's entry, as given (UTF-8)
    int refused;
};

// Says that `argument` (UTF-8) cannot stand in a package: too long, or not UTF-8.
void ShowUnwritablePath(const std::string& argument) {
    std::fprintf(
        stderr,
        Translated(N_("karvelo relocate: %s cannot be written into a package (too long, or not valid UTF-8)\n")),
        argument.c_str());
}

// The packages the operands name, in order, each once (by its absolute
// path): a folder stands for its .csv files in the byte order of their
// names, and one with none is refused.
std::vector<PackageOperand> ExpandOperands(const std::vector<std::string>& operands) {
    std::vector<PackageOperand> packages;
    std::set<std::string> seen;
    auto add = [&](const std::string& argument) {
        if (RefuseStandardInput("relocate", argument)) {
            packages.push_back({std::string(), argument, EXIT_REFUSED});
            return;
        }
        const std::string path = AbsoluteCorePath(argument);
        if (path.empty()) {
            ShowUnwritablePath(argument);
            packages.push_back({std::string(), argument, EXIT_REFUSED});
        } else if (seen.insert(path).second) {
            packages.push_back({path, argument, EXIT_DONE});
        }
    };
    for (const std::string& operand : operands) {
        std::error_code error;
        if (operand == "-" || !std::filesystem::is_directory(operand, error)) {
            add(operand);
            continue;
        }
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(operand, error)) {
            const std::string name = entry.path().filename().string();
            const bool csv = name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".csv") == 0;
            if (csv && !entry.is_directory(error)) names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        if (names.empty()) {
            const std::string path = AbsoluteCorePath(operand);
            PrintError(Said(N_("karvelo relocate: %s is a folder, not a package file, and holds no package (.csv "
                               "file)\n"),
                            path.empty() ? CoreFromUtf8(operand).c_str() : path.c_str()));
            packages.push_back({path, operand, EXIT_REFUSED});
        }
        const std::string folder = operand.back() == '/' ? operand : operand + "/";
        for (const std::string& name : names) add(folder + name);
    }
    return packages;
}

// How bad an exit code is among several packages': a usage error, then a
// refusal, a package kept beside, failed images, done.
int Badness(int code) {
    switch (code) {
        case EXIT_DONE: return 0;
        case EXIT_SOME_FAILED: return 1;
        case EXIT_KEPT_BESIDE: return 2;
        case EXIT_REFUSED: return 3;
        default: return 4;
    }
}

// What the command given several packages keeps for its end: the report's
// entries, the packages' exit codes and the total.
struct PackageBatch {
    std::vector<std::string> entries;
    int worst = EXIT_DONE;
    BatchSummary total;
};

void NoteCode(PackageBatch* batch, int code) {
    if (Badness(code) > Badness(batch->worst)) batch->worst = code;
}

// The command's exit code and its document, as it ends by itself or early.
int EndBatch(void* context, int) {
    const PackageBatch* batch = static_cast<const PackageBatch*>(context);
    return WriteBatchReport(batch->entries, batch->total, StopSignalSeen() ? EXIT_STOPPED : batch->worst);
}

// Each package in turn, as one would be, sharing what they settle through
// `source`; then the total.
int RelocatePackages(const std::vector<PackageOperand>& packages, const RunOptions& options,
                     KnownImagesSource* source) {
    PackageBatch batch;
    batch.total.packages = static_cast<int>(packages.size());
    SetExitReport(EndBatch, &batch);
    // Blocked from the first package to the last: a stop between two runs
    // is taken before the next package, never by the default action.
    const sigset_t stopSignals = AwaitedSignals();
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    bool ended = false, byError = false;
    for (size_t i = 0; i < packages.size(); ++i) {
        const PackageOperand& package = packages[i];
        if (!ended && TakePendingStop()) ended = true;
        if (ended) {
            PrintError(Said(N_("karvelo relocate: %s not started\n"), package.path.c_str()));
            batch.entries.push_back(PackageReportEntry(package.path, false, -1));
            ++batch.total.notStarted;
            continue;
        }
        int code = package.refused;
        PackageRun run;
        if (package.refused == EXIT_DONE) {
            if (CurrentOutputLevel() != OUTPUT_QUIET) {
                PrintError("karvelo: " +
                           Said(N_("package %d of %d: %s"), static_cast<int>(i + 1), static_cast<int>(packages.size()),
                                package.path.c_str()) +
                           "\n");
            }
            RearmBackupNote();  // each package's summary names its own backup
            code = LoadAndRelocate(package.path, options, source, &run);
        }
        NoteCode(&batch, code);
        if (run.ran) {
            AddToBatch(&batch.total, run.summary);
            batch.entries.push_back(run.reportEntry);
        } else {
            ++batch.total.refused;
            batch.entries.push_back(PackageReportEntry(package.path, false, code));
        }
        ended = run.endsCommand;
        byError = run.byError;
    }
    PrintBatchSummary(batch.total);
    const int code = ended ? EndEarly(byError) : EndBatch(&batch, EXIT_DONE);
    // As after one run: an early end keeps them blocked for its last words.
    if (!ended) pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
    SetExitReport(nullptr);
    return code;
}

}  // namespace

void StartCore() {
    InstallConsoleFrontEnd();
    if (!GetProgramFolder(coreState.programFolder, sizeof coreState.programFolder)) {
        PrintError(TranslatedCore(N_("karvelo: cannot find the program's folder\n")));
        std::exit(EXIT_REFUSED);
    }
    if (!ChooseStateFolder(coreState.programFolder, 1, coreState.stateFolder, sizeof coreState.stateFolder)) {
        char wanted[MAX_PATH_BYTES];
        PrintError(GetUserStateFolder(wanted, sizeof wanted, 0)
                       ? Said(N_("karvelo: cannot write beside the program in %s and cannot create %s\n"),
                              coreState.programFolder, wanted)
                       : Said(N_("karvelo: cannot write beside the program in %s and finds no home folder (HOME) for "
                                 "its state folder\n"),
                              coreState.programFolder));
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

int LoadAndRelocate(const std::string& packagePath, const RunOptions& options, KnownImagesSource* source,
                    PackageRun* several) {
    if (several != nullptr) *several = PackageRun{};
    // The summary tells the addresses the package holds local already.
    if (coreState.items == nullptr) coreState.items = NewItemList();
    coreState.items->countLocalPaths = true;
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
    if (source != nullptr) OpenKnownImagesLibrary(source);
    TerminalView terminal;
    InitTerminalView(&terminal, options, coreState.items->count);
    SetReportedRun(&terminal);
    RunOutcome outcome =
        RunWithStopSignals(&terminal, source != nullptr ? &source->known : nullptr, several != nullptr);
    // What this package settled serves the packages after it.
    if (source != nullptr && several != nullptr) NoteSettledImages(source, coreState.urlMap, terminal.reasons);
    // A failed step reports only the backup it made (kept by the view).
    if (outcome.end != RUN_FAILED) terminal.outcome = outcome;
    const RunSummary summary = SummarizeRun(terminal, outcome.end == RUN_FAILED);
    // Over a package relocated before, "no image was relocated" would
    // mislead: the summary says nothing new was there.  The wizard keeps
    // the core's words.
    if (NothingNewToRelocate(summary) && outcome.end == RUN_FINISHED && !outcome.textChanged) outcome.message[0] = '\0';
    int code = EXIT_DONE;
    if (PresentRunOutcome(&terminal.view, outcome)) {
        PrintRunSummary(summary);
        const bool byError = outcome.end == RUN_FAILED || outcome.stoppedByError;
        if (several != nullptr) {
            // The command ends with this package, once it has named the rest.
            code = ExitCodeFor(byError, &terminal.outcome);
            *several = PackageRun{true, true, byError, summary, PackageReportEntry(packagePath, true, code)};
        } else {
            code = EndEarly(byError);
        }
        SetReportedRun(nullptr);
        return code;
    }
    FinishTerminalView(&terminal);
    PrintFailureList(terminal);
    PrintRunSummary(summary);
    if (outcome.keptBeside) {
        code = EXIT_KEPT_BESIDE;
    } else if (outcome.failureCount > 0) {
        code = EXIT_SOME_FAILED;
    }
    if (several != nullptr) {
        *several = PackageRun{true, false, false, summary, PackageReportEntry(packagePath, true, code)};
    } else {
        code = WriteJsonReport(code);
    }
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
        PrintError(std::string("karvelo relocate: ") + ShownCoreText(failure != nullptr ? failure : "") + "\n");
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
                char what[256];
                std::snprintf(what, sizeof what, Translated(N_("%s takes a number from 1 to %d, not '%s'")),
                              name.c_str(), limit, ShownArgument(value).c_str());
                RefuseArguments(*FindCommand("relocate"), what);
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
    if (arguments.positionals.size() < 2) {
        RefuseArguments(*FindCommand("relocate"), Translated(N_("PACKAGE and DEST are needed")));
        return EXIT_USAGE;
    }
    const std::vector<std::string> operands(arguments.positionals.begin(), arguments.positionals.end() - 1);
    const std::string& destinationArgument = arguments.positionals.back();
    // One package refused as standard input is refused before anything starts.
    if (operands.size() == 1 && RefuseStandardInput("relocate", operands[0])) return EXIT_REFUSED;
    if (!TakeCheckpointInterval()) return EXIT_USAGE;
    const std::string* proxy = haveProxyOption ? &proxyOption : nullptr;
    if (!TakeProxySettings(proxy, haveNoProxyOption ? &noProxyOption : nullptr)) return EXIT_USAGE;
    StartCore();
    std::string destination = AbsoluteCorePath(destinationArgument);
    if (destination.empty()) {
        ShowUnwritablePath(destinationArgument);
        return EXIT_REFUSED;
    }
    const std::vector<PackageOperand> packages = ExpandOperands(operands);
    // Not for packages that are refused anyway: a mistyped name makes no folder.
    bool anyPackage = false;
    for (const PackageOperand& package : packages)
        anyPackage = anyPackage || (package.refused == EXIT_DONE && CheckPackagePath(package.path.c_str()) == nullptr);
    if (anyPackage && !MakeMissingDestination(destinationArgument, &destination)) return EXIT_REFUSED;
    std::snprintf(options.destination, sizeof options.destination, "%s", destination.c_str());
    KnownImagesSource source;
    InitKnownImagesSource(&source, destination, !arguments.Has(OPTION_NO_LIBRARY));
    int code;
    if (packages.size() == 1 && packages[0].refused == EXIT_DONE) {
        code = LoadAndRelocate(packages[0].path, options, &source);
    } else {
        code = RelocatePackages(packages, options, &source);
    }
    CloseKnownImagesSource(&source);
    return code;
}
