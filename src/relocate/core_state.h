// CoreState: what the core's threads share for the life of the process: the
// program's folders, the package being worked on and the run's two flags.
//
// Both front ends use the one instance, `coreState`; the Win32 program keeps
// its windows in a record of its own (ui/application_state.h).
//
// Sharing rules:
// - The front end's thread fills programFolder and stateFolder at start and
//   never changes them after.
// - packagePath, packageFile, items and packageText are written by the front end's
//   thread while loading (LoadPackageIntoState); while `running` is 1 they
//   belong to the run, which rewrites packageText and the items' lists, and
//   the front end only reads what the run reports through its view.
// - urlMap is the run's and lives until the next run (the views read it):
//   after the run, each relocated address whose file the package names, and
//   each failed one (an empty path).
// - `running` is set by the front end just before it starts the run's
//   thread (so a close in between waits for the run) and cleared on that
//   thread once the run's outcome lets the program go on (PresentRunOutcome).
// - `stopRequested` only ever goes from 0 to 1; any thread may set it.
#pragma once

#include <atomic>

#include "package/item_record.h"
#include "package/writer.h"
#include "platform/fs.h"
#include "base/hash_map.h"

struct CoreState {
    char programFolder[MAX_PATH_BYTES] = {};  // folder of the program file
    char stateFolder[MAX_PATH_BYTES] = {};    // where "bak" and "app.log" live (ChooseStateFolder)
    char packagePath[MAX_PATH_BYTES] = {};    // full path of the package being worked on
    ItemList* items = nullptr;                // the package's items in order; null until the first load
    char* packageText = nullptr;              // the whole package in the core's charset, owned; null when none
    PackageFile packageFile = {};             // the file packageText was read from (NotePackageFile)
    HashMap* urlMap = nullptr;                // the run's address map
    // Whole ints read and written by several threads; atomics make that
    // well defined without any lock.
    std::atomic<int> stopRequested{0};  // 0 -> 1 only
    std::atomic<int> running{0};        // see the sharing rules above
};

// The single instance, for the whole process.
extern CoreState coreState;
