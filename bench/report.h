#pragma once

// Figures of a benchmark run: each is measured once per round for the host (the
// subject) and, side by side in the same round, for its yardstick (the framed
// echo or the direct PC/SC call). A figure is reported as the median over the
// rounds with the smallest and largest round as its spread; the ratio is taken
// round by round, so a machine that drifts during the run moves both sides.

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace Vorn_SCard_Bridge::bench {

// Nearest-rank percentile (0..100) of the values; 0 for none.
double percentile(std::vector<double> values, double p);
double median(const std::vector<double>& values);

struct Spread {
    double median = 0;
    double min = 0;
    double max = 0;
};
Spread spread_of(const std::vector<double>& rounds);

struct Figure {
    Figure(std::string key_, std::string label_, std::string unit_)
        : key(std::move(key_)), label(std::move(label_)), unit(std::move(unit_)) {}

    std::string key;    // JSON name
    std::string label;  // table text
    std::string unit;
    std::vector<double> subject;  // per round
    std::string subject_name = "host";
    std::vector<double> baseline;  // per round, same rounds; may be empty
    std::string baseline_name;
    bool with_ratio = true;  // subject / baseline, round by round
};

// One goal, the host's figure against it, the reference host's and the echo's.
struct Goal {
    std::string key;
    std::string description;  // what is asked
    std::string host;
    std::string reference;
    std::string echo;
    std::string verdict;  // "met", "missed by ...", "not measured"
};

class Report {
public:
    void add(Figure figure);
    void add_goal(Goal goal);
    void set_info(const std::string& key, nlohmann::json value);
    // Merges Google Benchmark's JSON output (run with repetitions): one figure
    // per benchmark, its CPU nanoseconds per iteration, one round per repetition.
    void add_micro_benchmarks(const std::filesystem::path& json_path);

    const Figure* find(const std::string& key) const;
    std::vector<const Figure*> with_prefix(const std::string& prefix) const;

    void print_table(std::ostream& out) const;
    nlohmann::json to_json() const;

private:
    std::vector<Figure> figures_;
    std::vector<Goal> goals_;
    nlohmann::json info_ = nlohmann::json::object();
};

}  // namespace Vorn_SCard_Bridge::bench
