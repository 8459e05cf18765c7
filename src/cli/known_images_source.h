// The command line's KnownImages (relocate/known_images.h): what the
// packages of one `karvelo relocate` share, so an address several of them
// hold is downloaded once and every package names the same file.
//
// It answers from two places: the addresses the command's earlier packages
// settled (their files, or their failures), and DEST's image library
// (library/image_library.h), which remembers what earlier commands stored
// there.  With --no-library the library is never opened, and nothing is
// read from or written to DEST/.karvelo.
#pragma once

#include <map>
#include <string>

#include "cli/terminal_view.h"
#include "relocate/known_images.h"

struct HashMap;
struct ImageLibrary;

struct KnownImagesSource {
    KnownImages known;  // what the runs are handed; its context is this record
    std::string destination;
    bool libraryWanted;  // false: --no-library
    bool libraryTried;   // OpenKnownImagesLibrary ran
    ImageLibrary* library;
    bool libraryWarned;  // a failure of the library was said: it is said once
    // What an earlier package of this command did with an address.
    struct Settled {
        std::string file;  // its file; "" when it failed
        std::string message;
        FailureReason reason;
    };
    std::map<std::string, Settled> settled;
};

// Fills `source` for runs into `destination` (the core's form).
void InitKnownImagesSource(KnownImagesSource* source, const std::string& destination, bool libraryWanted);
// Before a run: opens DEST's library when it is there, so what it says (a
// damaged library set aside, one that cannot be opened) comes before the
// run.  One that is not there yet is made by the first address a run asks
// a server for, whose claim keeps another process from fetching it too.
void OpenKnownImagesLibrary(KnownImagesSource* source);
// After a package's run: the addresses its map settled, each relocated one
// with its file, each failed one with the reason its view was told.
void NoteSettledImages(KnownImagesSource* source, const HashMap* urlMap,
                       const std::map<std::string, TerminalView::ImageFailure>& reasons);
// Closes the library; its pending rows were committed at the runs' ends.
void CloseKnownImagesSource(KnownImagesSource* source);
