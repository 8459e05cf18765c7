#include "cli/text_wrap.h"

#include <vector>

namespace {

struct Range {
    char32_t first, last;
};

// East Asian Wide and Fullwidth (Unicode's EastAsianWidth.txt, W and F),
// merged into the blocks a terminal draws two columns wide.
const Range WIDE[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},   {0x2E80, 0x303E},
    {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xA960, 0xA97F},
    {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},   {0x16FE0, 0x18CFF}, {0x1B000, 0x1B2FF}, {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF},
    {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};
// Combining marks and zero-width characters: they take no column.
const Range ZERO_WIDTH[] = {
    {0x0300, 0x036F}, {0x200B, 0x200F}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
};

bool In(const Range* ranges, size_t count, char32_t code) {
    for (size_t i = 0; i < count; ++i) {
        if (code >= ranges[i].first && code <= ranges[i].last) return true;
    }
    return false;
}

// One character of UTF-8 at `at`: its code and its length in bytes.  A byte
// that does not start a whole sequence is a character of its own.
char32_t Decode(const std::string& text, size_t at, size_t* length) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t count = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    char32_t code = count == 1 ? lead : count == 2 ? lead & 0x1F : count == 3 ? lead & 0x0F : lead & 0x07;
    for (size_t i = 1; i < count; ++i) {
        const unsigned char next = at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0;
        if ((next & 0xC0) != 0x80) count = 0;
        if (count == 0) break;
        code = code << 6 | (next & 0x3F);
    }
    if (count == 0) {
        *length = 1;
        return lead;
    }
    *length = count;
    return code;
}

size_t Columns(char32_t code) {
    if (In(ZERO_WIDTH, sizeof ZERO_WIDTH / sizeof ZERO_WIDTH[0], code)) return 0;
    return In(WIDE, sizeof WIDE / sizeof WIDE[0], code) ? 2 : 1;
}

// Marks a line may not start with, and marks it may not end with.
bool ClosingMark(char32_t code) {
    static const char32_t marks[] = {U'，', U'。', U'、', U'；', U'：', U'！', U'？', U'）', U'」', U'』', U'】', U'》',
                                     U'”',  U'’',  U',',  U'.',  U';',  U':',  U'!',  U'?',  U')',  U']',  U'%'};
    for (char32_t mark : marks) {
        if (code == mark) return true;
    }
    return false;
}
bool OpeningMark(char32_t code) {
    static const char32_t marks[] = {U'（', U'「', U'『', U'【', U'《', U'“', U'‘', U'(', U'['};
    for (char32_t mark : marks) {
        if (code == mark) return true;
    }
    return false;
}

// A piece a line may be broken before: the spaces in front of it and what
// follows up to the next place a break may go.
struct Piece {
    std::string spaces, word;
    size_t columns;  // of the word
};

std::vector<Piece> Pieces(const std::string& line) {
    std::vector<Piece> pieces;
    Piece piece = {"", "", 0};
    bool previousWide = false;
    char32_t previous = 0;
    // Brackets right after a narrow character hold part of a name, such as
    // NAME(已搬家).csv, which is not broken between its Chinese characters.
    int inName = 0;
    for (size_t at = 0, length = 0; at < line.size(); at += length) {
        const char32_t code = Decode(line, at, &length);
        if (code == ' ') {
            if (!piece.word.empty()) pieces.push_back(piece), piece = Piece{"", "", 0};
            piece.spaces += ' ';
            previous = 0;
            inName = 0;
            continue;
        }
        const size_t columns = Columns(code);
        const bool wide = columns == 2;
        if ((code == '(' || code == '[') && previous != 0 && !previousWide) ++inName;
        if ((code == ')' || code == ']') && inName > 0) --inName;
        if (!piece.word.empty() && inName == 0 && (wide || previousWide) && !ClosingMark(code) &&
            !OpeningMark(previous)) {
            pieces.push_back(piece);
            piece = Piece{"", "", 0};
        }
        piece.word.append(line, at, length);
        piece.columns += columns;
        previousWide = wide;
        previous = code;
    }
    if (!piece.word.empty() || !piece.spaces.empty()) pieces.push_back(piece);
    return pieces;
}

void WrapLine(const std::string& line, size_t width, size_t hang, std::string* out) {
    if (DisplayColumns(line) <= width) {
        *out += line;
        return;
    }
    std::vector<Piece> pieces = Pieces(line);
    const size_t lead = pieces.empty() ? 0 : pieces[0].spaces.size();
    // An indentation that leaves less than a third of the line is given up.
    size_t indent = lead + hang;
    if (indent * 3 > width * 2) indent = lead * 3 > width * 2 ? 0 : lead;
    size_t column = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const Piece& piece = pieces[i];
        const size_t spaces = piece.spaces.size();
        if (i == 0 || column + spaces + piece.columns <= width) {
            *out += piece.spaces + piece.word;
            column += spaces + piece.columns;
        } else if (!piece.word.empty()) {
            *out += "\n" + std::string(indent, ' ') + piece.word;
            column = indent + piece.columns;
        }
    }
}

}  // namespace

size_t DisplayColumns(const std::string& text) {
    size_t columns = 0;
    for (size_t at = 0, length = 0; at < text.size(); at += length) columns += Columns(Decode(text, at, &length));
    return columns;
}

std::string WrapText(const std::string& text, size_t width, size_t hang) {
    if (width == 0) return text;
    std::string wrapped;
    wrapped.reserve(text.size() + text.size() / 16);
    for (size_t at = 0; at <= text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        WrapLine(text.substr(at, end - at), width, hang, &wrapped);
        if (end == text.size()) break;
        wrapped += '\n';
        at = end + 1;
    }
    return wrapped;
}

std::string JoinLines(const std::string& text) {
    std::string joined;
    joined.reserve(text.size());
    size_t previousColumns = 1;
    for (size_t at = 0, length = 0; at < text.size(); at += length) {
        const char32_t code = Decode(text, at, &length);
        if (code == '\n' && at + 1 < text.size()) {
            size_t nextLength = 0;
            const bool wide = previousColumns == 2 || Columns(Decode(text, at + 1, &nextLength)) == 2;
            if (!wide) joined += ' ';
            continue;
        }
        joined.append(text, at, length);
        previousColumns = Columns(code);
    }
    return joined;
}
