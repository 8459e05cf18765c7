#include "cli/options.h"

#include <getopt.h>

#include <cstdlib>
#include <cstring>

#include "cli/language.h"
#include "cli/text_wrap.h"
#include "http/proxy_settings.h"

const CliOption CLI_OPTIONS[] = {
    {OPTION_HELP, "help", nullptr, N_("print this help and exit"), COMMAND_ALL},
    {OPTION_VERSION, "version", nullptr, N_("print the version and exit"), COMMAND_ALL},
    {OPTION_NO_IMAGE_SPACE, "no-image-space", nullptr,
     N_("leave image-space images (and all mobile-detail\nimages) remote"), COMMAND_RELOCATE},
    {OPTION_NO_OUTSIDE_ALBUMS, "no-outside-albums", nullptr, N_("leave images of outside photo albums remote"),
     COMMAND_RELOCATE},
    {OPTION_BLANK_FAILED, "blank-failed", nullptr, N_("replace images that fail by the blank image"), COMMAND_RELOCATE},
    {OPTION_JOBS, "jobs", "N",
     N_("HTTP/1.1 downloads at once (1 to 32, default 8);\nthe results are the same for every N"), COMMAND_RELOCATE},
    {OPTION_STREAMS, "streams", "N",
     N_("HTTP/2 requests at once per host (1 to 256,\ndefault 100); the results are the same for every N"),
     COMMAND_RELOCATE},
    {OPTION_PROXY, "proxy", "URL",
     N_("download through this http proxy (\"\": none):\nhttp://[USER:PASSWORD@]HOST[:PORT]"), COMMAND_RELOCATE},
    {OPTION_NOPROXY, "noproxy", "LIST", N_("the hosts that go direct (\"*\": all)"), COMMAND_RELOCATE},
    {OPTION_NO_LIBRARY, "no-library", nullptr,
     N_("neither read nor write DEST's image library\n(DEST/.karvelo): every image not met earlier in\nthis command is downloaded"),
     COMMAND_RELOCATE},
    {OPTION_QUIET, "quiet", nullptr, N_("print only the final message and errors"), COMMAND_RELOCATE | COMMAND_DEMO},
    {OPTION_VERBOSE, "verbose", nullptr, N_("print a line per image: its address, then its\nfile or why it failed"),
     COMMAND_RELOCATE | COMMAND_DEMO},
    {OPTION_JSON, "json", nullptr,
     N_("at the end, print one JSON document on stdout:\nper item its files and failures (with codes), the\n"
        "counts and the paths; for inspect, the package's\ncounts (the texts go to stderr)"),
     COMMAND_RELOCATE | COMMAND_INSPECT | COMMAND_DEMO},
};
const int CLI_OPTION_COUNT = sizeof CLI_OPTIONS / sizeof CLI_OPTIONS[0];

const CliCommand CLI_COMMANDS[] = {
    {"relocate", COMMAND_RELOCATE, "karvelo relocate [options] PACKAGE... DEST",
     N_("download the packages' images into DEST and rewrite the packages (a folder stands for its .csv files)")},
    {"inspect", COMMAND_INSPECT, "karvelo inspect [options] PACKAGE",
     N_("count the package's image addresses, remote and local, writing nothing")},
    {"demo", COMMAND_DEMO, "karvelo demo [options] [DIR]", N_("relocate a built-in example package in DIR")},
};
const int CLI_COMMAND_COUNT = sizeof CLI_COMMANDS / sizeof CLI_COMMANDS[0];

namespace {

// The column the options' texts start in.
const size_t HELP_COLUMN = 24;
// Narrower than this right of its column, a row's text goes under it.
const size_t LEAST_HELP_TEXT = 24;

bool Printable(int id) { return id > ' ' && id < 127; }

const CliOption* OptionById(int id) {
    for (int i = 0; i < CLI_OPTION_COUNT; ++i) {
        if (CLI_OPTIONS[i].id == id) return &CLI_OPTIONS[i];
    }
    return nullptr;
}

}  // namespace

std::string OptionSpelling(int id) {
    const CliOption* option = OptionById(id);
    if (option == nullptr) return std::string();
    std::string text = Printable(option->id) ? std::string("-") + static_cast<char>(option->id) + ", " : "    ";
    text += std::string("--") + option->longName;
    if (option->valueName != nullptr) text += std::string(" ") + option->valueName;
    return text;
}

