// figure_collector.h - a Google Benchmark reporter that prints as the
// console does and keeps each benchmark's times per iteration, in
// milliseconds, for the summary lines a benchmark prints after its table.
#pragma once

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

class FigureCollector : public benchmark::ConsoleReporter {
public:
    FigureCollector() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
            if (!run.error_occurred && run.run_type == Run::RT_Iteration) {
                realMs[run.run_name.function_name] = run.GetAdjustedRealTime() * ToMs(run.time_unit);
                cpuMs[run.run_name.function_name] = run.GetAdjustedCPUTime() * ToMs(run.time_unit);
            }
        ConsoleReporter::ReportRuns(runs);
    }
    // By benchmark name (as registered), per iteration.
    std::map<std::string, double> realMs, cpuMs;

private:
    static double ToMs(benchmark::TimeUnit unit)
    {
        switch (unit) {
        case benchmark::kNanosecond:
            return 1e-6;
        case benchmark::kMicrosecond:
            return 1e-3;
        case benchmark::kMillisecond:
            return 1;
        default:
            return 1e3;
        }
    }
};

}  // namespace bench
