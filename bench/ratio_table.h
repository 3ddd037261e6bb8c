// Side-by-side comparisons: every benchmark is measured in the same run as its reference, and the table
// reports the ratio of their median times, since absolute times on a shared machine say little.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace sdk::bench {

// One row of the table: time of `measured` divided by time of `reference`. A target of 0 means none.
struct Comparison {
    std::string group;
    std::string title;
    std::string measured;
    std::string reference;
    double target = 0.0;
    // Work confined to the calling thread compares on CPU time, which a busy machine disturbs far less;
    // anything that waits for another thread or a pipe compares on real time.
    bool cpuTime = false;
    // Only the measured side on CPU time: the work a call does on its caller's thread, against a
    // reference whose waiting is part of its cost.
    bool measuredCpuTime = false;
};

void AddComparison(Comparison comparison);

// Counters (not times) that a benchmark wants in the summary, by benchmark name and counter name.
struct Figure {
    std::string group;
    std::string title;
    std::string benchmark;
    std::string counter;
    std::string unit;
    double limit = 0.0;  // a figure above this fails its check; 0 means no check
    bool hasLimit = false;
};

void AddFigure(Figure figure);

// Console output as usual, and the median real time and counters of every benchmark kept for the table.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override;

    // Nanoseconds per iteration: the median over repetitions, or the single run.
    const std::map<std::string, double>& RealTimes() const { return realTimes_; }
    const std::map<std::string, double>& CpuTimes() const { return cpuTimes_; }
    const std::map<std::string, std::map<std::string, double>>& Counters() const { return counters_; }

private:
    void Keep(const Run& run);

    std::map<std::string, double> realTimes_;
    std::map<std::string, double> cpuTimes_;
    std::map<std::string, std::map<std::string, double>> counters_;
    std::map<std::string, bool> haveMedian_;
};

// The table in Markdown, with a final line counting the targets met and missed.
std::string RenderTable(const CollectingReporter& reporter);

}  // namespace sdk::bench
