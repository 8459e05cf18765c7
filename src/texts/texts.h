// The names of the texts in texts/catalog.def, the one place the program's
// words are kept.  Their bytes are made from the catalog at build time.
#pragma once

#define TEXT_ENTRY(name, ...) extern const char name[];
#define WIDE_TEXT_ENTRY(name, ...) extern const wchar_t name[];
#define ENGLISH(name, ...)
#include "texts/catalog.def"
#undef TEXT_ENTRY
#undef WIDE_TEXT_ENTRY
#undef ENGLISH

// The English form of a text of the catalog (one of the names above, by
// identity, not by its bytes), in the core's form; null when it has none.
// A format's English form takes the same arguments in the same order.
const char* EnglishText(const char* text);
// Every text that has an English form, in the catalog's order, then null.
extern const char* const TEXTS_WITH_ENGLISH[];
