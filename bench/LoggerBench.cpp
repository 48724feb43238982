// Records per second into the rotating text log, plain and structured, next
// to a bare spdlog logger with the same line pattern and flush policy; and
// the masking of sensitive spans in a 1 MB record.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <cstdlib>
#include <string>

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

void BM_BareSpdlog(benchmark::State& state) {
    static auto logger = [] {
        auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
            g_folder + "/bare.log", common::Logger::kMaxFileSize, common::Logger::kMaxFiles, false);
        auto created = std::make_shared<spdlog::logger>("Bare", sink);
        created->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%P] [%t] [%l] [%n] %v");
        created->set_level(spdlog::level::trace);
        created->flush_on(spdlog::level::trace);
        return created;
    }();
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
BENCHMARK(BM_ChannelStructured);
BENCHMARK(BM_BareSpdlog);
BENCHMARK(BM_MaskSpans1MB)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    const toolsupport::ToolUsage usage(
        argc > 0 ? argv[0] : "logger-bench", "[--benchmark_filter=REGEX] [--benchmark_...]",
        "Measures the cost of the logger's records next to bare spdlog with the same pattern\n"
        "and rotating sink; takes Google Benchmark's flags.\n"
        "Exit status: 0 measured; 64 a wrong command line.\n");
    if (int status = 0; !benchsupport::acceptBenchmarkArguments(argc, argv, usage, status)) {
        return status;
    }
    char pattern[] = "/tmp/logger-bench-XXXXXX";
    g_folder = ::mkdtemp(pattern);
    common::Logger::setLogFolder(g_folder);
    common::Logger::init("Bench", "/bench/logger-bench", helper::ApplicationType::ComponentTest,
                         {common::logsink::rotatingFile});
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    boost::filesystem::remove_all(g_folder);
    return 0;
}
