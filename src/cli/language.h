// The language of everything the command line says: Chinese where the
// user's locale asks for it, English otherwise.  Its own texts are English
// in the sources and Chinese in the catalogs built from po/ (gettext); the
// core's texts are Chinese, and English through cli/core_english.h.
#pragma once

#include <cstdio>
#include <string>

#include "cli/console.h"

// The catalogs' domain, also the .mo files' name.
#define KARVELO_TEXT_DOMAIN "karvelo"

// Marks a text for the catalog where it stands (a table's entry) without
// translating it there; Translated() does, where it is shown.
#define N_(text) text

// Chooses the language from LC_ALL, LC_MESSAGES, LANG and LANGUAGE, as other
// GNU programs do, and finds the catalogs beside the program: locale/ in a
// build tree, ../share/locale where it is installed.  A Chinese locale that
// this machine has not generated still gets Chinese: the catalogs need no
// more of the locale than its name.  First thing in main, for every command.
void ChooseMessageLanguage();

// Whether the chosen language is Chinese: everything the command line says
// is then Chinese, else English (the core's Chinese texts through their
// English forms, texts/texts.h).  Valid after ChooseMessageLanguage.
bool ChineseChosen();

// `english` in the chosen language: the catalog's UTF-8 text, or `english`
// itself under English or when the catalog has none.
const char* Translated(const char* english);
// The same in the core's form, for texts printed with PrintOut/PrintError.
std::string TranslatedCore(const char* english);

// `english` (a printf format of the command line) in the chosen language
// with `values` put in, in the core's form: the values are numbers or texts
// in the core's form, so the format is made the core's first.
template <typename... Values>
std::string Said(const char* english, Values... values) {
    const std::string format = TranslatedCore(english);
    std::string text(static_cast<size_t>(std::snprintf(nullptr, 0, format.c_str(), values...)) + 1, '\0');
    text.resize(static_cast<size_t>(std::snprintf(&text[0], text.size(), format.c_str(), values...)));
    return text;
}
