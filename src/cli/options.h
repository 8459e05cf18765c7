// The command line's options: one table feeds the parser (getopt_long, per
// command), each command's help and the program's help, so what is parsed
// and what is said cannot drift apart.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

// Which commands take an option.
enum CommandSet : unsigned {
    COMMAND_RELOCATE = 1u,
    COMMAND_INSPECT = 2u,
    COMMAND_DEMO = 4u,
    COMMAND_ALL = 7u,
};

enum OptionId {
    OPTION_HELP = 'h',
    OPTION_VERSION = 'V',
    OPTION_JOBS = 'j',
    OPTION_QUIET = 'q',
    OPTION_VERBOSE = 'v',
    OPTION_NO_IMAGE_SPACE = 256,
    OPTION_NO_OUTSIDE_ALBUMS,
    OPTION_BLANK_FAILED,
    OPTION_STREAMS,
    OPTION_PROXY,
    OPTION_NOPROXY,
    OPTION_JSON,
    OPTION_NO_LIBRARY,
};

struct CliOption {
    int id;                 // OptionId; a printable one is also the short name
    const char* longName;   // without "--"
    const char* valueName;  // null for a flag
    const char* help;       // what --help says, lines after the first indented by the caller
    unsigned commands;      // CommandSet
};

extern const CliOption CLI_OPTIONS[];
extern const int CLI_OPTION_COUNT;

// A command's name, its set, its usage line and what it does.
struct CliCommand {
    const char* name;
    unsigned set;
    const char* usage;    // "karvelo relocate [options] PACKAGE... DEST"
    const char* summary;  // one line
};
extern const CliCommand CLI_COMMANDS[];
extern const int CLI_COMMAND_COUNT;
const CliCommand* FindCommand(const std::string& name);

struct ParsedArguments {
    std::vector<std::pair<int, std::string>> options;  // in the order given
    std::vector<std::string> positionals;
    bool Has(int id) const;
};

// An argument or variable value as a refusal shows it: a proxy address
// typed where it does not belong (an unknown option, --proxyy=...) shows no
// credentials either (RedactProxyAddress).
std::string ShownArgument(const std::string& text);

// Says on stderr what is wrong with `command`'s arguments, with its usage
// line and where to learn more: "karvelo relocate: too many arguments".
void RefuseArguments(const CliCommand& command, const std::string& what);

// Parses the arguments after the command's name with getopt_long: options
// anywhere among the operands, "--" ends them, "-j4", "--jobs=4" and
// "--jobs 4" alike.  An unknown option, or one without its value, says so
// on stderr ("karvelo relocate: unknown option --x") with the command's
// usage line, and returns false.
bool ParseArguments(const CliCommand& command, int argc, char** argv, ParsedArguments* parsed);

// "usage: " and every command's usage line, then the help and version
// forms; `translated`: "usage: " in the help's language (the help), not
// English (a refusal, which scripts may read).
std::string UsageLines(bool translated);
void PrintUsageLines(FILE* stream, bool translated);

// "-j, --jobs N" or "    --streams N" for an OptionId.
std::string OptionSpelling(int id);

// One row of a two-column list of the help, ending in a line feed: `left`
// padded to `column`, then `right` (UTF-8), wrapped to `width` with its
// continuation lines in `right`'s column.  A left part that reaches the
// column, or a terminal too narrow for two columns, puts `right` on the
// lines below.
std::string HelpRow(const std::string& left, const std::string& right, size_t column, size_t width);

// `command`'s usage line, what it does and all of its options, in the
// help's language, wrapped to `width`.
std::string CommandHelp(const CliCommand& command, size_t width);
