#include "BenchRounds.h"

#include <algorithm>
#include <cstdio>

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

Spread SpreadOf(std::vector<double> values) {
    if (values.empty()) {
        return {};
    }
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {median, values.front(), values.back()};
}

std::vector<double> Ratios(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        ratios.push_back(b[i] > 0 ? a[i] / b[i] : 0);
    }
    return ratios;
}

std::vector<std::vector<double>> Interleaved(int rounds,
                                             const std::vector<std::function<double()>>& clients) {
    for (const auto& client : clients) {
        client();
    }
    std::vector<std::vector<double>> results(clients.size());
    std::vector<std::size_t> order(clients.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    for (int round = 0; round < rounds; ++round) {
        for (const std::size_t client : order) {
            results[client].push_back(clients[client]());
        }
        std::reverse(order.begin(), order.end());
    }
    return results;
}

void PrintRatio(const char* name, const std::vector<double>& ratios) {
    const Spread r = SpreadOf(ratios);
    std::printf("  %-22s %6.2f (%.2f - %.2f)\n", name, r.median, r.low, r.high);
}
