#pragma once

#include <chrono>
#include <functional>
#include <vector>

// Measurements in interleaved rounds, and what is printed of them: the
// median with the lowest and highest round, and ratios taken round by round.

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start);

// Median, lowest and highest of some values.
struct Spread {
    double median = 0, low = 0, high = 0;
};

Spread SpreadOf(std::vector<double> values);

// Ratios a[i] / b[i], round by round; a failed run (0) gives 0.
std::vector<double> Ratios(const std::vector<double>& a, const std::vector<double>& b);

// Runs `clients` in `rounds` rounds, reversing their order every round,
// after one pass whose results are not kept (it warms the server, the caches
// and the clock frequency alike for all); the results by client, round by
// round.
std::vector<std::vector<double>> Interleaved(int rounds,
                                             const std::vector<std::function<double()>>& clients);

// One line: `name`, then the median ratio with the lowest and highest.
void PrintRatio(const char* name, const std::vector<double>& ratios);
