// Small helpers that the benchmarks share.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
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

// The instruction count of a callgrind output file, which it then removes;
// -1 when the file holds none.
inline long long callgrind_total(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    long long total = -1;
    while (std::getline(in, line))
        if (line.rfind("summary:", 0) == 0 || line.rfind("totals:", 0) == 0) total = atoll(line.c_str() + line.find(':') + 1);
    std::filesystem::remove(file);
    return total;
}
