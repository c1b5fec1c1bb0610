// Small helpers that the benchmarks share.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <vector>

// The median of the samples; 0 when there are none.
inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

// Whether valgrind can be run to count instructions.
inline bool have_valgrind() { return system("valgrind --version >/dev/null 2>&1") == 0; }
