// The benchmarks' clock: the time a piece of work takes, and the median of
// several rounds.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Seconds that work takes.
inline double timeOf(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return seconds(Clock::now() - start);
}

// The median; for an even count, the mean of the middle two; 0 for none.
inline double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Runs first and second once each, second first in odd rounds.
template <class First, class Second> void inTurn(int round, First first, Second second) {
    if (round % 2) {
        second();
        first();
    } else {
        first();
        second();
    }
}

// Runs first and second rounds times, turning their order round each round.
template <class First, class Second> void alternate(int rounds, First first, Second second) {
    for (int r = 0; r < rounds; ++r)
        inTurn(r, first, second);
}

} // namespace bench
