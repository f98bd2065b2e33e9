#include "benchtable.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

double BenchTable::median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

BenchTable::Summary BenchTable::summarize(const Row& row)
{
    std::vector<double> ratios;
    for (size_t i = 0; i < std::min(row.values.size(), row.references.size()); ++i)
        ratios.push_back(row.references[i] != 0 ? row.values[i] / row.references[i] : 0);
    Summary summary{median(row.values), median(row.references), median(ratios), 0, 0, true};
    if (!ratios.empty()) {
        summary.lowest = *std::min_element(ratios.begin(), ratios.end());
        summary.highest = *std::max_element(ratios.begin(), ratios.end());
    }
    if (row.targetRatio > 0)
        summary.met = row.higherIsBetter ? summary.ratio >= row.targetRatio
                                         : summary.ratio <= row.targetRatio;
    return summary;
}

void BenchTable::print() const
{
    std::printf("| %-44s | %12s | %12s | %-8s | %6s | %13s | %-8s | %-4s |\n", "figure", "ours",
                "reference", "unit", "ratio", "lowest-highest", "target", "met");
    for (int width : {46, 14, 14, 10, 8, 15, 10, 6})
        std::printf("|%s", std::string(width, '-').c_str());
    std::printf("|\n");
    for (const Row& row : rows) {
        const Summary s = summarize(row);
        char target[16] = "-";
        if (row.targetRatio > 0)
            std::snprintf(target, sizeof target, "%s %.2f",
                          row.higherIsBetter ? ">=" : "<=", row.targetRatio);
        char spread[32];
        std::snprintf(spread, sizeof spread, "%.3f-%.3f", s.lowest, s.highest);
        std::printf("| %-44s | %12.3f | %12.3f | %-8s | %6.3f | %14s | %-8s | %-4s |\n",
                    row.figure.c_str(), s.value, s.reference, row.unit.c_str(), s.ratio, spread,
                    target, s.met ? "yes" : "NO");
    }
    for (const Row& row : rows)
        if (!row.note.empty())
            std::printf("  %s: %s\n", row.figure.c_str(), row.note.c_str());
}

bool BenchTable::writeJson(const std::string& path) const
{
    std::ofstream out(path, std::ios::trunc);
    out << "[\n";
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        const Summary s = summarize(row);
        out << "  {\"figure\": \"" << row.figure << "\", \"value\": " << s.value
            << ", \"reference\": " << s.reference << ", \"unit\": \"" << row.unit
            << "\", \"ratio\": " << s.ratio << ", \"ratio_lowest\": " << s.lowest
            << ", \"ratio_highest\": " << s.highest << ", \"rounds\": " << row.values.size()
            << ", \"target\": \""
            << (row.targetRatio <= 0 ? "none"
                : row.higherIsBetter ? ">= "
                                     : "<= ")
            << (row.targetRatio <= 0 ? "" : std::to_string(row.targetRatio))
            << "\", \"met\": " << (s.met ? "true" : "false") << "}"
            << (i + 1 < rows.size() ? "," : "") << "\n";
    }
    out << "]\n";
    return static_cast<bool>(out.flush());
}

bool BenchTable::allTargetsMet() const
{
    for (const Row& row : rows)
        if (!summarize(row).met)
            return false;
    return true;
}
