#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <vector>

namespace bench {

inline std::int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

struct Summary {
    double median = 0, p99 = 0; // microseconds
};

inline Summary summarize(std::vector<double> samples) {
    if (samples.empty())
        return {};
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))];
    };
    return {at(0.5), at(0.99)};
}

inline void report(const char* what, Summary ours, Summary baseline, const char* baselineName) {
    std::printf("%-34s median %9.2f us  p99 %9.2f us | %-28s median %9.2f us  p99 %9.2f us | "
                "ratio %.2fx\n",
                what, ours.median, ours.p99, baselineName, baseline.median, baseline.p99,
                baseline.median > 0 ? ours.median / baseline.median : 0.0);
}

inline void sleepNs(std::int64_t ns) {
    timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    nanosleep(&ts, nullptr);
}

} // namespace bench
