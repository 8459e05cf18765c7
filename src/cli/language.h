// The language of the command line's help: Chinese where the user's locale
// asks for it, English otherwise, through gettext and the catalogs built
// from po/.  Only the help is translated; refusals, progress and results
// keep one form, which scripts may read.
#pragma once

// The catalogs' domain, also the .mo files' name.
#define KARVELO_TEXT_DOMAIN "karvelo"

// Marks a text for the catalog where it stands (a table's entry) without
// translating it there; Translated() does, where it is shown.
#define N_(text) text

// Chooses the language from LC_ALL, LC_MESSAGES, LANG and LANGUAGE, as other
// GNU programs do, and finds the catalogs beside the program: locale/ in a
// build tree, ../share/locale where it is installed.  A Chinese locale that
// this machine has not generated still gets Chinese: the catalogs need no
// more of the locale than its name.
void ChooseMessageLanguage();

// Whether the chosen language is Chinese: everything the command line says
// is then Chinese, else English (the core's Chinese texts through their
// English forms, texts/texts.h).  Valid after ChooseMessageLanguage.
bool ChineseChosen();

// `english` in the chosen language: the catalog's UTF-8 text, or `english`
// itself when it has none.
const char* Translated(const char* english);
