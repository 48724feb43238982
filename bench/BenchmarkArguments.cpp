#include "BenchmarkArguments.h"

#include <benchmark/benchmark.h>

#include <string>

namespace benchsupport {

bool acceptBenchmarkArguments(int& argc, char** argv, const toolsupport::ToolUsage& usage,
                              int& status) {
    if (usage.helpRequested(argc, argv)) {
        status = 0;
        return false;
    }
    benchmark::Initialize(&argc, argv);
    if (argc > 1) {
        status = usage.refuse(std::string("unexpected argument '") + argv[1] + "'");
        return false;
    }
    return true;
}

}  // namespace benchsupport
