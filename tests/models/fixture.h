// Shared set-up of the device models' own tests: a fresh simulated Pi (exact
// timing unless asked otherwise) wired from a scenario text, and short ways to
// read what the models show and report.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/board.h"
#include "core/scenario.h"
#include "support/run_program.h"

namespace modeltest {

using namespace pikit::sim;

// Exact timing: pin calls cost nothing, so the times tests see are the
// program's delays alone.
inline Options exact() {
    Options o;
    o.pin_call_cost = 0;
    return o;
}

struct Bench {
    explicit Bench(const std::string& scenario_yaml = "", Options o = exact()) : board(std::move(o)) {
        if (!scenario_yaml.empty()) load_scenario_text(board, scenario_yaml);
    }

    template <class D>
    D& device(const std::string& name) {
        Device* d = board.find(name);
        if (!d) throw std::invalid_argument("no device '" + name + "'");
        return dynamic_cast<D&>(*d);
    }

    // Every value a device showed under `key`, in order, with the first.
    std::vector<Shown> values(const std::string& device, const std::string& key) const {
        std::vector<Shown> out;
        for (const auto& c : board.shown_history(device, key)) out.push_back(c.value);
        return out;
    }

    Board board;
};

// Reports as readable lines, for failure messages and EXPECT_EQ(..., "").
inline std::string texts(const std::vector<Report>& rs) {
    std::string s;
    for (const auto& r : rs) s += "[" + r.source + "] " + r.text + "\n";
    return s;
}

inline std::string breaches(const Board& b) { return texts(b.reports(ReportKind::Breach)); }

// The one-line message a scenario is refused with, as the user would read
// it; "accepted" when it loads.
inline std::string refusal(const std::string& yaml, const std::string& file) {
    Board board(exact());
    try {
        load_scenario_text(board, yaml, file);
    } catch (const ScenarioError& e) {
        return e.what();
    }
    return "accepted";
}

}  // namespace modeltest
