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
#include "cli/text_wrap.h"
#include "platform/fs.h"
#include "texts/texts.h"
#include "util/version.h"

namespace {

const char VERSION_TEXT[] = "Karvelo " PROGRAM_VERSION_TEXT;

// The help fits one screen: what Karvelo does, the commands, the common
// options, examples, and where the rest is (a command's --help, the topics).
const char HELP_INTRO[] =
    N_("Karvelo downloads the images of a Taobao data package (the CSV file the listing tool exports) into a "
       "folder and rewrites the package to use the local files.");

// The help's columns: the commands', the options', the examples'.
const size_t COMMAND_COLUMN = 48;
const size_t OPTION_COLUMN = 22;
const size_t EXAMPLE_COLUMN = 52;
// The width the help is laid out for where it is not shown on a terminal.
const size_t HELP_WIDTH = 80;

struct HelpLine {
    const char* left;  // a command's usage, an option (its spelling comes from the table), an example
    int option;        // an OptionId, or 0
    const char* right;
};
const HelpLine HELP_COMMANDS[] = {
    {"karvelo relocate [options] PACKAGE... DEST", 0, N_("download the images into DEST")},
    {"karvelo inspect [options] PACKAGE", 0, N_("count its image addresses")},
    {"karvelo demo [options] [DIR]", 0, N_("a run on a built-in example")},
    {"karvelo help [TOPIC]", 0, N_("more on a topic (listed below)")},
};
const HelpLine HELP_OPTIONS[] = {
    {nullptr, OPTION_VERBOSE, N_("a line per image: its file, or why it failed")},
    {nullptr, OPTION_QUIET, N_("only the final message and errors")},
    {nullptr, OPTION_JOBS, N_("downloads at once (1 to 32, default 8)")},
    {nullptr, OPTION_BLANK_FAILED, N_("replace images that fail by the blank image")},
    {nullptr, OPTION_JSON, N_("one JSON document on stdout at the end")},
    {nullptr, OPTION_HELP, N_("this help (-V, --version: the version)")},
};
const HelpLine HELP_EXAMPLES[] = {
    {"karvelo relocate goods.csv images", 0, N_("every image into images/")},
    {"karvelo inspect goods.csv", 0, N_("what is still remote")},
    {"karvelo relocate --blank-failed goods.csv images", 0, N_("again, blanking what fails")},
};

// The topics' paragraphs, laid out in lines (wrapped afresh where they are
// shown); %s stands for the kept package's label, which is the core's.
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
       "signal after writing back.  With several packages: the worst of theirs, in\n"
       "the order 1, 4, 3, 0 (130 after a stop).\n"),
    N_("files: each run first copies the package to bak/NAME(n).csv, and failures\n"
       "are logged to app.log, both in the folder of the karvelo executable when it\n"
       "can be written there and is not a bin folder of installed programs,\n"
       "otherwise in $XDG_STATE_HOME/karvelo (~/.local/state/karvelo when\n"
       "XDG_STATE_HOME is unset or not absolute), made on first use.  DEST keeps the\n"
       "image library in DEST/.karvelo/library.sqlite3, an index of what was\n"
       "relocated there: deleting it only forgets, never loses an image, and\n"
       "--no-library leaves it alone.\n"),
};

enum HelpDetail { DETAIL_PROXY, DETAIL_STOP, DETAIL_KEPT_BESIDE, DETAIL_EXIT_CODES, DETAIL_FILES };

struct HelpTopic {
    const char* name;
    const char* summary;
    HelpDetail details[2];
    int detailCount;
    bool folder;  // ends with the folder this user's runs would use now
};
const HelpTopic HELP_TOPICS[] = {
    {"proxy", N_("which proxy an image goes through, which hosts go direct"), {DETAIL_PROXY}, 1, false},
    {"files",
     N_("the backup, the log, their folder, the kept-beside copy"),
     {DETAIL_FILES, DETAIL_KEPT_BESIDE},
     2,
     true},
    {"exit-codes", N_("what each exit code means"), {DETAIL_EXIT_CODES}, 1, false},
    {"stop", N_("Ctrl-C, the checkpoints, KARVELO_CHECKPOINT_SECONDS"), {DETAIL_STOP}, 1, false},
};

// The width the help is wrapped to: the terminal's, else the layout's.
size_t HelpWidth(FILE* stream) {
    const int columns = TerminalWidth(fileno(stream));
    return columns > 0 ? static_cast<size_t>(columns) : HELP_WIDTH;
}

std::string TopicNames() {
    std::string names;
    for (const HelpTopic& topic : HELP_TOPICS) names += (names.empty() ? "" : ", ") + std::string(topic.name);
    return names;
}

