#include "cli/package_loading.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "cli/console.h"
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
    {MESSAGE_PACKAGE_MISSING, "%s does not exist"},
    {MESSAGE_PACKAGE_IS_FOLDER, "%s is a folder, not a package file"},
    {MESSAGE_PACKAGE_IS_FIFO, "%s is a named pipe, not a package file"},
    {MESSAGE_PACKAGE_IS_DEVICE, "%s is a device, not a package file"},
    {MESSAGE_PACKAGE_IS_SOCKET, "%s is a socket, not a package file"},
    {MESSAGE_PACKAGE_IS_SPECIAL, "%s is not a regular file, not a package file"},
    {MESSAGE_NO_IMAGE_SOURCE, "--no-image-space with --no-outside-albums leaves no image to relocate; give at most one "
                              "of them"},
    {MESSAGE_DESTINATION_MISSING, "the destination %s does not exist or is not a folder"},
    {MESSAGE_DESTINATION_DESKTOP, "the destination %s is the desktop, which the images would cover; give a folder of "
                                  "their own"},
    {MESSAGE_DESTINATION_UNWRITABLE, "the destination %s holds a double quote or a control character, which cannot be "
                                     "written into the package"},
    {MESSAGE_DESTINATION_WEBP_SUFFIX, "the destination %s holds \"_.webp\", which the next read of the package would "
                                      "cut from its paths"},
    {MESSAGE_DESTINATION_TOO_LONG, "the destination %s is too long for the images' names; give a shorter one"},
};
// clang-format on

// The refusals the core formats, by what they were made of; `%s` is the
// package.
// clang-format off
const char* const PACKAGE_REFUSALS[] = {
    nullptr,
    "the paths the run forms from %s (its backup, temporary and kept copies) would be too long; move the package "
    "to a shorter folder or shorten its name",
    "%s is held by another program (Excel or WPS?), so it could not be written back after the run; close it and "
    "run again",
    "%s or its folder is not writable (read-only, or no permission), so it could not be written back after the run",
};
// clang-format on

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
        const std::string character = breaking == ' ' ? std::string("a space") : std::string("'") + breaking + "'";
        std::snprintf(text, sizeof text,
                      "the destination %s holds %s, which cannot stand where the item \"%s\" has its image addresses "
                      "(its description would break); give a folder without it",
                      path.c_str(), character.c_str(), detail.breakingTitle);
    } else if (format != nullptr) {
        std::snprintf(text, sizeof text, format, path.c_str());
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
        // The wizard's text offers its web site; the command line says what to do.
        PrintError(std::string("karvelo ") + command + ": " + packagePath +
                   CoreFromUtf8(" cannot be read as a package (its header or rows are broken): import it into a new "
                                "category of the listing tool (淘宝助理 5.x or later), export that category as CSV "
                                "over it, and run again\n"));
        return false;
    }
    return true;
}

bool RefuseStandardInput(const char* command, const std::string& argument) {
    if (argument != "-") return false;
    std::fprintf(stderr, "karvelo %s: - (standard input) cannot be the package: give the package's file, which %s\n",
                 command, std::strcmp(command, "inspect") == 0 ? "is read in place" : "is rewritten in place");
    return true;
}
