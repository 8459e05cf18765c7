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

// The catalog's language: the only translation there is.
const char CATALOG_LANGUAGE[] = "zh_CN";

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
bool IsChineseName(const char* name) {
    return name != nullptr && std::strncmp(name, "zh", 2) == 0 &&
           (name[2] == '\0' || name[2] == '_' || name[2] == '.' || name[2] == '@' || name[2] == ':');
}

bool ChineseChosenFor(const char* languages, const char* locale) {
    // As gettext reads them: LANGUAGE's first entry wins unless the locale
    // (the first set of LC_ALL, LC_MESSAGES, LANG) is C or POSIX, or unset,
    // which is C; else the locale itself.
    const bool plain = locale == nullptr || std::strcmp(locale, "C") == 0 || std::strcmp(locale, "POSIX") == 0;
    if (plain) return false;
    return languages != nullptr && languages[0] != '\0' ? IsChineseName(languages) : IsChineseName(locale);
}

}  // namespace

bool ChineseChosen() { return chinese; }

void ChooseMessageLanguage() {
    chinese = ChineseChosenFor(std::getenv("LANGUAGE"), MessagesLocaleName());
    if (!chinese) return;  // English is the texts themselves: gettext is never asked
    // gettext would weigh LANGUAGE's later entries, a catalog it lacks and
    // a locale this machine has not generated differently from the rule
    // above; the choice is made, so the catalog is named outright.  Any
    // locale but C lets gettext read LANGUAGE: the user's own where it is
    // generated, else C.UTF-8, which every glibc has.
    if (std::setlocale(LC_MESSAGES, "") == nullptr) std::setlocale(LC_MESSAGES, "C.UTF-8");
    setenv("LANGUAGE", CATALOG_LANGUAGE, /*overwrite=*/1);
    char program[MAX_PATH_BYTES];
    if (GetProgramFolder(program, sizeof program) == 1) {
        const std::string built = std::string(program) + "/locale";
        const std::string folder = IsDirectory(built.c_str()) ? built : std::string(program) + "/../share/locale";
        bindtextdomain(KARVELO_TEXT_DOMAIN, Utf8FromCore(folder).c_str());
    }
    // Written as UTF-8 whatever the locale's character set, as every other
    // text of the command line is.
    bind_textdomain_codeset(KARVELO_TEXT_DOMAIN, "UTF-8");
}

const char* Translated(const char* english) {
    // "" would give the catalog's header.
    if (!chinese || english[0] == '\0') return english;
    return dgettext(KARVELO_TEXT_DOMAIN, english);
}

std::string TranslatedCore(const char* english) { return CoreFromUtf8(Translated(english)); }
