// The one entry point of karvelo_bench; every bench/*.cpp registers into it.
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
