// What the benchmarks that repeat a row a few times make of its figures:
// the median with the smallest and largest value, a flag on figures that
// spread too widely to trust, and the machine's load when the row began.
#pragma once

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

// Beyond this (max - min) / median a figure is named as one to repeat.
const double SPREAD_LIMIT = 0.30;

// A figure over the repetitions: median, min and max.
struct Spread {
    double median = 0, min = 0, max = 0;
};

Spread SpreadOf(std::vector<double> values);

// Sets `name`, `name`_min and `name`_max.  With `wide`, counts the figure
// in it when its spread is over the limit, and names it and the `row` on
// standard error.
void SetSpreadCounters(benchmark::State& state, const std::string& row, const std::string& name,
                       const std::vector<double>& values, int* wide);

// The load average over the last minute, -1 when the system does not say.
double LoadAverage();
