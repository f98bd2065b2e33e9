#pragma once

#include <string>
#include <vector>

// The benchmark's results: each figure beside the reference measured in the same
// rounds, the median of the rounds' ratios with the lowest and highest beside it,
// and the target the median ratio must meet.
class BenchTable
{
public:
    struct Row
    {
        std::string figure;
        // One value and one reference per round, in the order they were taken.
        std::vector<double> values;
        std::vector<double> references;
        std::string unit;
        // Which way the ratio value/reference must go.
        bool higherIsBetter;
        double targetRatio;
        std::string note;
    };

    void add(Row row) { rows.push_back(std::move(row)); }
    void print() const;
    bool writeJson(const std::string& path) const;
    bool allTargetsMet() const;

    static double median(std::vector<double> values);

private:
    struct Summary
    {
        double value, reference, ratio, lowest, highest;
        bool met;
    };
    static Summary summarize(const Row& row);
    std::vector<Row> rows;
};
