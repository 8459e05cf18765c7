#include "relocate/run_inputs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "package/extraction.h"
#include "package/item_record.h"
#include "package/reader.h"
#include "package/writer.h"
#include "platform/fs.h"
#include "relocate/local_files.h"
#include "relocate/core_state.h"
#include "util/files.h"
#include "base/strings.h"
#include "texts/texts.h"

namespace {

// What stands at the package path when it is not a regular file, or null.
// Only its status is read: opening a FIFO would wait for a writer.
const char* NotAFileMessage(const char* packagePath) {
    long mode = FileModeOfPath(packagePath);
    if (mode < 0) return nullptr;
    switch (mode & MODE_TYPE_MASK) {
        case MODE_REGULAR: return nullptr;
        case MODE_DIRECTORY: return MESSAGE_PACKAGE_IS_FOLDER;
        case MODE_FIFO: return MESSAGE_PACKAGE_IS_FIFO;
        case MODE_CHARACTER_DEVICE:
        case MODE_BLOCK_DEVICE: return MESSAGE_PACKAGE_IS_DEVICE;
        case MODE_SOCKET: return MESSAGE_PACKAGE_IS_SOCKET;
        default: return MESSAGE_PACKAGE_IS_SPECIAL;
    }
}

// The first character of `destination` that would break the markup around
// one of the package's addresses, with the item it stands in; 0 when none.
char BreakingCharacter(const char* destination, const ItemRecord** item) {
    for (int32_t row = 0; coreState.items != nullptr && row < coreState.items->count; ++row) {
        const ItemRecord* record = static_cast<const ItemRecord*>(coreState.items->items[row]);
        unsigned forms = record->urls != nullptr ? record->urls->addressForms : 0;
        for (int form = 0; forms != 0; ++form, forms >>= 1) {
            if ((forms & 1) == 0) continue;
            // Byte-wise: none of these is ever part of a multi-byte character.
            size_t at = std::strcspn(destination, ADDRESS_FORM_BREAKERS[form]);
            if (destination[at] != '\0') {
                *item = record;
                return destination[at];
            }
        }
    }
    return 0;
}

}  // namespace

const char* CheckPackagePath(const char* packagePath) {
    if (packagePath == nullptr || *packagePath == '\0') return MESSAGE_NO_PACKAGE;
    const char* notAFile = NotAFileMessage(packagePath);
    if (notAFile != nullptr) return notAFile;
    if (!FileExists(packagePath)) return MESSAGE_PACKAGE_MISSING;
    return nullptr;
}

void FormatTitleTooLongMessage(const char* packagePath, char* text, size_t size) {
    const char* name = FileNameOfPath(packagePath);
    std::snprintf(text, size, FORMAT_TITLE_TOO_LONG, name, TITLE_LIMIT_BYTES, TITLE_LIMIT_CHINESE, STEP_ONE, name, name,
                  name);
}

void FormatUnusablePackageMessage(const char* packagePath, char* text, size_t size) {
    const char* name = FileNameOfPath(packagePath);
    std::snprintf(text, size, FORMAT_UNUSABLE_PACKAGE, name, STEP_ONE, name, name, name);
}

const char* CheckRunInputs(const RunOptions& options, const char* packagePath, const char* desktop, InputField* field,
                           char* text, size_t size, InputRefusal* refusal) {
    InputRefusal ignored;
    if (refusal == nullptr) refusal = &ignored;
    *field = INPUT_OK;
    if (!options.relocateImageSpace && !options.relocateOutsideAlbums) {
        *field = INPUT_IMAGE_SOURCE;
        return MESSAGE_NO_IMAGE_SOURCE;
    }
    *field = INPUT_DESTINATION;
    if (options.destination[0] == '\0') return MESSAGE_NO_DESTINATION;
    // Each image's path goes into a quoted field of the package: a '"' would
    // end the field early, and a control character (a TAB or a line break
    // among them) would break the package's rows and columns.
    if (std::strchr(options.destination, '"') != nullptr || HasControlByte(options.destination)) {
        return MESSAGE_DESTINATION_UNWRITABLE;
    }
    // Every package read drops "_.webp" from its text: the next run would
    // cut the paths written here.
    if (std::strstr(options.destination, "_.webp") != nullptr) return MESSAGE_DESTINATION_WEBP_SUFFIX;
    // A path goes where the address stood: in single quotes, in an unquoted
    // attribute or url(), between tags.  Only the forms this package uses
    // count, so a folder with a space still takes double-quoted addresses.
    const ItemRecord* item = nullptr;
    char breaking = BreakingCharacter(options.destination, &item);
    if (breaking != 0) {
        char character[32];
        if (breaking == ' ') {
            std::snprintf(character, sizeof character, "%s", TEXT_CHARACTER_SPACE);
        } else {
            std::snprintf(character, sizeof character, FORMAT_CHARACTER, breaking);
        }
        std::snprintf(text, size, FORMAT_DESTINATION_BREAKS_ADDRESS, character, item->title);
        refusal->breakingCharacter = breaking;
        refusal->breakingTitle = item->title;
        return text;
    }
    if (!IsDirectory(options.destination)) return MESSAGE_DESTINATION_MISSING;
    if (desktop != nullptr && *desktop != '\0' && std::strcmp(options.destination, desktop) == 0) {
        return MESSAGE_DESTINATION_DESKTOP;
    }
    if (!DestinationTakesImageNames(options.destination)) return MESSAGE_DESTINATION_TOO_LONG;

    *field = INPUT_PACKAGE;
    const char* format = nullptr;
    refusal->packageWritability = CheckPackageWritable(packagePath, coreState.stateFolder);
    switch (refusal->packageWritability) {
        case PACKAGE_PATH_TOO_LONG: format = FORMAT_PACKAGE_PATH_TOO_LONG; break;
        case PACKAGE_IN_USE: format = FORMAT_PACKAGE_IN_USE; break;
        case PACKAGE_READ_ONLY: format = FORMAT_PACKAGE_READ_ONLY; break;
        default: break;
    }
    if (format != nullptr) {
        std::snprintf(text, size, format, FileNameOfPath(packagePath));
        return text;
    }
    *field = INPUT_OK;
    return nullptr;
}

int LoadPackageIntoState(const char* packagePath, PackageRowFn rowRead, void* context) {
    std::snprintf(coreState.packagePath, sizeof coreState.packagePath, "%s", packagePath);
    if (coreState.items == nullptr) {
        coreState.items = NewItemList();
    } else {
        ClearItemRecords(coreState.items);
    }
    // Noted before the read: a package replaced while it is read then
    // differs from the note, and is never written over.
    NotePackageFile(coreState.packagePath, &coreState.packageFile);
    char* text = nullptr;
    int result = rowRead != nullptr ? ScanPackage(coreState.packagePath, coreState.items, rowRead, context)
                                    : ReadPackage(coreState.packagePath, coreState.items, &text);
    if (result != PACKAGE_READ_OK) return result;
    for (int32_t i = 0; i < coreState.items->count; ++i) {
        static_cast<ItemRecord*>(coreState.items->items[i])->index = i;
    }
    std::free(coreState.packageText);
    coreState.packageText = text;
    return result;
}
