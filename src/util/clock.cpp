#include "util/clock.h"

#include <atomic>

namespace {
std::atomic<std::time_t> fixedTime{0};
}  // namespace

std::tm LocalTimeNow() {
    std::time_t now = fixedTime.load();
    if (now == 0) now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    return local;
}

void SetClockForTests(std::time_t when) { fixedTime = when; }
