// The command line's commands.
#pragma once

#include <string>

#include "relocate/run_view.h"

// karvelo relocate PACKAGE DEST [options]; arguments in UTF-8.
int RelocateCommand(int argc, char** argv);
// karvelo inspect PACKAGE
int InspectCommand(int argc, char** argv);
// karvelo demo [DIR]
int DemoCommand(int argc, char** argv);

// Shared by relocate and demo: loads the package (GBK path), checks the
// inputs, runs, reports.  Returns the exit code (CliExit).
int LoadAndRelocate(const std::string& packagePath, const RunOptions& options);

// Sets up what every command needs: program folder, log, network, client.
void StartCore();

// An absolute GBK path for a UTF-8 argument, or "" when the argument holds
// characters GBK cannot express (such a path could not be written into a
// package).  Existing paths are resolved through symbolic links.
std::string AbsoluteGbkPath(const std::string& utf8);
