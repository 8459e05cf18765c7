// What the fuzz targets share: a property that fails ends the run with
// abort(), which libFuzzer reports as a crash and keeps the input for.
#pragma once

#include <cstdlib>

inline void Check(bool condition) {
    if (!condition) std::abort();
}
