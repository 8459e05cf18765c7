// The names of the texts in texts/catalog.def, the one place the program's
// words are kept.  Their bytes are made from the catalog at build time.
#pragma once

#define TEXT_ENTRY(name, ...) extern const char name[];
#define WIDE_TEXT_ENTRY(name, ...) extern const wchar_t name[];
#include "texts/catalog.def"
#undef TEXT_ENTRY
#undef WIDE_TEXT_ENTRY
