// Cost of one push plus one runOne while other tasks are pending. The pending
// tasks are not due yet, so every selection walks past all of them: the cost
// grows linearly with their number, and walking must not copy them.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

#include "BenchmarkArguments.h"
#include "ToolUsage.h"
#include "common/logging/ILogger.h"
#include "common/taskscheduler/TaskScheduler.h"

namespace {

using namespace std::chrono_literals;

class BenchScheduler : public common::TaskScheduler {
public:
    BenchScheduler() : TaskScheduler(common::createLogger("TaskScheduler"), 0ms) {}
    int run() override { return 0; }
    void stop() override {}
};

// A task that carries some state, as real tasks do.
common::ITaskQueue::Task makeTask(long* counter) {
    const std::string payload(200, 'x');
    return [counter, payload](bool&, unsigned long) { *counter += payload.size() > 0 ? 1 : 0; };
}

void pushAndRunOne(benchmark::State& state, bool byQueueName) {
    const auto scheduler = std::make_shared<BenchScheduler>();
    auto waiting = scheduler->createQueue("Waiting");
    auto queue = scheduler->createQueue("Bench");
    long counter = 0;
    const long pending = state.range(0);
    for (long i = 0; i < pending; ++i) {
        waiting->push(makeTask(&counter), 1h);
    }
    const std::string name = byQueueName ? queue->name() : std::string();
    const auto task = makeTask(&counter);
    for (auto _ : state) {
        queue->push(task);
        scheduler->runOne(name, false);
    }
    if (counter != state.iterations() || scheduler->taskCount() != static_cast<size_t>(pending)) {
        state.SkipWithError("the pushed task did not run exactly once per iteration");
    }
    state.SetComplexityN(pending);
    state.SetItemsProcessed(state.iterations());
    waiting->finish([](bool&, unsigned long) {}, true);
}

void BM_PushAndRunOneAnyQueue(benchmark::State& state) {
    pushAndRunOne(state, false);
}

void BM_PushAndRunOneNamedQueue(benchmark::State& state) {
    pushAndRunOne(state, true);
}

}  // namespace

BENCHMARK(BM_PushAndRunOneAnyQueue)->Arg(10)->Arg(1000)->Arg(10000)->Complexity(benchmark::oN);
BENCHMARK(BM_PushAndRunOneNamedQueue)->Arg(10)->Arg(1000)->Arg(10000)->Complexity(benchmark::oN);

int main(int argc, char** argv) {
    const toolsupport::ToolUsage usage(
        argc > 0 ? argv[0] : "task-scheduler-bench", "[--benchmark_filter=REGEX] [--benchmark_...]",
        "Measures pushing a task and running one with 10 to 10000 tasks waiting, on any queue\n"
        "and on a named one; takes Google Benchmark's flags.\n"
        "Exit status: 0 measured; 64 a wrong command line.\n");
    if (int status = 0; !benchsupport::acceptBenchmarkArguments(argc, argv, usage, status)) {
        return status;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
