// Loading a package and checking a run's inputs, as both front ends do it:
// the same checks in the same order with the same texts.
#pragma once

#include <cstddef>

#include "package/reader.h"
#include "relocate/run_view.h"
#include "texts/texts.h"

// Where the user should look after a refused input (the wizard moves the
// keyboard focus there; the command line names the argument).
enum InputField {
    INPUT_OK = 0,
    INPUT_PACKAGE,       // the package choice
    INPUT_IMAGE_SOURCE,  // the two image-source options
    INPUT_DESTINATION,   // the destination folder
};

// The longest title the listing tool accepts, in bytes and in Chinese characters.
const int TITLE_LIMIT_BYTES = 255;
const int TITLE_LIMIT_CHINESE = 127;

// Checks the package path before loading: the warning text, or null.
const char* CheckPackagePath(const char* packagePath);

// Loads the package at `packagePath` (at most 259 bytes are kept) into
// coreState: packagePath is set, `items` is created on the first load and
// emptied (records and lists released) on every later one, then filled by
// the reader.  On PACKAGE_READ_OK every record's index is its row and
// packageText is the new text (an earlier one is released).  Returns the
// reader's result; the caller shows the messages.
// With `rowRead`, the package is scanned instead (ScanPackage): each row's
// record goes to `rowRead` with its lists, which are released after it, and
// no package text is kept (packageText null).
int LoadPackageIntoState(const char* packagePath, PackageRowFn rowRead = nullptr, void* context = nullptr);

// The warning for a package whose titles are too long (reader result 2).
void FormatTitleTooLongMessage(const char* packagePath, char* text, size_t size);
// The question for a package the reader cannot use (reader result 0).
void FormatUnusablePackageMessage(const char* packagePath, char* text, size_t size);

// Checks the options, the destination and the package before a run, in the
// wizard's order; a destination that holds a '"' or a control character (a
// byte below 0x20, or 0x7F) cannot be written into the package's quoted
// fields and is refused right after the empty one; then one holding
// "_.webp" (the next read would cut it), and one holding a character that
// would break the markup around an address of the package in coreState
// (ADDRESS_FORM_BREAKERS: a quote, a space, '>', ...), named with the
// item's title in `text`.  After the wizard's own
// checks come those that keep a run from failing late: a destination too
// long for the image names, then the package at `packagePath` whose backup,
// temporary or kept path would not fit, or that cannot be replaced now
// (held by another program, or read-only; CheckPackageWritable).  Returns
// the warning text (and in *field what it is about), or null when the run
// may start; a text naming the package is formatted into `text` (`size`
// bytes).  `desktop` is the user's desktop folder (may be null): the images
// may not be spread over it.
// `refusal` (may be null) gets what a formatted text was made of, for a front
// end that words the refusal its own way.
struct InputRefusal {
    char breakingCharacter = 0;           // the destination's character that breaks an address
    const char* breakingTitle = nullptr;  // the title of the item whose address it breaks
    int packageWritability = 0;           // CheckPackageWritable's refusal (PackageWritability)
};
const char* CheckRunInputs(const RunOptions& options, const char* packagePath, const char* desktop, InputField* field,
                           char* text, size_t size, InputRefusal* refusal = nullptr);
