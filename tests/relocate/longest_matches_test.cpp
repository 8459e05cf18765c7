#include "relocate/longest_matches.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

// Leftmost-longest by hand: at each position every pattern is tried.
std::vector<TextMatch> Naive(const std::vector<std::string>& patterns, const std::string& text) {
    std::vector<TextMatch> matches;
    for (size_t at = 0; at < text.size();) {
        int32_t best = -1;
        for (size_t i = 0; i < patterns.size(); ++i) {
            if (text.compare(at, patterns[i].size(), patterns[i]) == 0 &&
                (best < 0 || patterns[i].size() > patterns[static_cast<size_t>(best)].size())) {
                best = static_cast<int32_t>(i);
            }
        }
        if (best < 0) {
            ++at;
            continue;
        }
        matches.push_back(TextMatch{at, best});
        at += patterns[static_cast<size_t>(best)].size();
    }
    return matches;
}

std::vector<TextMatch> Found(const std::vector<std::string>& patterns, const std::string& text) {
    std::vector<MatchPattern> given;
    for (const std::string& pattern : patterns) given.push_back(MatchPattern{pattern.data(), pattern.size()});
    std::vector<TextMatch> matches;
    FindLongestMatches(given, text.data(), text.size(), nullptr, nullptr, &matches);
    return matches;
}

std::string Describe(const std::vector<TextMatch>& matches) {
    std::string out;
    for (const TextMatch& match : matches)
        out += std::to_string(match.start) + ":" + std::to_string(match.pattern) + " ";
    return out;
}

}  // namespace

// Patterns and texts from a four-letter alphabet overlap, nest and repeat in
// every way: prefixes and suffixes of one another, equal texts, matches
// that hide a longer one starting earlier, long runs of near-matches.
TEST(FindLongestMatches, EqualsTryingEveryPatternAtEveryPosition) {
    std::mt19937 random(113);
    const char alphabet[] = "/ab:";
    auto randomText = [&](size_t length) {
        std::string text;
        for (size_t i = 0; i < length; ++i) text += alphabet[random() % 4];
        return text;
    };
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::string> patterns;
        const int count = 1 + static_cast<int>(random() % 8);
        for (int i = 0; i < count; ++i) {
            std::string pattern;
            if (!patterns.empty() && random() % 3 == 0) {
                const std::string& other = patterns[random() % patterns.size()];
                pattern = random() % 2 ? other + randomText(random() % 4) : randomText(random() % 4) + other;
            } else {
                pattern = randomText(random() % 4);
                pattern.insert(random() % (pattern.size() + 1), "//");
                pattern += randomText(random() % 5);
            }
            patterns.push_back(pattern);
        }
        std::string text;
        const int pieces = static_cast<int>(random() % 12);
        for (int i = 0; i < pieces; ++i) {
            text += random() % 2 ? patterns[random() % patterns.size()] : randomText(random() % 6);
        }
        ASSERT_EQ(Describe(Naive(patterns, text)), Describe(Found(patterns, text))) << "round " << round;
    }
}

// Texts longer than a chunk: a match that starts just before a chunk's end
// is seen whole, and one that starts in the next chunk is not taken twice.
TEST(FindLongestMatches, MatchesAcrossChunkBoundaries) {
    const std::string url = "http://img.example.com/" + std::string(300, 'x') + ".jpg";
    std::vector<std::string> patterns = {url, "//img.example.com/"};
    std::string text;
    const size_t chunk = 1u << 20;
    for (size_t start : {chunk - 1, 2 * chunk - 200, 3 * chunk + 1}) {
        text.resize(start, '.');
        text += url;
    }
    text += std::string(50, '/');
    EXPECT_EQ(Describe(Naive(patterns, text)), Describe(Found(patterns, text)));
}