std::string HelpRow(const std::string& left, const std::string& right, size_t column, size_t width) {
    const size_t lead = left.find_first_not_of(' ') == std::string::npos ? 0 : left.find_first_not_of(' ');
    const size_t leftColumns = DisplayColumns(left);
    // A long left part, or a narrow terminal: the text on the lines below.
    if (leftColumns + 1 >= column || width < column + LEAST_HELP_TEXT) {
        const size_t under = width < column + LEAST_HELP_TEXT ? lead + 4 : column;
        const std::string text = std::string(under, ' ') + right;
        return WrapText(left, width, 4) + "\n" + WrapText(text, width, 0) + "\n";
    }
    return WrapText(left + std::string(column - leftColumns, ' ') + right, width, column - lead) + "\n";
}

const CliCommand* FindCommand(const std::string& name) {
    for (int i = 0; i < CLI_COMMAND_COUNT; ++i) {
        if (name == CLI_COMMANDS[i].name) return &CLI_COMMANDS[i];
    }
    return nullptr;
}

std::string ShownArgument(const std::string& text) {
    // "--name=value" keeps its name; only the value can be an address.
    const size_t equals = text[0] == '-' ? text.find('=') : std::string::npos;
    const size_t valueAt = equals != std::string::npos ? equals + 1 : 0;
    char* redacted = RedactProxyAddress(text.c_str() + valueAt);
    std::string shown = text.substr(0, valueAt) + redacted;
    std::free(redacted);
    return shown;
}

void RefuseArguments(const CliCommand& command, const std::string& what) {
    std::fprintf(stderr, Translated(N_("karvelo %s: %s\nusage: %s\n(karvelo %s --help tells more)\n")), command.name,
                 what.c_str(), command.usage, command.name);
}

bool ParsedArguments::Has(int id) const {
    for (const auto& option : options) {
        if (option.first == id) return true;
    }
    return false;
}

bool ParseArguments(const CliCommand& command, int argc, char** argv, ParsedArguments* parsed) {
    std::vector<option> longs;
    std::string shorts = ":";  // a missing value reads as ':', not as '?'
    for (int i = 0; i < CLI_OPTION_COUNT; ++i) {
        const CliOption& known = CLI_OPTIONS[i];
        if ((known.commands & command.set) == 0) continue;
        const int takes = known.valueName != nullptr ? required_argument : no_argument;
        longs.push_back(option{known.longName, takes, nullptr, known.id});
        if (Printable(known.id)) {
            shorts += static_cast<char>(known.id);
            if (takes == required_argument) shorts += ':';
        }
    }
    longs.push_back(option{nullptr, 0, nullptr, 0});
    // getopt reorders what it is given: a copy, behind the command's name.
    std::vector<char*> arguments = {const_cast<char*>(command.name)};
    arguments.insert(arguments.end(), argv, argv + argc);
    arguments.push_back(nullptr);
    const int count = static_cast<int>(arguments.size()) - 1;
    optind = 0;  // glibc: start afresh
    opterr = 0;
    for (;;) {
        const int found = getopt_long(count, arguments.data(), shorts.c_str(), longs.data(), nullptr);
        if (found == -1) break;
        const char* written = arguments[optind - 1];
        if (found == '?') {
            RefuseArguments(command, std::string(Translated(N_("unknown option "))) +
                                         (optopt != 0 && optopt != '?' ? std::string("-") + static_cast<char>(optopt)
                                                                       : ShownArgument(written)));
            return false;
        }
        if (found == ':') {
            const CliOption* option = OptionById(optopt);
            RefuseArguments(command, std::string(option != nullptr ? "--" + std::string(option->longName) : written) +
                                         Translated(N_(" takes a value")));
            return false;
        }
        parsed->options.emplace_back(found, optarg != nullptr ? optarg : "");
    }
    for (int i = optind; i < count; ++i) parsed->positionals.push_back(arguments[static_cast<size_t>(i)]);
    return true;
}

std::string UsageLines(bool translated) {
    // The lines under the first start where the first's usage does.
    const std::string label = translated ? Translated("usage: ") : "usage: ";
    const std::string indent(DisplayColumns(label), ' ');
    std::string lines;
    for (int i = 0; i < CLI_COMMAND_COUNT; ++i) lines += (i == 0 ? label : indent) + CLI_COMMANDS[i].usage + "\n";
    return lines + indent + "karvelo -h | --help | -V | --version\n";
}

void PrintUsageLines(FILE* stream, bool translated) { std::fputs(UsageLines(translated).c_str(), stream); }

std::string CommandHelp(const CliCommand& command, size_t width) {
    std::string help = WrapText(Translated("usage: ") + std::string(command.usage), width, 4) + "\n" +
                       WrapText(std::string("  ") + Translated(command.summary), width, 0) + "\n";
    for (int j = 0; j < CLI_OPTION_COUNT; ++j) {
        const CliOption& option = CLI_OPTIONS[j];
        if ((option.commands & command.set) == 0) continue;
        help += HelpRow("  " + OptionSpelling(option.id), JoinLines(Translated(option.help)), HELP_COLUMN, width);
    }
    return help;
}
