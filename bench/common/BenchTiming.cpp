#include "bench/common/BenchTiming.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <utility>

double Now()
{
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / frequency;
}

double Percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5)];
}

double Median(std::vector<double> values)
{
    return Percentile(std::move(values), 0.5);
}
