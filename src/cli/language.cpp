#include "cli/language.h"

#include <libintl.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/console.h"
#include "platform/fs.h"
#include "util/files.h"

namespace {

// The value LC_MESSAGES takes from the environment: the first set of
// LC_ALL, LC_MESSAGES and LANG.
const char* MessagesLocaleName() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && value[0] != '\0') return value;
    }
    return nullptr;
}

bool chinese = false;

// Whether a locale or language name is Chinese ("zh", "zh_CN.UTF-8", "zh_TW").
bool IsChineseName(const char* name) { return name != nullptr && std::strncmp(name, "zh", 2) == 0; }

}  // namespace

bool ChineseChosen() { return chinese; }

void ChooseMessageLanguage() {
    // As gettext reads them: LANGUAGE's first entry wins unless the locale
    // is C or POSIX, then the first set of LC_ALL, LC_MESSAGES and LANG.
    const char* locale = MessagesLocaleName();
    const bool plain = locale == nullptr || std::strcmp(locale, "C") == 0 || std::strcmp(locale, "POSIX") == 0;
    const char* languages = std::getenv("LANGUAGE");
    chinese = !plain && languages != nullptr && languages[0] != '\0' ? IsChineseName(languages) : IsChineseName(locale);
    if (std::setlocale(LC_MESSAGES, "") == nullptr) {
        // The locale is named but not generated here (only C.UTF-8 is, on
        // many a server).  gettext needs a locale other than C to read
        // LANGUAGE, and the name alone to find a catalog: C.UTF-8 with the
        // name as LANGUAGE, unless the user set LANGUAGE already.
        const char* name = MessagesLocaleName();
        const char* languages = std::getenv("LANGUAGE");
        if (name != nullptr && std::strcmp(name, "C") != 0 && std::strcmp(name, "POSIX") != 0 &&
            std::setlocale(LC_MESSAGES, "C.UTF-8") != nullptr && (languages == nullptr || languages[0] == '\0')) {
            setenv("LANGUAGE", name, /*overwrite=*/1);
        }
    }
    char program[MAX_PATH_BYTES];
    if (GetProgramFolder(program, sizeof program) == 1) {
        const std::string built = std::string(program) + "/locale";
        const std::string folder = IsDirectory(built.c_str()) ? built : std::string(program) + "/../share/locale";
        bindtextdomain(KARVELO_TEXT_DOMAIN, Utf8FromCore(folder).c_str());
    }
    // The help is written as UTF-8 whatever the locale's character set, as
    // every other text of the command line is.
    bind_textdomain_codeset(KARVELO_TEXT_DOMAIN, "UTF-8");
}

const char* Translated(const char* english) {
    // "" would give the catalog's header.
    return english[0] == '\0' ? english : dgettext(KARVELO_TEXT_DOMAIN, english);
}
