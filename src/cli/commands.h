// The command line's commands.
#pragma once

#include <string>

#include "cli/options.h"
#include "cli/run_summary.h"
#include "relocate/run_view.h"

struct KnownImagesSource;

// karvelo relocate [options] PACKAGE... DEST; arguments in UTF-8.
int RelocateCommand(const ParsedArguments& arguments);
// karvelo inspect [options] PACKAGE
int InspectCommand(const ParsedArguments& arguments);
// karvelo demo [options] [DIR]
int DemoCommand(const ParsedArguments& arguments);

// What one of several packages' runs leaves the command: it goes on to the
// next package, or ends with this one (a stop, an error that ends it).
struct PackageRun {
    bool ran = false;          // the run was started (not refused before it)
    bool endsCommand = false;  // the command ends with this package
    bool byError = false;      // an error ended it
    RunSummary summary;
    std::string reportEntry;  // its entry in the --json document (PackageReportEntry)
};

// Shared by relocate and demo: loads the package (path in the core's form), checks the
// inputs, runs, reports.  Returns the exit code (CliExit).  The run is given
// `source`'s known images (null: none).  With `several`, the package is one
// of several: what the command needs of it goes there, and neither the
// report nor an early end is the package's (the command's instead).
int LoadAndRelocate(const std::string& packagePath, const RunOptions& options, KnownImagesSource* source = nullptr,
                    PackageRun* several = nullptr);

// Sets up what every command needs: program folder, log, network, client.
void StartCore();

// An absolute path in the core's form for a UTF-8 argument, or "" when the
// argument is not UTF-8 or too long (such a path could not be written into
// a package).  Existing paths are resolved through symbolic links.
std::string AbsoluteCorePath(const std::string& utf8);
