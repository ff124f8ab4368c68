// Checks a scenario's expectations as the run goes, inside the program's
// process, for `pikit test` (which names a results file in PIKIT_SIM_EXPECT).
//
// It follows the run's event stream (what the program writes, what the
// modules show, what is reported, the run's end) and looks at the header
// pins at the instants the expectations name. Each expectation is decided
// as soon as it can be (held, failed, or not checked), and written to the
// results file at once, one JSON object per line, so that a program that
// crashes leaves what was decided before:
//
//   {"expectation":0,"result":"held","t_ns":1450000000,"name":"...","detail":"..."}
//   {"expectation":1,"result":"failed","t_ns":3000000001,"name":"...","detail":"..."}
//   {"end":"exit","t_ns":5200000000,"stopped":false}
//
// "detail" says what was seen: for a failure, what was there instead. The
// exit expectations are decided by `pikit test`, which alone learns the
// status; the checker fails one only when the program is still running at
// its `by`. When one has failed, or everything expected at a time is decided
// and nothing left may still come (decided_enough), it ends the run as
// the run limit does (Board::limit_now: SIGTERM at this instant), unless told to go on. After that only what the
// run shows at its end counts (the LEDs a program switches off as it goes).
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/events.h"
#include "expectation.h"

namespace pikit::sim {
class Board;
}

namespace pikit::sim::expect {

enum class Result : unsigned char { Pending, Held, Failed, NotChecked };
const char* to_string(Result r);

// Whether `actual` (a shown value as the event stream writes it) is what
// `m` expects.
bool matches(const ValueMatch& m, const nlohmann::json& actual);
// A shown value for a person: "\" 7.0\"", "true", "0.5", "{red: 1, ...}".
std::string show_value(const nlohmann::json& actual);

class Checker final : public EventListener {
public:
    struct Options {
        bool stop_on_failure = true;    // end the run at the first failure
        bool stop_when_decided = true;  // end the run once everything is decided
        // What ends the run early; default: the run limit, now.
        std::function<void()> stop;
    };

    // `results`: the file to write (made or emptied now); empty: keep the
    // results in memory only (tests).
    Checker(std::vector<Expectation> list, const std::string& results, Options options);
    ~Checker() override;
    Checker(const Checker&) = delete;
    Checker& operator=(const Checker&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    // Schedules the looks at the instants the expectations name. Call once
    // the scenario is wired, before the program starts.
    void attach(Board& board);

    void on_event(Time at, const char* event, const std::string& line) override;

    struct Outcome {
        Result result = Result::Pending;
        Time at = 0;
        std::string detail;
    };
    const std::vector<Outcome>& outcomes() const { return outcomes_; }
    const std::vector<Expectation>& expectations() const { return list_; }

private:
    struct Value {
        nlohmann::json value;
        Time since = 0;
    };

    void advance(Time t);
    void decide_shows(std::size_t i, Time lo, Time hi);
    void look_at_pin(std::size_t i);
    void decide_pin(std::size_t i, Time at, bool end);
    void on_stdout(Time at, const std::string& text);
    void on_report(Time at, const nlohmann::json& ev);
    void on_end(Time at, const std::string& reason);
    void decide(std::size_t i, Result r, Time at, const std::string& detail);
    void maybe_stop(Time at, bool failure);
    bool decided_enough() const;
    void write(const nlohmann::json& j);
    std::string last_output() const;
    std::string value_words(const std::string& device, const std::string& key) const;

    std::vector<Expectation> list_;
    std::vector<Outcome> outcomes_;
    Options options_;
    std::FILE* file_ = nullptr;
    std::string error_;
    Board* board_ = nullptr;

    Time last_ = 0;  // the instant whose events are being taken
    std::map<std::pair<std::string, std::string>, Value> shown_;
    std::string tail_;  // the end of what the program wrote, for texts across writes
    std::size_t longest_text_ = 0;
    std::string recent_;  // the last few hundred bytes of output, for messages
    bool stopped_ = false;
    bool stopped_after_failure_ = false;
    Time stopped_at_ = 0;
    bool ended_ = false;
};

}  // namespace pikit::sim::expect
