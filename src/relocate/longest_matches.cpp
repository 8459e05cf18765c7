#include "relocate/longest_matches.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/strings.h"

// The longest pattern starting at each position comes from an Aho-Corasick
// automaton over the reversed patterns, run over the text from right to
// left: after it has read text[q], its state is the longest prefix of
// text[q..] that ends some pattern, and the longest pattern that is a prefix
// of that state's string is the longest pattern starting at q.  Every byte
// costs amortized constant time.  The text is taken in chunks of at least
// the longest pattern, each read from its end plus the longest pattern (so a
// match that starts in the chunk is read whole), which keeps the list of
// starts one chunk long; the leftmost-longest choice then walks that list.

namespace {

const int32_t NO_NODE = -1;
const int32_t ROOT = 0;
const char ANCHOR[] = "//";
const size_t MIN_CHUNK_BYTES = 1u << 20;
// Children up to this many are searched one by one, more by halving.
const int32_t LINEAR_CHILD_SEARCH = 8;

// The trie of the reversed patterns, its nodes numbered breadth first, so a
// node's children are consecutive nodes, firstChild[node] up to
// firstChild[node + 1] - 1, in the order of their bytes.
struct Automaton {
    std::vector<size_t> lengths;
    size_t maxLength = 0;
    size_t maxTail = 0;               // the most bytes a pattern has after its first "//"
    std::vector<int32_t> firstChild;  // one more than there are nodes
    std::vector<uint8_t> byteOf;      // the byte on the edge into the node
    std::vector<int32_t> fail;        // the longest proper suffix of the node's string in the trie
    std::vector<int32_t> longest;     // the longest pattern whose reversal ends the node's string, or -1
    int32_t rootChild[256];
};

int32_t ChildOf(const Automaton& automaton, int32_t node, uint8_t byte) {
    if (node == ROOT) return automaton.rootChild[byte];
    const int32_t first = automaton.firstChild[static_cast<size_t>(node)];
    const int32_t last = automaton.firstChild[static_cast<size_t>(node) + 1];
    if (last - first <= LINEAR_CHILD_SEARCH) {
        for (int32_t child = first; child < last; ++child) {
            if (automaton.byteOf[static_cast<size_t>(child)] == byte) return child;
        }
        return NO_NODE;
    }
    const uint8_t* begin = automaton.byteOf.data() + first;
    const uint8_t* end = automaton.byteOf.data() + last;
    const uint8_t* found = std::lower_bound(begin, end, byte);
    if (found == end || *found != byte) return NO_NODE;
    return static_cast<int32_t>(found - automaton.byteOf.data());
}

// The state after reading `byte` (leftwards).
int32_t Step(const Automaton& automaton, int32_t node, uint8_t byte) {
    for (;;) {
        int32_t child = ChildOf(automaton, node, byte);
        if (child != NO_NODE) return child;
        if (node == ROOT) return ROOT;
        node = automaton.fail[static_cast<size_t>(node)];
    }
}

void Build(const std::vector<MatchPattern>& patterns, Automaton* automaton) {
    // The trie as sibling lists, nodes numbered as they come.
    std::vector<int32_t> firstChild(1, NO_NODE), nextSibling(1, NO_NODE), terminal(1, -1);
    std::vector<uint8_t> byteOf(1, 0);
    for (size_t i = 0; i < patterns.size(); ++i) {
        const MatchPattern& pattern = patterns[i];
        automaton->lengths.push_back(pattern.length);
        automaton->maxLength = std::max(automaton->maxLength, pattern.length);
        const char* anchor = FindBytes(pattern.text, pattern.length, ANCHOR, 2);
        automaton->maxTail =
            std::max(automaton->maxTail, pattern.length - static_cast<size_t>(anchor + 2 - pattern.text));
        int32_t node = ROOT;
        for (size_t at = pattern.length; at-- > 0;) {
            const uint8_t byte = static_cast<uint8_t>(pattern.text[at]);
            int32_t child = firstChild[static_cast<size_t>(node)];
            while (child != NO_NODE && byteOf[static_cast<size_t>(child)] != byte) {
                child = nextSibling[static_cast<size_t>(child)];
            }
            if (child == NO_NODE) {
                child = static_cast<int32_t>(byteOf.size());
                byteOf.push_back(byte);
                firstChild.push_back(NO_NODE);
                nextSibling.push_back(firstChild[static_cast<size_t>(node)]);
                terminal.push_back(-1);
                firstChild[static_cast<size_t>(node)] = child;
            }
            node = child;
        }
        if (terminal[static_cast<size_t>(node)] < 0) terminal[static_cast<size_t>(node)] = static_cast<int32_t>(i);
    }

    // Renumbered breadth first, children by byte; failure links and
    // longest patterns follow in the same order, since a node's failure
    // target is shallower than the node.
    const size_t nodes = byteOf.size();
    std::vector<int32_t> order;  // new number -> old number
    order.reserve(nodes);
    order.push_back(ROOT);
    automaton->firstChild.assign(nodes + 1, 0);
    automaton->byteOf.assign(nodes, 0);
    automaton->fail.assign(nodes, ROOT);
    automaton->longest.assign(nodes, -1);
    std::vector<std::pair<uint8_t, int32_t>> children;
    for (size_t node = 0; node < nodes; ++node) {
        automaton->firstChild[node] = static_cast<int32_t>(order.size());
        children.clear();
        for (int32_t child = firstChild[static_cast<size_t>(order[node])]; child != NO_NODE;
             child = nextSibling[static_cast<size_t>(child)]) {
            children.emplace_back(byteOf[static_cast<size_t>(child)], child);
        }
        std::sort(children.begin(), children.end());
        for (const auto& child : children) {
            automaton->byteOf[order.size()] = child.first;
            automaton->longest[order.size()] = terminal[static_cast<size_t>(child.second)];
            order.push_back(child.second);
        }
    }
    automaton->firstChild[nodes] = static_cast<int32_t>(nodes);
    // The sibling lists are done with; free them before the links are made.
    std::vector<int32_t>().swap(firstChild);
    std::vector<int32_t>().swap(nextSibling);
    std::vector<int32_t>().swap(terminal);
    std::vector<uint8_t>().swap(byteOf);
    std::vector<int32_t>().swap(order);
    std::fill(std::begin(automaton->rootChild), std::end(automaton->rootChild), NO_NODE);
    for (int32_t child = automaton->firstChild[ROOT]; child < automaton->firstChild[1]; ++child) {
        automaton->rootChild[automaton->byteOf[static_cast<size_t>(child)]] = child;
    }
    for (size_t node = 1; node < nodes; ++node) {
        for (int32_t child = automaton->firstChild[node]; child < automaton->firstChild[node + 1]; ++child) {
            const int32_t target =
                Step(*automaton, automaton->fail[node], automaton->byteOf[static_cast<size_t>(child)]);
            automaton->fail[static_cast<size_t>(child)] = target;
            int32_t& longest = automaton->longest[static_cast<size_t>(child)];
            if (longest < 0) longest = automaton->longest[static_cast<size_t>(target)];
        }
    }
}

}  // namespace

