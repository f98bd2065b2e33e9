#include "benchtable.h"

#include <cstdio>
#include <fstream>

double BenchTable::ratio(const Row& row)
{
    return row.reference != 0 ? row.value / row.reference : 0;
}

bool BenchTable::met(const Row& row)
{
    if (row.targetRatio <= 0)
        return true;
    return row.higherIsBetter ? ratio(row) >= row.targetRatio : ratio(row) <= row.targetRatio;
}

void BenchTable::print() const
{
    std::printf("| %-44s | %14s | %14s | %-8s | %6s | %-8s | %-4s |\n", "figure", "ours",
                "reference", "unit", "ratio", "target", "met");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(46, '-').c_str(),
                std::string(16, '-').c_str(), std::string(16, '-').c_str(),
                std::string(10, '-').c_str(), std::string(8, '-').c_str(),
                std::string(10, '-').c_str(), std::string(6, '-').c_str());
    for (const Row& row : rows) {
        char target[16] = "-";
        if (row.targetRatio > 0)
            std::snprintf(target, sizeof target, "%s %.2f",
                          row.higherIsBetter ? ">=" : "<=", row.targetRatio);
        std::printf("| %-44s | %14.3f | %14.3f | %-8s | %6.3f | %-8s | %-4s |\n",
                    row.figure.c_str(), row.value, row.reference, row.unit.c_str(), ratio(row),
                    target, met(row) ? "yes" : "NO");
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
        out << "  {\"figure\": \"" << row.figure << "\", \"value\": " << row.value
            << ", \"reference\": " << row.reference << ", \"unit\": \"" << row.unit
            << "\", \"ratio\": " << ratio(row) << ", \"target\": \""
            << (row.targetRatio <= 0 ? "none"
                : row.higherIsBetter ? ">= "
                                     : "<= ")
            << (row.targetRatio <= 0 ? "" : std::to_string(row.targetRatio))
            << "\", \"met\": " << (met(row) ? "true" : "false") << "}"
            << (i + 1 < rows.size() ? "," : "") << "\n";
    }
    out << "]\n";
    return static_cast<bool>(out.flush());
}

bool BenchTable::allTargetsMet() const
{
    for (const Row& row : rows)
        if (!met(row))
            return false;
    return true;
}
