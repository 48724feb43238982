#pragma once

#include <chrono>
#include <cstddef>
#include <random>
#include <string>
#include <vector>

namespace testsupport {

// Feeds `check` inputs made from `seeds` by one to `maxEdits` random edits (a character replaced or
// inserted, a few cut, or the rest cut off; new characters drawn from `alphabet` or any byte) until `duration` has passed,
// with a fixed random seed so that a failure repeats. `check` gets the input and the generator
// (for choices of its own); it returns false to stop early. Returns how many inputs were tried.
template <typename Check>
std::size_t mutateFor(std::chrono::milliseconds duration, const std::vector<std::string>& seeds,
                      const std::string& alphabet, int maxEdits, Check check) {
    std::mt19937 random(20261207);
    const auto end = std::chrono::steady_clock::now() + duration;
    std::size_t inputs = 0;
    while (std::chrono::steady_clock::now() < end) {
        std::string input = seeds[inputs % seeds.size()];
        for (int edits = 1 + static_cast<int>(random() % maxEdits); edits > 0; --edits) {
            const std::size_t at = input.empty() ? 0 : random() % (input.size() + 1);
            const char c = random() % 4 ? alphabet[random() % alphabet.size()]
                                        : static_cast<char>(random());
            switch (at == input.size() ? 1 : random() % 8) {
                case 0: input.resize(at); break;
                case 1: case 2: input.insert(at, 1, c); break;
                case 3: case 4: input.erase(at, 1 + random() % 4); break;
                default: input[at] = c; break;
            }
        }
        ++inputs;
        if (!check(input, random)) break;
    }
    return inputs;
}

}  // namespace testsupport
