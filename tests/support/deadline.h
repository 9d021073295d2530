// Deadlines of the tests' waits. Under ThreadSanitizer every program runs
// several times slower: KVT_TEST_TIME_SCALE=N stretches each wait N times, so
// a slow run is not taken for a fault.
#pragma once

#include <cstdlib>

inline int deadline_ms(int ms)
{
    static const int scale = [] {
        const char* e = std::getenv("KVT_TEST_TIME_SCALE");
        const int v = e ? std::atoi(e) : 1;
        return v >= 1 && v <= 50 ? v : 1;
    }();
    return ms * scale;
}
