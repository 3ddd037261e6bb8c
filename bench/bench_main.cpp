// Runs every benchmark with repetitions in random interleaving, so that each measurement and its reference
// see the same machine load, then prints the table of ratios. Flags after the defaults override them;
// --ratio_out=FILE also writes the table to FILE.
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "environment.h"
#include "ratio_table.h"
#include "suites.h"

int main(int argc, char** argv) {
    sdk::bench::UsePrivatePipeRuntime();
    std::vector<std::string> args = {argv[0], "--benchmark_repetitions=5",
                                     "--benchmark_enable_random_interleaving=true",
                                     "--benchmark_report_aggregates_only=true", "--benchmark_min_time=0.2"};
    std::string ratioOut;
    for (int i = 1; i < argc; ++i) {
        const char* prefix = "--ratio_out=";
        if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0) {
            ratioOut = argv[i] + std::strlen(prefix);
        } else {
            args.emplace_back(argv[i]);
        }
    }
    std::vector<char*> pointers;
    for (std::string& arg : args) pointers.push_back(arg.data());
    int count = static_cast<int>(pointers.size());

    sdk::bench::RegisterJsonBenchmarks();
    sdk::bench::RegisterLedColorListBenchmarks();
    sdk::bench::RegisterEndToEndBenchmarks();
    sdk::bench::RegisterTransportBenchmarks();
    sdk::bench::RegisterAsyncBenchmarks();
    sdk::bench::RegisterKeyPressBenchmarks();
    sdk::bench::RegisterMemoryBenchmarks();

    benchmark::Initialize(&count, pointers.data());
    if (benchmark::ReportUnrecognizedArguments(count, pointers.data())) return 1;
    sdk::bench::CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const std::string table = sdk::bench::RenderTable(reporter);
    std::cout << "\n## Ratios (median time of each against its reference; cpu time where marked)\n"
              << table << std::flush;
    if (!ratioOut.empty()) std::ofstream(ratioOut) << table;
    return 0;
}
