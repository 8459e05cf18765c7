// The command line's commands.
#pragma once

#include <string>

#include "cli/options.h"
#include "relocate/run_view.h"

// karvelo relocate [options] PACKAGE DEST; arguments in UTF-8.
int RelocateCommand(const ParsedArguments& arguments);
// karvelo inspect [options] PACKAGE
int InspectCommand(const ParsedArguments& arguments);
// karvelo demo [options] [DIR]
int DemoCommand(const ParsedArguments& arguments);

// Shared by relocate and demo: loads the package (path in the core's form), checks the
// inputs, runs, reports.  Returns the exit code (CliExit).
int LoadAndRelocate(const std::string& packagePath, const RunOptions& options);

// Sets up what every command needs: program folder, log, network, client.
void StartCore();

// An absolute path in the core's form for a UTF-8 argument, or "" when the
// argument is not UTF-8 or too long (such a path could not be written into
// a package).  Existing paths are resolved through symbolic links.
std::string AbsoluteCorePath(const std::string& utf8);
