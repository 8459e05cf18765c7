#include "cli/package_loading.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "cli/console.h"
#include "cli/language.h"
#include "package/encoding.h"
#include "util/files.h"
#include "relocate/core_state.h"
#include "util/front_end.h"
#include "texts/texts.h"

namespace {

// The command line's words for the refusals the wizard words for its own
// fields ("请重新选择", its check boxes): what is refused, named by its
// full path or its options, and why.  `%s` is the package or the destination.
struct Refusal {
    const char* core;
    const char* format;
};
// clang-format off
const Refusal REFUSALS[] = {
    {MESSAGE_PACKAGE_MISSING, N_("%s does not exist")},
    {MESSAGE_PACKAGE_IS_FOLDER, N_("%s is a folder, not a package file")},
    {MESSAGE_PACKAGE_IS_FIFO, N_("%s is a named pipe, not a package file")},
    {MESSAGE_PACKAGE_IS_DEVICE, N_("%s is a device, not a package file")},
    {MESSAGE_PACKAGE_IS_SOCKET, N_("%s is a socket, not a package file")},
    {MESSAGE_PACKAGE_IS_SPECIAL, N_("%s is not a regular file, not a package file")},
    {MESSAGE_NO_IMAGE_SOURCE, N_("--no-image-space with --no-outside-albums leaves no image to relocate; give at most one "
                              "of them")},
    {MESSAGE_DESTINATION_MISSING, N_("the destination %s does not exist or is not a folder")},
    {MESSAGE_DESTINATION_DESKTOP, N_("the destination %s is the desktop, which the images would cover; give a folder of "
                                  "their own")},
    {MESSAGE_DESTINATION_UNWRITABLE, N_("the destination %s holds a double quote or a control character, which cannot be "
                                     "written into the package")},
    {MESSAGE_DESTINATION_WEBP_SUFFIX, N_("the destination %s holds \"_.webp\", which the next read of the package would "
                                      "cut from its paths")},
    {MESSAGE_DESTINATION_TOO_LONG, N_("the destination %s is too long for the images' names; give a shorter one")},
};
// clang-format on

// The refusals the core formats, by what they were made of; `%s` is the
// package.
// clang-format off
const char* const PACKAGE_REFUSALS[] = {
    nullptr,
    N_("the paths the run forms from %s (its backup, temporary and kept copies) would be too long; move the package "
       "to a shorter folder or shorten its name"),
    N_("%s is held by another program (Excel or WPS?), so it could not be written back after the run; close it and "
       "run again"),
    N_("%s or its folder is not writable (read-only, or no permission), so it could not be written back after the run"),
};
// clang-format on

// What the package's first bytes say it is, named for a refusal; null for
// the listing tool's own form (its rows are broken, not its encoding) and
// for bytes that say nothing.
const char* EncodingName(const std::string& packagePath) {
    unsigned char bytes[4096];
    FILE* file = OpenFileByPath(packagePath.c_str(), "rb");
    if (file == nullptr) return nullptr;
    const size_t size = std::fread(bytes, 1, sizeof bytes, file);
    std::fclose(file);
    switch (GuessPackageEncoding(bytes, size)) {
        case PACKAGE_ENCODING_UTF8: return N_("UTF-8 text (saved by Excel or WPS?)");
        case PACKAGE_ENCODING_UTF8_MARKED: return N_("UTF-8 text with a byte-order mark (saved by Excel or WPS?)");
        case PACKAGE_ENCODING_GB18030: return N_("GB18030/GBK text (saved by Excel or WPS?)");
        case PACKAGE_ENCODING_UTF16BE: return N_("UTF-16BE text");
        case PACKAGE_ENCODING_PLAIN: return N_("plain text");
        default: return nullptr;
    }
}

}  // namespace

void Refuse(const char* command, const char* warning, const std::string& path, const InputRefusal& detail) {
    const char* format = nullptr;
    for (const Refusal& refusal : REFUSALS) {
        if (refusal.core == warning) format = refusal.format;
    }
    const int writability = detail.packageWritability;
    if (writability > 0 && writability < static_cast<int>(sizeof PACKAGE_REFUSALS / sizeof PACKAGE_REFUSALS[0])) {
        format = PACKAGE_REFUSALS[writability];
    }
    char text[MESSAGE_BYTES];
    if (detail.breakingCharacter != 0) {
        const char breaking = detail.breakingCharacter;
        const std::string character =
            breaking == ' ' ? TranslatedCore(N_("a space")) : std::string("'") + breaking + "'";
        std::snprintf(text, sizeof text,
                      TranslatedCore(N_("the destination %s holds %s, which cannot stand where the item \"%s\" has "
                                        "its image addresses (its description would break); give a folder without it"))
                          .c_str(),
                      path.c_str(), character.c_str(), detail.breakingTitle);
    } else if (format != nullptr) {
        std::snprintf(text, sizeof text, TranslatedCore(format).c_str(), path.c_str());
    } else {
        ShowMessage(warning, CAPTION_NOTICE, MESSAGE_OK | MESSAGE_ICON_WARNING);
        return;
    }
    PrintError(std::string("karvelo ") + command + ": " + text + "\n");
}

bool LoadPackage(const char* command, const std::string& packagePath, PackageRowFn rowRead, void* context) {
    const char* warning = CheckPackagePath(packagePath.c_str());
    if (warning != nullptr) {
        Refuse(command, warning, packagePath);
        return false;
    }
    int result = LoadPackageIntoState(packagePath.c_str(), rowRead, context);
    if (PackageReadFailureMessage(result) != nullptr) {
        ShowMessage(PackageReadFailureMessage(result), CAPTION_ERROR, MESSAGE_OK | MESSAGE_ICON_ERROR);
        ExitEarly(true);
    }
    char message[MESSAGE_BYTES];
    if (result == PACKAGE_READ_TITLE_TOO_LONG) {
        FormatTitleTooLongMessage(coreState.packagePath, message, sizeof message);
        ShowMessage(message, CAPTION_NOTICE, MESSAGE_OK | MESSAGE_ICON_WARNING);
        return false;
    }
    if (result != PACKAGE_READ_OK) {
        // The wizard's text offers its web site; the command line says what
        // to do, and what the file is when its bytes tell.
        const char* encoding = EncodingName(packagePath);
        if (encoding != nullptr) {
            std::snprintf(message, sizeof message,
                          TranslatedCore(N_("%s is %s, not the listing tool's export (UTF-16LE): open the listing "
                                            "tool (淘宝助理), import it into a new category, export that category as "
                                            "CSV over it, and run again"))
                              .c_str(),
                          packagePath.c_str(), TranslatedCore(encoding).c_str());
        } else {
            std::snprintf(message, sizeof message,
                          TranslatedCore(N_("%s cannot be read as a package (its header or rows are broken): import "
                                            "it into a new category of the listing tool (淘宝助理 5.x or later), "
                                            "export that category as CSV over it, and run again"))
                              .c_str(),
                          packagePath.c_str());
        }
        PrintError(std::string("karvelo ") + command + ": " + message + "\n");
        return false;
    }
    return true;
}

bool RefuseStandardInput(const char* command, const std::string& argument) {
    if (argument != "-") return false;
    const bool inspect = std::strcmp(command, "inspect") == 0;
    std::fprintf(stderr,
                 Translated(inspect ? N_("karvelo %s: - (standard input) cannot be the package: give the package's "
                                         "file, which is read in place\n")
                                    : N_("karvelo %s: - (standard input) cannot be the package: give the package's "
                                         "file, which is rewritten in place\n")),
                 command);
    return true;
}
