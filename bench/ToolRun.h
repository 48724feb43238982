#pragma once

#include <string>
#include <vector>

// One run of a program as a process of its own, as the benches time them.
struct Run {
    bool ok = false;  // it ended with status 0
    double seconds = 0;
    long peakKiB = 0;
    int exitCode = -1;
};

// Runs `words` with its standard output and error thrown away, and waits;
// its wall time and peak memory.
Run Spawn(std::vector<std::string> words);