// karvelo --help
void PrintHelp(FILE* stream) {
    const size_t width = HelpWidth(stream);
    std::string help = WrapText(Translated(HELP_INTRO), width, 0) + "\n\n";
    const std::string label = Translated("usage: ");
    for (const HelpLine& line : HELP_COMMANDS) {
        const std::string left = (&line == HELP_COMMANDS ? label : std::string(DisplayColumns(label), ' ')) + line.left;
        help += HelpRow(left, Translated(line.right), COMMAND_COLUMN, width);
    }
    help += std::string("\n") + Translated("common options:") + "\n";
    for (const HelpLine& line : HELP_OPTIONS) {
        help += HelpRow("  " + OptionSpelling(line.option), Translated(line.right), OPTION_COLUMN, width);
    }
    help += std::string("\n") + Translated("examples:") + "\n";
    for (const HelpLine& line : HELP_EXAMPLES) {
        help += HelpRow(std::string("  ") + line.left, Translated(line.right), EXAMPLE_COLUMN, width);
    }
    help += "\n" + WrapText(Translated("karvelo COMMAND --help: that command's options in full."), width, 2) + "\n";
    char topics[256];
    std::snprintf(topics, sizeof topics, Translated("karvelo help TOPIC: %s (karvelo help lists them)."),
                  TopicNames().c_str());
    help += WrapText(topics, width, 2) + "\n";
    std::fputs(help.c_str(), stream);
}

// karvelo help: the topics, one line each.
void PrintTopics(FILE* stream) {
    const size_t width = HelpWidth(stream);
    std::string help = WrapText(Translated("usage: ") + std::string("karvelo help TOPIC | COMMAND"), width, 4) + "\n" +
                       Translated("topics:") + "\n";
    for (const HelpTopic& topic : HELP_TOPICS) {
        help += HelpRow(std::string("  ") + topic.name, Translated(topic.summary), 15, width);
    }
    help += WrapText(Translated("karvelo help COMMAND: that command's options in full."), width, 2) + "\n";
    std::fputs(help.c_str(), stream);
}

// karvelo help TOPIC: its paragraphs, and for the files the folder this
// user's runs would use now.
void PrintTopic(const HelpTopic& topic, FILE* stream) {
    const size_t width = HelpWidth(stream);
    const std::string label = Utf8FromCore(TEXT_KEPT_PACKAGE_LABEL);
    std::string help;
    for (int i = 0; i < topic.detailCount; ++i) {
        std::string text = JoinLines(Translated(HELP_DETAILS[topic.details[i]]));
        const size_t at = text.find("%s");
        if (at != std::string::npos) text.replace(at, 2, label);
        help += (i > 0 ? "\n" : "") + WrapText(text, width, 0);
        // The folder right under the paragraph that names it.
        char program[MAX_PATH_BYTES], folder[MAX_PATH_BYTES];
        if (i == 0 && topic.folder && GetProgramFolder(program, sizeof program) &&
            ChooseStateFolder(program, 0, folder, sizeof folder)) {
            char line[MAX_PATH_BYTES + 256];
            std::snprintf(line, sizeof line, Translated("For you, that folder is %s\n"), Utf8FromCore(folder).c_str());
            help += WrapText(line, width, 2);
        }
    }
    std::fputs(help.c_str(), stream);
}

// karvelo help [TOPIC | COMMAND]: exit 0, or 2 for a topic there is not.
int HelpCommand(int argc, char** argv) {
    if (argc > 3) {
        std::fprintf(stderr, Translated("karvelo help: one topic at a time; the topics: %s\n"), TopicNames().c_str());
        return EXIT_USAGE;
    }
    if (argc < 3) {
        PrintTopics(stdout);
        return EXIT_DONE;
    }
    const std::string name = argv[2];
    for (const HelpTopic& topic : HELP_TOPICS) {
        if (name != topic.name) continue;
        PrintTopic(topic, stdout);
        return EXIT_DONE;
    }
    const CliCommand* command = FindCommand(name);
    if (command != nullptr) {
        std::fputs(CommandHelp(*command, HelpWidth(stdout)).c_str(), stdout);
        return EXIT_DONE;
    }
    std::fprintf(stderr, Translated("karvelo help: unknown topic %s; the topics: %s\n"), ShownArgument(name).c_str(),
                 TopicNames().c_str());
    return EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
    if (!OpenClosedStandardStreams()) return EXIT_REFUSED;
    // Before anything is said: every command speaks the locale's language.
    ChooseMessageLanguage();
    // A reader that went away (`| head`, a `tee` ended by Ctrl-C) must not
    // end the run before the write-back: a write to it fails and is dropped.
    signal(SIGPIPE, SIG_IGN);
    if (argc < 2) {
        PrintUsageLines(stderr, /*translated=*/true);
        std::fputs(Translated(N_("(karvelo --help tells more)\n")), stderr);
        return EXIT_USAGE;
    }
    std::string command = argv[1];
    if (command == "--help" || command == "-h") {
        PrintHelp(stdout);
        return EXIT_DONE;
    }
    if (command == "help") return HelpCommand(argc, argv);
    if (command == "--version" || command == "-V") {
        std::puts(VERSION_TEXT);
        return EXIT_DONE;
    }
    const CliCommand* found = FindCommand(command);
    if (found == nullptr) {
        std::fprintf(stderr, "karvelo: %s %s\n",
                     Translated(command.size() > 1 && command[0] == '-' ? N_("unknown option") : N_("unknown command")),
                     command.c_str());
        PrintUsageLines(stderr, /*translated=*/true);
        return EXIT_USAGE;
    }
    ParsedArguments parsed;
    if (!ParseArguments(*found, argc - 2, argv + 2, &parsed)) return EXIT_USAGE;
    if (parsed.Has(OPTION_HELP)) {
        std::fputs(CommandHelp(*found, HelpWidth(stdout)).c_str(), stdout);
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
