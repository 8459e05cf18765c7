// Host names of a given length for the tests of long hosts.
#pragma once

#include <cstddef>
#include <string>

// A host name of `bytes` bytes in labels of 63 ("aaa...a.bbb...b...."), the
// longest DNS allows being 253.
inline std::string HostNameOfLength(size_t bytes) {
    std::string name;
    for (char letter = 'a'; name.size() < bytes; ++letter) {
        if (!name.empty()) name += '.';
        const size_t label = bytes - name.size() < 63 ? bytes - name.size() : 63;
        name.append(label, letter);
    }
    return name;
}
