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

/// The pace of the screen's writes in the benchmarks: a slider step every 10 ms.
inline constexpr std::int64_t writePace = 10'000'000;

/// Microseconds per call of `work`, one sample per batch of 100 calls.
std::vector<double> perCall(int batches, const auto& work) {
    constexpr int batch = 100;
    std::vector<double> samples;
    volatile std::int64_t sink = 0;
    for (int b = 0; b < batches; ++b) {
        const auto start = nowNs();
        for (int i = 0; i < batch; ++i)
            sink = sink + work();
        samples.push_back(static_cast<double>(nowNs() - start) / 1000.0 / batch);
    }
    return samples;
}

inline void sleepNs(std::int64_t ns) {
    timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    nanosleep(&ts, nullptr);
}

} // namespace bench
