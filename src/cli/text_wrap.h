// Text laid out for a terminal: UTF-8 wrapped at word boundaries to a width
// counted in display columns, where a Chinese character takes two.
#pragma once

#include <cstddef>
#include <string>

// The columns UTF-8 `text` takes on a terminal: two for each East Asian wide
// or full-width character, none for a combining mark, one for anything else
// (a byte that is not UTF-8 included).
size_t DisplayColumns(const std::string& text);

// `text` with each of its lines (ended by '\n') broken into lines of at most
// `width` columns: at spaces, and between two characters where one is wide
// (Chinese has no spaces), but never before a closing or after an opening
// punctuation mark, and never inside a word: a word longer than the line (a
// path, an address) stands on a line of its own, whole.  The spaces where a
// line is broken are dropped; a continuation line is indented by its line's
// own leading spaces plus `hang`.  A line that fits is kept as it is; width
// 0 wraps nothing.
std::string WrapText(const std::string& text, size_t width, size_t hang);

// A text laid out in lines (a catalog's paragraph) as one line to wrap
// afresh: each line break inside it becomes a space, or nothing where a wide
// character stands on either side of it; a final line break stays.
std::string JoinLines(const std::string& text);
