// The clock and the order statistics that every benchmark's table uses.
#pragma once

#include <vector>

// Seconds on the performance counter, from an arbitrary start: differences of
// two readings are what count.
double Now();

// The value at fraction `p` (0 to 1) of the sorted `values`, by nearest rank:
// 0.5 is the median (the upper middle one of an even count), 1 the maximum.
// `values` must not be empty.
double Percentile(std::vector<double> values, double p);

double Median(std::vector<double> values);
