#include "cli/core_english.h"

#include <cstring>
#include <functional>

#include "cli/language.h"
#include "texts/texts.h"

namespace {

// A piece of a printf format: literal text, or one conversion.
struct Piece {
    bool conversion;
    char kind;            // the conversion's letter: s, d, u, x, c...
    std::string literal;  // for literal pieces
};

std::vector<Piece> PiecesOf(const char* format) {
    std::vector<Piece> pieces;
    std::string literal;
    for (const char* at = format; *at != '\0'; ++at) {
        if (*at != '%') {
            literal += *at;
            continue;
        }
        if (at[1] == '%') {
            literal += '%';
            ++at;
            continue;
        }
        // Flags, width, precision and length say nothing about what can stand there.
        ++at;
        while (*at != '\0' && std::strchr("-+ #0123456789.*hlLqjzt", *at) != nullptr) ++at;
        if (*at == '\0') break;
        if (!literal.empty()) pieces.push_back({false, 0, literal});
        literal.clear();
        pieces.push_back({true, *at, std::string()});
    }
    if (!literal.empty()) pieces.push_back({false, 0, literal});
    return pieces;
}

bool IsDigitFor(char kind, char c) {
    if (kind == 'x' || kind == 'X') return std::strchr("0123456789abcdefABCDEF", c) != nullptr && c != '\0';
    return c >= '0' && c <= '9';
}

// Continues a match at a position: true ends the whole search.
using Continue = std::function<bool(size_t end)>;

// Matches pieces[i...] at message[at...], then calls `next` with where
// they ended; backtracks over the extent of each %s.
bool MatchPieces(const std::vector<Piece>& pieces, size_t i, const std::string& message, size_t at,
                 std::vector<std::string>* captures, const Continue& next) {
    if (i == pieces.size()) return next(at);
    const Piece& piece = pieces[i];
    if (!piece.conversion) {
        if (message.compare(at, piece.literal.size(), piece.literal) != 0) return false;
        return MatchPieces(pieces, i + 1, message, at + piece.literal.size(), captures, next);
    }
    auto tryEnd = [&](size_t end) {
        captures->push_back(message.substr(at, end - at));
        if (MatchPieces(pieces, i + 1, message, end, captures, next)) return true;
        captures->pop_back();
        return false;
    };
    if (piece.kind == 's') {
        if (i + 1 < pieces.size()) {
            // Followed by a literal: shortest first, at each place it stands.
            const std::string& following = pieces[i + 1].literal;
            for (size_t end = message.find(following, at); end != std::string::npos;
                 end = message.find(following, end + 1)) {
                if (tryEnd(end)) return true;
            }
            return false;
        }
        // Last in its text: longest first, so a text that ends in a
        // message (a status line, a reason) takes it whole.
        for (size_t end = message.size() + 1; end-- > at;) {
            if (tryEnd(end)) return true;
        }
        return false;
    }
    if (piece.kind == 'c') return at < message.size() && tryEnd(at + 1);
    size_t end = at;
    if (end < message.size() && message[end] == '-' && piece.kind != 'u') ++end;
    const size_t digits = end;
    while (end < message.size() && IsDigitFor(piece.kind, message[end])) ++end;
    return end > digits && tryEnd(end);
}

// Whether a text has a character to translate: a format of conversions and
// punctuation alone ("%s(%s)", which builds the reasons' sentences) would
// match any message with brackets in it and translate nothing.
bool HasChinese(const char* text) {
    for (const char* at = text; *at != '\0'; ++at) {
        if (static_cast<unsigned char>(*at) >= 0x80) return true;
    }
    return false;
}

struct Matcher {
    const std::string& message;
    std::vector<CorePart>* parts;
    std::vector<bool> failedAt;  // a place the rest was found not to match from

    bool From(size_t at) {
        if (at == message.size()) return true;
        if (failedAt[at]) return false;
        for (const char* const* named = TEXTS_WITH_ENGLISH; *named != nullptr; ++named) {
            const char* text = *named;
            if (!HasChinese(text)) continue;
            std::vector<std::string> captures;
            const bool found = MatchPieces(PiecesOf(text), 0, message, at, &captures, [&](size_t end) {
                if (end == at) return false;
                parts->push_back({text, message.substr(at, end - at), captures});
                if (From(end)) return true;
                parts->pop_back();
                return false;
            });
            if (found) return true;
        }
        failedAt[at] = true;
        return false;
    }
};

// A capture that is itself a plain catalog text (a step of instructions, a
// proxy setting's source) in English.
std::string EnglishCapture(const std::string& capture) {
    for (const char* const* named = TEXTS_WITH_ENGLISH; *named != nullptr; ++named) {
        if (capture == *named) return EnglishText(*named);
    }
    return capture;
}

}  // namespace

bool MatchCoreText(const std::string& message, std::vector<CorePart>* parts) {
    parts->clear();
    if (message.empty()) return false;
    Matcher matcher{message, parts, std::vector<bool>(message.size() + 1, false)};
    if (matcher.From(0)) return true;
    parts->clear();
    return false;
}

std::string EnglishPart(const CorePart& part) {
    std::string english;
    size_t capture = 0;
    for (const Piece& piece : PiecesOf(EnglishText(part.text))) {
        if (!piece.conversion) {
            english += piece.literal;
        } else if (capture < part.captures.size()) {
            english += EnglishCapture(part.captures[capture++]);
        }
    }
    return english;
}

std::string ShownPart(const CorePart& part) { return ChineseChosen() ? part.matched : EnglishPart(part); }

std::string ShownCoreText(const std::string& text) {
    if (ChineseChosen()) return text;
    std::vector<CorePart> parts;
    if (!MatchCoreText(text, &parts)) return text;
    std::string shown;
    for (const CorePart& part : parts) shown += EnglishPart(part);
    return shown;
}