void FindLongestMatches(const std::vector<MatchPattern>& patterns, const char* text, size_t textLength,
                        MatchProgressFn progress, void* context, std::vector<TextMatch>* matches) {
    if (patterns.empty()) return;
    Automaton automaton;
    Build(patterns, &automaton);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    const size_t chunk = std::max(automaton.maxLength, MIN_CHUNK_BYTES);
    size_t taken = 0;               // no match may start before this
    std::vector<TextMatch> starts;  // the longest pattern at each start in the chunk, right to left
    std::vector<size_t> anchors;    // where "//" stands in the text read for the chunk
    for (size_t from = 0; from < textLength; from += chunk) {
        const size_t to = std::min(textLength, from + chunk);
        if (taken >= to) continue;
        const size_t low = std::max(from, taken);
        // A match that starts before `to` ends before `to` + the longest pattern.
        const size_t high = std::min(textLength, to + automaton.maxLength - 1);
        anchors.clear();
        for (size_t at = low; at + 1 < high;) {
            const void* slash = std::memchr(text + at, '/', high - at - 1);
            if (slash == nullptr) break;
            at = static_cast<size_t>(static_cast<const char*>(slash) - text) + 1;
            if (bytes[at] == '/') anchors.push_back(at - 1);
        }
        starts.clear();
        int32_t node = ROOT;
        size_t nextAnchor = anchors.size();
        for (size_t at = high; at > low;) {
            if (node == ROOT) {
                // No match that starts further left reaches past `at`, and
                // each holds a "//": go on from the farthest end of a match
                // around the nearest one.
                while (nextAnchor > 0 && anchors[nextAnchor - 1] + 2 > at) --nextAnchor;
                if (nextAnchor == 0) break;
                at = std::min(at, anchors[nextAnchor - 1] + 2 + automaton.maxTail);
            }
            --at;
            node = Step(automaton, node, bytes[at]);
            const int32_t longest = automaton.longest[static_cast<size_t>(node)];
            if (at < to && longest >= 0) starts.push_back(TextMatch{at, longest});
        }
        for (size_t i = starts.size(); i-- > 0;) {
            const TextMatch& match = starts[i];
            if (match.start < taken) continue;
            if (progress != nullptr) progress(context, match.start);
            matches->push_back(match);
            taken = match.start + automaton.lengths[static_cast<size_t>(match.pattern)];
        }
    }
}
