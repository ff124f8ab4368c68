// The problems found in a scenario. A scenario is checked whole: every bad
// value, missing or unknown key is collected here, so that its writer sees
// them all at once rather than one per try.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "config.h"

namespace pikit::sim {

// The problems found in a scenario, in the order of the scenario, each one
// complete line "<file>: <where>: <why> '<value>'".
class Problems {
public:
    void add(std::string line) { lines_.push_back(std::move(line)); }
    // Runs `read`; a ScenarioError it throws becomes a problem. False then.
    template <class F>
    bool guard(F&& read) {
        try {
            read();
            return true;
        } catch (const ScenarioError& e) {
            add(e.what());
            return false;
        }
    }
    bool empty() const { return lines_.empty(); }
    std::size_t size() const { return lines_.size(); }
    const std::vector<std::string>& lines() const { return lines_; }
    // The first problem as an exception, for callers that stop at one.
    void throw_first() const {
        if (!lines_.empty()) throw ScenarioError(lines_.front());
    }

private:
    std::vector<std::string> lines_;
};

}  // namespace pikit::sim
