// The core's texts (Chinese, texts/catalog.def) as the command line shows
// them: as they are under Chinese, in their English forms otherwise.  A
// plain text is known by identity; a formatted or composed one (a final
// message is FORMAT_DONE + TEXT_SOME_FAILED + FORMAT_IMAGES_VANISHED) is
// matched against the catalog's formats piece by piece: literal pieces must
// match, each conversion captures what stands there, and the captures go
// into the English forms.  A text no catalog form matches is shown as it is.
#pragma once

#include <string>
#include <vector>

// One catalog text found in a message.
struct CorePart {
    const char* text;                   // the catalog's text (its name's value)
    std::string matched;                // the bytes of the message it matched
    std::vector<std::string> captures;  // what each conversion stood for, in order
};

// Splits `message` (the core's form) into catalog texts that have an
// English form, in order; false when it is not wholly made of them.
bool MatchCoreText(const std::string& message, std::vector<CorePart>* parts);

// The part in English: its English form with the captures put in (a
// capture that is itself such a catalog text in English too).
std::string EnglishPart(const CorePart& part);

// `part` in the chosen language (cli/language.h).
std::string ShownPart(const CorePart& part);

// `text` (the core's form) in the chosen language, in the core's form.
std::string ShownCoreText(const std::string& text);
