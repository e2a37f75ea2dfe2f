#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <stdexcept>

namespace Vorn_SCard_Bridge::bench {

namespace {

std::string number(double value) {
    char text[32];
    const double magnitude = std::fabs(value);
    if (magnitude >= 1000) {
        std::snprintf(text, sizeof text, "%.0f", value);
    } else if (magnitude >= 100) {
        std::snprintf(text, sizeof text, "%.1f", value);
    } else if (magnitude >= 10) {
        std::snprintf(text, sizeof text, "%.2f", value);
    } else {
        std::snprintf(text, sizeof text, "%.3f", value);
    }
    return text;
}

std::string spread_text(const std::vector<double>& rounds) {
    if (rounds.empty()) return "";
    const Spread s = spread_of(rounds);
    if (rounds.size() == 1) return number(s.median);
    return number(s.median) + " [" + number(s.min) + ".." + number(s.max) + "]";
}

std::vector<double> ratios(const Figure& figure) {
    std::vector<double> values;
    for (std::size_t i = 0; i < figure.subject.size() && i < figure.baseline.size(); ++i) {
        if (figure.baseline[i] != 0) values.push_back(figure.subject[i] / figure.baseline[i]);
    }
    return values;
}

nlohmann::json spread_json(const std::vector<double>& rounds) {
    const Spread s = spread_of(rounds);
    return {{"median", s.median}, {"min", s.min}, {"max", s.max}, {"rounds", rounds}};
}

}  // namespace

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
    const std::size_t index =
        rank < 1 ? 0 : std::min(values.size() - 1, static_cast<std::size_t>(rank) - 1);
    return values[index];
}

double median(const std::vector<double>& values) {
    if (values.empty()) return 0;
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

Spread spread_of(const std::vector<double>& rounds) {
    if (rounds.empty()) return {};
    return {median(rounds), *std::min_element(rounds.begin(), rounds.end()),
            *std::max_element(rounds.begin(), rounds.end())};
}

void Report::add(Figure figure) { figures_.push_back(std::move(figure)); }

void Report::add_goal(Goal goal) { goals_.push_back(std::move(goal)); }

void Report::set_info(const std::string& key, nlohmann::json value) {
    info_[key] = std::move(value);
}

const Figure* Report::find(const std::string& key) const {
    for (const Figure& figure : figures_) {
        if (figure.key == key) return &figure;
    }
    return nullptr;
}

std::vector<const Figure*> Report::with_prefix(const std::string& prefix) const {
    std::vector<const Figure*> found;
    for (const Figure& figure : figures_) {
        if (figure.key.starts_with(prefix)) found.push_back(&figure);
    }
    return found;
}

void Report::add_micro_benchmarks(const std::filesystem::path& json_path) {
    std::ifstream in(json_path);
    if (!in) throw std::runtime_error("cannot read " + json_path.string());
    const nlohmann::json results = nlohmann::json::parse(in);
    // Every repetition is one round; the aggregates are recomputed here.
    std::vector<std::string> order;
    std::map<std::string, std::vector<double>> times;
    for (const nlohmann::json& run : results.at("benchmarks")) {
        if (run.value("run_type", "") != "iteration") continue;
        const std::string name = run.value("run_name", run.value("name", ""));
        const std::string unit = run.value("time_unit", "ns");
        double scale = 1;
        if (unit == "us") scale = 1e3;
        if (unit == "ms") scale = 1e6;
        if (unit == "s") scale = 1e9;
        if (times.find(name) == times.end()) order.push_back(name);
        // CPU time: on a shared machine the wall time of a one-thread benchmark
        // mostly measures who else was running. Benchmarks that measure waiting
        // ask for wall time ("/real_time").
        const bool wall = name.find("/real_time") != std::string::npos;
        times[name].push_back(run.at(wall ? "real_time" : "cpu_time").get<double>() * scale);
    }
    for (const std::string& name : order) {
        const bool wall = name.find("/real_time") != std::string::npos;
        Figure figure("micro/" + name, name, wall ? "ns wall" : "ns CPU");
        figure.subject = times[name];
        figure.subject_name = "";
        figure.with_ratio = false;
        figures_.push_back(std::move(figure));
    }
}

void Report::print_table(std::ostream& out) const {
    char line[512];
    std::snprintf(line, sizeof line, "%-50s %-8s %-28s %-36s %s\n", "figure (median [min..max])",
                  "unit", "subject", "yardstick", "ratio");
    out << line << std::string(140, '-') << "\n";
    for (const Figure& figure : figures_) {
        const std::string subject = (figure.subject_name.empty() ? "" : figure.subject_name + " ") +
                                    spread_text(figure.subject);
        const std::string baseline =
            figure.baseline.empty() ? ""
                                    : figure.baseline_name + " " + spread_text(figure.baseline);
        const std::string ratio =
            figure.with_ratio && !figure.baseline.empty() ? spread_text(ratios(figure)) : "";
        std::snprintf(line, sizeof line, "%-50s %-8s %-28s %-36s %s\n", figure.label.c_str(),
                      figure.unit.c_str(), subject.c_str(), baseline.c_str(), ratio.c_str());
        out << line;
    }
    if (goals_.empty()) return;
    // Markdown, to be pasted as it is.
    const std::string reference = info_.value("reference_label", std::string("reference"));
    out << "\n| Goal | Host | " << reference << " | Echo | Verdict |\n|---|---|---|---|---|\n";
    for (const Goal& goal : goals_) {
        out << "| " << goal.description << " | " << goal.host << " | " << goal.reference << " | "
            << goal.echo << " | " << goal.verdict << " |\n";
    }
    out << "\nCells: median of the rounds [smallest-largest round]; ratios round by round.\n";
}

nlohmann::json Report::to_json() const {
    nlohmann::json figures = nlohmann::json::object();
    for (const Figure& figure : figures_) {
        nlohmann::json entry = {{"label", figure.label}, {"unit", figure.unit}};
        entry[figure.subject_name.empty() ? "value" : figure.subject_name] =
            spread_json(figure.subject);
        if (!figure.baseline.empty()) {
            entry[figure.baseline_name] = spread_json(figure.baseline);
            const std::vector<double> paired = ratios(figure);
            if (figure.with_ratio && !paired.empty()) entry["ratio"] = spread_json(paired);
        }
        figures[figure.key] = entry;
    }
    nlohmann::json goals = nlohmann::json::object();
    for (const Goal& goal : goals_) {
        goals[goal.key] = {{"description", goal.description},
                           {"host", goal.host},
                           {"reference", goal.reference},
                           {"echo", goal.echo},
                           {"verdict", goal.verdict}};
    }
    return {{"info", info_}, {"figures", figures}, {"goals", goals}};
}

}  // namespace Vorn_SCard_Bridge::bench
