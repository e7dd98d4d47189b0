// The daemon's one clock for time-outs, deadlines and intervals: monotonic, so a step of the wall
// clock (a board without a battery-backed clock getting its first time) moves none of them.
#pragma once

#include <cstdint>
#include <ctime>

// Milliseconds on CLOCK_MONOTONIC. Any thread.
inline uint64_t monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}
