// karvelo: the command-line front end over Karvelo's core.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/language.h"
#include "cli/options.h"
#include "cli/run_report.h"
#include "platform/fs.h"
#include "texts/texts.h"
#include "util/version.h"

namespace {

const char VERSION_TEXT[] = "Karvelo " PROGRAM_VERSION_TEXT;

const char HELP_TEXT[] =
    N_("Karvelo relocates the images of a Taobao data package (the CSV file the\n"
       "listing tool exports): it downloads every image once into a folder, rewrites\n"
       "the package so each relocated address is the local file's full path, keeps a\n"
       "numbered backup and writes the package back.\n");

// The help's paragraphs after the options, each one text of the catalog;
// %s stands for the kept package's label, which is the core's.
const char* const HELP_DETAILS[] = {
    N_("proxies: the first that applies of --proxy; http_proxy for http addresses,\n"
       "https_proxy or HTTPS_PROXY for https addresses (through a CONNECT tunnel,\n"
       "TLS to the image's host); all_proxy or ALL_PROXY.  Hosts that go\n"
       "direct: --noproxy, else no_proxy or NO_PROXY (suffixes, addresses, CIDR\n"
       "ranges, optional :PORT, \"*\" for all).  A lower-case variable wins over its\n"
       "upper-case form.  HTTP_PROXY is never read: a CGI program is handed the\n"
       "client's \"Proxy:\" header under that name.  A proxy that cannot be used\n"
       "fails the image, and nothing goes direct instead.  Names resolve to IPv6\n"
       "and IPv4; [IPv6] addresses in brackets are fetched too.\n"),
    N_("Ctrl-C (or SIGTERM, SIGHUP, SIGQUIT) stops within about a second, giving\n"
       "up the images still downloading; the package is written back with what\n"
       "was done, and running the same command again continues.  During a run\n"
       "the package is also written back every 30 seconds\n"
       "(KARVELO_CHECKPOINT_SECONDS, 1 to 3600), so a crash loses little.\n"),
    N_("Before the run the package must be writable: one that another program holds\n"
       "open, that is read-only, or whose paths would be too long is refused.  If\n"
       "it cannot be replaced at the end, it is tried for a few seconds, then the\n"
       "rewritten package is kept beside it as NAME(%s).csv (the message says\n"
       "where) and the package itself is left as it was.\n"),
    N_("exit codes: 0 done (nothing failed, or nothing to do), 3 done with failed\n"
       "images, 4 done but the package could not be replaced (the rewritten package\n"
       "is kept beside it), 1 package or destination refused, a file error or a\n"
       "--json report that could not be written, 2 usage error, 130 stopped by a\n"
       "signal after writing back.\n"),
    N_("files: each run first copies the package to bak/NAME(n).csv, and failures\n"
       "are logged to app.log, both in the folder of the karvelo executable when it\n"
       "can be written there and is not a bin folder of installed programs,\n"
       "otherwise in $XDG_STATE_HOME/karvelo (~/.local/state/karvelo when\n"
       "XDG_STATE_HOME is unset or not absolute), made on first use.\n"),
};

// The help, with every command's options and the folder this user's runs
// would use now.
void PrintHelp(FILE* stream) {
    std::fprintf(stream, "%s\n", Translated(HELP_TEXT));
    PrintUsageLines(stream, /*translated=*/true);
    std::fputs(Translated("  (karvelo COMMAND --help: that command's options alone)\n"), stream);
    std::fputc('\n', stream);
    PrintCommandHelp(nullptr, stream);
    const std::string label = Utf8FromCore(TEXT_KEPT_PACKAGE_LABEL);
    for (const char* paragraph : HELP_DETAILS) {
        std::string text = Translated(paragraph);
        const size_t at = text.find("%s");
        if (at != std::string::npos) text.replace(at, 2, label);
        std::fprintf(stream, "\n%s", text.c_str());
    }
    char program[MAX_PATH_BYTES], folder[MAX_PATH_BYTES];
    if (GetProgramFolder(program, sizeof program) && ChooseStateFolder(program, 0, folder, sizeof folder)) {
        std::fprintf(stream, Translated("For you, that folder is %s\n"), Utf8FromCore(folder).c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (!OpenClosedStandardStreams()) return EXIT_REFUSED;
    // A reader that went away (`| head`, a `tee` ended by Ctrl-C) must not
    // end the run before the write-back: a write to it fails and is dropped.
    signal(SIGPIPE, SIG_IGN);
    if (argc < 2) {
        PrintUsageLines(stderr, /*translated=*/false);
        std::fputs("(karvelo --help tells more)\n", stderr);
        return EXIT_USAGE;
    }
    std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        ChooseMessageLanguage();
        PrintHelp(stdout);
        return EXIT_DONE;
    }
    if (command == "--version" || command == "-V") {
        std::puts(VERSION_TEXT);
        return EXIT_DONE;
    }
    const CliCommand* found = FindCommand(command);
    if (found == nullptr) {
        std::fprintf(stderr, "karvelo: %s %s\n",
                     command.size() > 1 && command[0] == '-' ? "unknown option" : "unknown command", command.c_str());
        PrintUsageLines(stderr, /*translated=*/false);
        return EXIT_USAGE;
    }
    ParsedArguments parsed;
    if (!ParseArguments(*found, argc - 2, argv + 2, &parsed)) return EXIT_USAGE;
    if (parsed.Has(OPTION_HELP)) {
        ChooseMessageLanguage();
        PrintCommandHelp(found, stdout);
        return EXIT_DONE;
    }
    if (parsed.Has(OPTION_VERSION)) {
        std::puts(VERSION_TEXT);
        return EXIT_DONE;
    }
    ChooseMessageLanguage();  // the failures' sentences and the notes are in the user's language
    if (parsed.Has(OPTION_QUIET)) SetOutputLevel(OUTPUT_QUIET);
    if (parsed.Has(OPTION_VERBOSE)) SetOutputLevel(OUTPUT_VERBOSE);
    if (parsed.Has(OPTION_JSON)) ChooseJsonReport(found->name);
    if (found->set == COMMAND_INSPECT) return InspectCommand(parsed);
    const int code = found->set == COMMAND_RELOCATE ? RelocateCommand(parsed) : DemoCommand(parsed);
    // A command refused before its run still answers with a document.
    return WriteJsonReport(code);
}
