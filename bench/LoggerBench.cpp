// Records per second into the rotating text log, plain and structured, next
// to a bare spdlog logger with the same line pattern, rotating sink and flush
// policy; a debug record that the text log filters out; and the masking of
// sensitive spans in a 1 MB record.
//
// Unless told otherwise on the command line, every benchmark runs in nine
// repetitions in random interleaved order; the summary at the end gives the
// medians (with the lowest and highest repetition) and the ratios that the
// logger's goals name.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>
#include <boost/filesystem.hpp>

#include "BenchmarkArguments.h"
#include "ToolUsage.h"
#include "common/logging/LogFormatting.h"
#include "common/logging/Logger.h"
#include "common/logging/StructuredRecord.h"

namespace {

std::string g_folder;

void BM_ChannelPlain(benchmark::State& state) {
    auto channel = common::createLogger("Bench");
    long i = 0;
    for (auto _ : state) {
        channel->info("plain record number %ld with some text", i++);
    }
    state.SetItemsProcessed(state.iterations());
}

// A debug record on a channel whose only sink writes info and above.
void BM_ChannelFilteredDebug(benchmark::State& state) {
    auto channel = common::createLogger("Bench");
    long i = 0;
    for (auto _ : state) {
        channel->debug("filtered record number %ld with some text", i++);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_ChannelStructured(benchmark::State& state) {
    auto channel = common::createLogger("Bench");
    common::StructuredRecord record{
        "bench-event", {{"count", 0u}, {"name", std::string("value")}, {"ratio", 0.5}}};
    unsigned int i = 0;
    for (auto _ : state) {
        record.fields["count"] = i++;
        channel->log(common::loglevel::info, record);
    }
    state.SetItemsProcessed(state.iterations());
}

std::shared_ptr<spdlog::logger> bareLogger() {
    static auto logger = [] {
        auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
            g_folder + "/bare.log", common::Logger::kMaxFileSize, common::Logger::kMaxFiles, false);
        auto created = std::make_shared<spdlog::logger>("Bare", sink);
        created->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%P] [%t] [%l] [%n] %v");
        created->set_level(spdlog::level::trace);
        created->flush_on(spdlog::level::trace);
        return created;
    }();
    return logger;
}

void BM_BareSpdlog(benchmark::State& state) {
    const auto logger = bareLogger();
    long i = 0;
    for (auto _ : state) {
        logger->info("plain record number {} with some text", i++);
    }
    state.SetItemsProcessed(state.iterations());
}

// A 1 MB record holding a sensitive span every 100 bytes or so.
void BM_MaskSpans1MB(benchmark::State& state) {
    std::string record;
    while (record.size() < 1000000) {
        record += "some plain text of the record {\"sensitive\":\"secret value\"} and more text ";
    }
    for (auto _ : state) {
        std::string text = record;
        common::maskSensitiveSpans(text);
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<long>(record.size()));
}

BENCHMARK(BM_ChannelPlain);
BENCHMARK(BM_ChannelFilteredDebug);
BENCHMARK(BM_ChannelStructured);
BENCHMARK(BM_BareSpdlog);
BENCHMARK(BM_MaskSpans1MB)->Unit(benchmark::kMillisecond);

// The console report, and the real time per iteration of every repetition
// by benchmark, for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& reports) override {
        ConsoleReporter::ReportRuns(reports);
        for (const auto& run : reports) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                times_[run.run_name.function_name].push_back(run.GetAdjustedRealTime());
            }
        }
    }

    // Median, lowest and highest repetition; nothing when it did not run.
    struct Spread {
        double median = 0, low = 0, high = 0;
    };
    bool spread(const std::string& name, Spread& out) const {
        auto it = times_.find(name);
        if (it == times_.end() || it->second.empty()) {
            return false;
        }
        auto times = it->second;
        std::sort(times.begin(), times.end());
        const std::size_t n = times.size();
        out.median = n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
        out.low = times.front();
        out.high = times.back();
        return true;
    }

    void printSummary() const {
        std::printf("\nmedians of the repetitions (lowest - highest), real time per record\n");
        Spread channel, bare, filtered;
        if (spread("BM_ChannelPlain", channel) && spread("BM_BareSpdlog", bare)) {
            std::printf("  written record   %8.1f ns (%.1f - %.1f)\n", channel.median, channel.low,
                        channel.high);
            std::printf("  bare spdlog      %8.1f ns (%.1f - %.1f)\n", bare.median, bare.low,
                        bare.high);
            std::printf("  ratio written / bare spdlog: %.3f  (goal at most 1.05)\n",
                        channel.median / bare.median);
        }
        if (spread("BM_ChannelFilteredDebug", filtered)) {
            std::printf("  filtered debug   %8.2f ns (%.2f - %.2f)  (goal under 10 ns)\n",
                        filtered.median, filtered.low, filtered.high);
        }
    }

private:
    std::map<std::string, std::vector<double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
    const toolsupport::ToolUsage usage(
        argc > 0 ? argv[0] : "logger-bench", "[--benchmark_filter=REGEX] [--benchmark_...]",
        "Measures the cost of the logger's records next to bare spdlog with the same pattern\n"
        "and rotating sink; takes Google Benchmark's flags.\n"
        "Exit status: 0 measured; 64 a wrong command line.\n");
    // Defaults that the command line can override (later flags win); a
    // request for help stays first.
    std::vector<char*> arguments(argv, argv + argc);
    char repetitions[] = "--benchmark_repetitions=9";
    char interleaving[] = "--benchmark_enable_random_interleaving=true";
    if (usage.helpRequested(argc, argv)) {
        return 0;
    }
    arguments.insert(arguments.begin() + 1, {repetitions, interleaving});
    int count = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);
    if (int status = 0;
        !benchsupport::acceptBenchmarkArguments(count, arguments.data(), usage, status)) {
        return status;
    }
    char pattern[] = "/tmp/logger-bench-XXXXXX";
    g_folder = ::mkdtemp(pattern);
    common::Logger::setLogFolder(g_folder);
    common::Logger::init("Bench", "/bench/logger-bench", helper::ApplicationType::ComponentTest,
                         {common::logsink::rotatingFile});
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printSummary();
    benchmark::Shutdown();
    boost::filesystem::remove_all(g_folder);
    return 0;
}
