#include "repetition_figures.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdio>

Spread SpreadOf(std::vector<double> values) {
    Spread spread;
    if (values.empty()) return spread;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    spread.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    spread.min = values.front();
    spread.max = values.back();
    return spread;
}

void SetSpreadCounters(benchmark::State& state, const std::string& row, const std::string& name,
                       const std::vector<double>& values, int* wide) {
    const Spread spread = SpreadOf(values);
    state.counters[name] = spread.median;
    state.counters[name + "_min"] = spread.min;
    state.counters[name + "_max"] = spread.max;
    if (wide != nullptr && spread.median > 0 && (spread.max - spread.min) / spread.median > SPREAD_LIMIT) {
        ++*wide;
        std::fprintf(stderr, "%s: %s spreads %.0f %% (%.3g to %.3g around %.3g): repeat this row\n", row.c_str(),
                     name.c_str(), 100 * (spread.max - spread.min) / spread.median, spread.min, spread.max,
                     spread.median);
    }
}

double LoadAverage() {
    double load = 0;
    return getloadavg(&load, 1) == 1 ? load : -1;
}
