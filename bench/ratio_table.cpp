#include "ratio_table.h"

#include <cstdio>
#include <sstream>

namespace sdk::bench {
namespace {

std::vector<Comparison>& Comparisons() {
    static std::vector<Comparison> list;
    return list;
}

std::vector<Figure>& Figures() {
    static std::vector<Figure> list;
    return list;
}

double ToNanoseconds(double value, benchmark::TimeUnit unit) {
    switch (unit) {
        case benchmark::kSecond:
            return value * 1e9;
        case benchmark::kMillisecond:
            return value * 1e6;
        case benchmark::kMicrosecond:
            return value * 1e3;
        case benchmark::kNanosecond:
        default:
            return value;
    }
}

std::string Format(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

std::string FormatTime(double ns) {
    if (ns >= 1e6) return Format("%.2f ms", ns / 1e6);
    if (ns >= 1e3) return Format("%.1f us", ns / 1e3);
    return Format("%.0f ns", ns);
}

}  // namespace

void AddComparison(Comparison comparison) {
    Comparisons().push_back(std::move(comparison));
}

void AddFigure(Figure figure) {
    Figures().push_back(std::move(figure));
}

void CollectingReporter::ReportRuns(const std::vector<Run>& runs) {
    for (const Run& run : runs) Keep(run);
    ConsoleReporter::ReportRuns(runs);
}

void CollectingReporter::Keep(const Run& run) {
    if (run.error_occurred) return;
    const std::string& name = run.run_name.function_name;
    const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
    // Without repetitions the single run stands for the median; with them only the median counts.
    if (run.run_type == Run::RT_Aggregate && !median) return;
    if (!median && haveMedian_[name]) return;
    if (median) haveMedian_[name] = true;
    realTimes_[name] = ToNanoseconds(run.GetAdjustedRealTime(), run.time_unit);
    cpuTimes_[name] = ToNanoseconds(run.GetAdjustedCPUTime(), run.time_unit);
    for (const auto& [counter, value] : run.counters) counters_[name][counter] = value.value;
}

std::string RenderTable(const CollectingReporter& reporter) {
    std::ostringstream out;
    int met = 0;
    int missed = 0;
    std::string group;
    auto heading = [&](const std::string& next) {
        if (next == group) return;
        group = next;
        out << "\n### " << group << "\n\n"
            << "| measured | against | ratio | target | time | reference time |\n"
            << "|---|---|---:|---:|---:|---:|\n";
    };
    for (const Comparison& c : Comparisons()) {
        const auto& measuredTimes =
            c.cpuTime || c.measuredCpuTime ? reporter.CpuTimes() : reporter.RealTimes();
        const auto& referenceTimes = c.cpuTime ? reporter.CpuTimes() : reporter.RealTimes();
        auto m = measuredTimes.find(c.measured);
        auto r = referenceTimes.find(c.reference);
        if (m == measuredTimes.end() || r == referenceTimes.end() || r->second <= 0) continue;
        heading(c.group);
        const double ratio = m->second / r->second;
        std::string target = "-";
        if (c.target > 0) {
            const bool ok = ratio <= c.target;
            (ok ? met : missed)++;
            target = Format("<= %.2fx", c.target) + (ok ? " met" : " **missed**");
        }
        out << "| " << c.title << " | " << c.reference << " | " << Format("%.3fx", ratio) << " | " << target
            << " | " << FormatTime(m->second) << (c.cpuTime || c.measuredCpuTime ? " cpu" : "") << " | "
            << FormatTime(r->second) << (c.cpuTime ? " cpu" : "") << " |\n";
    }
    group.clear();
    bool figureHeading = false;
    for (const Figure& f : Figures()) {
        auto b = reporter.Counters().find(f.benchmark);
        if (b == reporter.Counters().end()) continue;
        auto v = b->second.find(f.counter);
        if (v == b->second.end()) continue;
        if (f.group != group || !figureHeading) {
            group = f.group;
            figureHeading = true;
            out << "\n### " << group << "\n\n| figure | value | check |\n|---|---:|---:|\n";
        }
        std::string check = "-";
        if (f.hasLimit) {
            const bool ok = v->second <= f.limit;
            (ok ? met : missed)++;
            check = Format("<= %g", f.limit) + (ok ? " met" : " **missed**");
        }
        out << "| " << f.title << " | " << Format("%.1f", v->second) << " " << f.unit << " | " << check
            << " |\n";
    }
    out << "\nTargets met: " << met << ", missed: " << missed << "\n";
    return out.str();
}

}  // namespace sdk::bench
