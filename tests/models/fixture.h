// Shared set-up of the device models' own tests: a fresh simulated Pi (exact
// timing unless asked otherwise) wired from a scenario text, and short ways to
// read what the models show and report.
#pragma once

#include <gtest/gtest.h>

#include <optional>
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

    // ---- what a device shows over time, as a person watching would check it ----
    // Runs the board on for `window` and succeeds when `device` showed
    // `value` under `key` at some instant of it (already showing it counts),
    // saying when; the failure lists what it showed instead.
    ::testing::AssertionResult shown_within(const std::string& device, const std::string& key, const Shown& value, Time window) {
        const Time from = board.now();
        board.run_until(from + window);
        std::optional<Time> at;
        std::string seen;
        for (const auto& c : board.shown_history(device, key)) {
            if (c.at > from + window) break;
            const bool now = c.value == value;
            if (c.at <= from) {
                at = now ? std::optional<Time>(from) : std::nullopt;
                continue;
            }
            seen += " " + c.value.text() + " at " + format_duration(c.at) + ";";
            if (now && !at) at = c.at;
        }
        if (at)
            return ::testing::AssertionSuccess()
                   << device << " showed " << key << " " << value.text() << " at " << format_duration(*at);
        return ::testing::AssertionFailure()
               << device << " did not show " << key << " " << value.text() << " between " << format_duration(from) << " and "
               << format_duration(from + window) << " (it showed" << (seen.empty() ? " nothing new" : seen) << ")";
    }
    // Runs the board on for `span` and succeeds when `device` showed `value`
    // under `key` all along: from now to the end, without a change.
    ::testing::AssertionResult held(const std::string& device, const std::string& key, const Shown& value, Time span) {
        const Time from = board.now();
        board.run_until(from + span);
        std::optional<Shown> last;
        for (const auto& c : board.shown_history(device, key)) {
            if (c.at > from + span) break;
            if (c.at > from && !(c.value == value))
                return ::testing::AssertionFailure()
                       << device << " showed " << key << " " << c.value.text() << " at " << format_duration(c.at)
                       << ", within the " << format_duration(span) << " it should have held " << value.text() << " from "
                       << format_duration(from);
            if (c.at <= from) last = c.value;
        }
        if (!last || !(*last == value))
            return ::testing::AssertionFailure()
                   << device << " showed " << key << " " << (last ? last->text() : std::string("nothing")) << " at "
                   << format_duration(from) << ", not " << value.text();
        return ::testing::AssertionSuccess();
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
