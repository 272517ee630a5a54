// The clock the benchmark's programs time their samples with, and the median
// they take over the samples.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <vector>

namespace timing {

// Nanoseconds on the monotonic clock.
inline std::int64_t now()
{
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    constexpr std::int64_t nanoseconds_per_second = 1000000000;
    return time.tv_sec * nanoseconds_per_second + time.tv_nsec;
}

// The middle value; of an even count, the upper of the two middle ones.
inline double median(std::vector<double> values)
{
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

} // namespace timing
