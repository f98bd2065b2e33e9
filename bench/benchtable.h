#pragma once

#include <string>
#include <vector>

// The benchmark's results: each figure beside the reference measured in the same
// run, their ratio and the target the ratio must meet.
class BenchTable
{
public:
    struct Row
    {
        std::string figure;
        double value;
        double reference;
        std::string unit;
        // "higher" or "lower": which way the ratio value/reference must go.
        bool higherIsBetter;
        double targetRatio;
        std::string note;
    };

    void add(Row row) { rows.push_back(std::move(row)); }
    void print() const;
    bool writeJson(const std::string& path) const;
    bool allTargetsMet() const;

private:
    static double ratio(const Row& row);
    static bool met(const Row& row);
    std::vector<Row> rows;
};
