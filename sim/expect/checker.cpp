#include "checker.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "core/board.h"

namespace pikit::sim::expect {

namespace {

constexpr std::size_t kRecentBytes = 400;

std::optional<double> number_of(const std::string& text) {
    if (auto i = parse_integer(text)) return static_cast<double>(*i);
    if (text.size() > 1 && text[0] == '-')
        if (auto i = parse_integer(text.substr(1))) return -static_cast<double>(*i);
    return parse_decimal(text);
}

bool scalar_matches(const std::string& expected, const nlohmann::json& actual) {
    if (actual.is_boolean()) {
        const bool a = actual.get<bool>();
        if (expected == "true" || expected == "on") return a;
        if (expected == "false" || expected == "off") return !a;
        return false;
    }
    if (actual.is_number()) {
        const auto e = number_of(expected);
        if (!e) return false;
        const double a = actual.get<double>();
        return std::fabs(a - *e) <= 1e-9 * std::max(1.0, std::fabs(*e));
    }
    if (actual.is_string()) return actual.get<std::string>() == expected;
    return false;
}

std::string quoted(const std::string& s) { return nlohmann::json(s).dump(); }

std::string at_words(Time t) { return format_duration(t); }

}  // namespace

const char* to_string(Result r) {
    switch (r) {
    case Result::Pending: return "pending";
    case Result::Held: return "held";
    case Result::Failed: return "failed";
    case Result::NotChecked: return "not checked";
    }
    return "?";
}

bool matches(const ValueMatch& m, const nlohmann::json& actual) {
    if (actual.is_null()) return false;
    if (m.scalar) return scalar_matches(*m.scalar, actual);
    if (m.is_fields()) {
        if (!actual.is_object()) return false;
        for (const auto& [k, v] : m.fields) {
            auto it = actual.find(k);
            if (it == actual.end() || !scalar_matches(v, *it)) return false;
        }
        return true;
    }
    if (!actual.is_number()) return false;
    const double a = actual.get<double>();
    return (!m.min || a >= *m.min) && (!m.max || a <= *m.max);
}

std::string show_value(const nlohmann::json& actual) {
    if (actual.is_null()) return "nothing yet";
    if (actual.is_object()) {
        std::string s = "{";
        for (auto it = actual.begin(); it != actual.end(); ++it)
            s += (s.size() > 1 ? ", " : "") + it.key() + ": " + show_value(it.value());
        return s + "}";
    }
    if (actual.is_number_float()) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%g", actual.get<double>());
        return buf;
    }
    return actual.dump();
}

Checker::Checker(std::vector<Expectation> list, const std::string& results, Options options)
    : list_(std::move(list)), outcomes_(list_.size()), options_(std::move(options)) {
    for (const Expectation& e : list_)
        if (e.kind == Kind::Stdout) longest_text_ = std::max(longest_text_, e.text.size());
    if (!results.empty()) {
        file_ = std::fopen(results.c_str(), "we");
        if (!file_) error_ = std::strerror(errno);
    }
    // The run ends as at its limit, at once: virtual time does not run on
    // while the program is told.
    if (!options_.stop)
        options_.stop = [this] {
            if (board_) board_->limit_now();
            else kill(getpid(), SIGTERM);
        };
}

Checker::~Checker() {
    if (file_) std::fclose(file_);
}

void Checker::write(const nlohmann::json& j) {
    if (!file_) return;
    const std::string line = j.dump() + "\n";
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
}

void Checker::attach(Board& board) {
    board_ = &board;
    board.apply([&] {
        for (std::size_t i = 0; i < list_.size(); ++i) {
            const Expectation& e = list_[i];
            if (e.kind == Kind::Pin && e.when == When::At) {
                // Once everything due at the instant has happened.
                board.schedule(add_time(e.from, 1), [this, i] { look_at_pin(i); });
            } else if (e.when != When::End && e.to != kNever) {
                // Nothing else might happen soon after the deadline: look then.
                board.schedule(add_time(e.to, 1), [this, &board] {
                    if (!stopped_ && !ended_) advance(board.now());
                });
            }
        }
    });
}

void Checker::decide(std::size_t i, Result r, Time at, const std::string& detail) {
    if (outcomes_[i].result != Result::Pending) return;
    outcomes_[i] = Outcome{r, at, detail};
    write({{"expectation", i}, {"result", to_string(r)}, {"t_ns", at}, {"name", list_[i].name}, {"detail", detail}});
    if (r == Result::Failed && options_.stop_on_failure) maybe_stop(at, true);
    else if (options_.stop_when_decided && !stopped_ && !ended_ && decided_enough()) maybe_stop(at, false);
}

void Checker::maybe_stop(Time at, bool failure) {
    if (stopped_ || ended_) return;
    stopped_ = true;
    stopped_after_failure_ = failure;
    stopped_at_ = at;
    options_.stop();
}

std::string Checker::last_output() const {
    if (recent_.empty()) return "the program had written nothing";
    // The last line that has something in it.
    std::string s = recent_;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    const auto nl = s.rfind('\n');
    const std::string line = nl == std::string::npos ? s : s.substr(nl + 1);
    return "the last line it had written was " + quoted(line);
}

std::string Checker::value_words(const std::string& device, const std::string& key) const {
    auto it = shown_.find({device, key});
    if (it == shown_.end()) return "it had shown no " + key + " yet";
    return "it showed " + show_value(it->second.value) + " (since " + at_words(it->second.since) + ")";
}

// The time between the last events taken and `t` has passed: what was shown
// at the end of the last instant held from then until just before `t`.
void Checker::advance(Time t) {
    if (t <= last_) return;
    const Time lo = last_, hi = t - 1;
    for (std::size_t i = 0; i < list_.size(); ++i) {
        if (outcomes_[i].result != Result::Pending) continue;
        const Expectation& e = list_[i];
        switch (e.kind) {
        case Kind::Shows: decide_shows(i, lo, hi); break;
        case Kind::Stdout:
            if (e.to > hi) break;
            if (e.never) decide(i, Result::Held, e.to, "not written");
            else decide(i, Result::Failed, e.to, "not written by " + at_words(e.to) + "; " + last_output());
            break;
        case Kind::NoReport:
            if (e.to <= hi) decide(i, Result::Held, e.to, "none reported");
            break;
        case Kind::Exit:
            if (e.to <= hi) decide(i, Result::Failed, e.to, "the program was still running at " + at_words(e.to));
            break;
        case Kind::Pin: break;  // looked at by its own scheduled event
        }
    }
    last_ = t;
    if (options_.stop_when_decided && !stopped_ && decided_enough()) maybe_stop(lo, false);
}

// Whether the run has nothing more to show: everything expected at a time
// is decided, and what is left waits only for the end (a value at the end,
// a text or a report that must never come). What may still come later (a
// text or a value expected at any time, the program's own exit) keeps the
// run going, and so does a test that expects nothing at a time at all.
bool Checker::decided_enough() const {
    bool timed = false;
    for (std::size_t i = 0; i < list_.size(); ++i) {
        const Expectation& e = list_[i];
        const bool pending = outcomes_[i].result == Result::Pending;
        if (pending && e.kind == Kind::Exit) return false;
        if (e.when != When::End && e.to != kNever) {
            timed = true;
            if (pending) return false;
        } else if (pending && !(e.when == When::End || e.never || e.kind == Kind::NoReport)) {
            return false;
        }
    }
    return timed;
}

// A shown value: what was in force over [lo, hi].
void Checker::decide_shows(std::size_t i, Time lo, Time hi) {
    const Expectation& e = list_[i];
    if (e.when == When::End) return;
    auto it = shown_.find({e.device, e.key});
    const nlohmann::json none;
    const nlohmann::json& v = it == shown_.end() ? none : it->second.value;
    const bool match = matches(e.value, v);
    const std::string seen = value_words(e.device, e.key);
    const bool overlaps = lo <= e.to && e.from <= hi;
    switch (e.when) {
    case When::At:
        if (overlaps) {
            if (match) decide(i, Result::Held, e.from, seen);
            else decide(i, Result::Failed, e.from, "at " + at_words(e.from) + " " + seen);
        }
        break;
    case When::Ever:
        if (overlaps && match) decide(i, Result::Held, std::max(lo, e.from), seen);
        else if (e.to <= hi) {
            const std::string span =
                e.from == 0 ? "by " + at_words(e.to) : "between " + at_words(e.from) + " and " + at_words(e.to);
            decide(i, Result::Failed, e.to, "not shown " + span + "; at " + at_words(e.to) + " " + seen);
        }
        break;
    case When::During:
        if (overlaps && match == e.never) {
            const Time when = std::max(lo, e.from);
            decide(i, Result::Failed, when, "at " + at_words(when) + " " + seen);
        } else if (e.to <= hi) {
            decide(i, Result::Held, e.to, seen);
        }
        break;
    case When::End: break;
    }
}

void Checker::look_at_pin(std::size_t i) {
    if (stopped_ || ended_ || !board_) return;
    advance(board_->now());
    decide_pin(i, list_[i].from, false);
}

void Checker::decide_pin(std::size_t i, Time at, bool end) {
    const Expectation& e = list_[i];
    const bool high = board_ && is_high(board_->level(e.pin));
    const bool floating = !board_ || board_->floating(e.pin);
    const std::string seen = pin_name(e.pin) + " was " + (floating ? "floating" : high ? "high" : "low");
    const std::string when = end ? "at the end (" + at_words(at) + ")" : "at " + at_words(at);
    if (!floating && high == e.high) decide(i, Result::Held, at, seen + " " + when);
    else decide(i, Result::Failed, at, seen + " " + when);
}

void Checker::on_stdout(Time at, const std::string& text) {
    const std::size_t old = tail_.size();
    tail_ += text;
    recent_ += text;
    if (recent_.size() > kRecentBytes) recent_.erase(0, recent_.size() - kRecentBytes);
    for (std::size_t i = 0; i < list_.size(); ++i) {
        const Expectation& e = list_[i];
        if (e.kind != Kind::Stdout || outcomes_[i].result != Result::Pending) continue;
        if (at < e.from || at > e.to) continue;
        // Only a match that ends in what was just written counts now.
        const std::size_t start = old >= e.text.size() ? old - e.text.size() + 1 : 0;
        if (tail_.find(e.text, start) == std::string::npos) continue;
        if (e.never) decide(i, Result::Failed, at, "written at " + at_words(at) + "; " + last_output());
        else decide(i, Result::Held, at, "written at " + at_words(at));
    }
    // Keep as much as a text looked for could need from before.
    const std::size_t keep = longest_text_ > 0 ? longest_text_ - 1 : 0;
    if (tail_.size() > keep) tail_.erase(0, tail_.size() - keep);
}

void Checker::on_report(Time at, const nlohmann::json& ev) {
    const std::string kind = ev.value("kind", "");
    const std::string device = ev["device"].is_string() ? ev["device"].get<std::string>() : "board";
    for (std::size_t i = 0; i < list_.size(); ++i) {
        const Expectation& e = list_[i];
        if (e.kind != Kind::NoReport || outcomes_[i].result != Result::Pending) continue;
        if (at < e.from || at > e.to) continue;
        if (!e.device.empty() && e.device != device) continue;
        if (std::find(e.report_kinds.begin(), e.report_kinds.end(), kind) == e.report_kinds.end()) continue;
        const char* article = kind == "info" || kind == "error" ? "an " : "a ";
        decide(i, Result::Failed, at,
               ev.value("source", device) + " reported " + article + kind + " at " + at_words(at) + ": " + ev.value("text", ""));
    }
}

void Checker::on_end(Time at, const std::string& reason) {
    // The end's instant is part of the run; after an early stop, what came
    // later no longer counts.
    if (!stopped_) advance(add_time(at, 1));
    ended_ = true;
    for (std::size_t i = 0; i < list_.size(); ++i) {
        if (outcomes_[i].result != Result::Pending) continue;
        const Expectation& e = list_[i];
        if (stopped_after_failure_) {
            decide(i, Result::NotChecked, at, "the run was ended at " + at_words(stopped_at_) + " after a failed expectation");
            continue;
        }
        if (e.kind == Kind::Pin && (e.when == When::End || e.from <= at)) {
            // At the end, or at the end's own instant: the level now.
            decide_pin(i, e.when == When::End ? at : e.from, e.when == When::End);
            continue;
        }
        if (e.when == When::End) {
            if (e.kind == Kind::Shows) {
                auto it = shown_.find({e.device, e.key});
                const bool match = it != shown_.end() && matches(e.value, it->second.value);
                const std::string seen = value_words(e.device, e.key);
                decide(i, match ? Result::Held : Result::Failed, at, (match ? "" : "at the end (" + at_words(at) + ") ") + seen);
            }
            continue;
        }
        if (e.kind == Kind::Exit) continue;  // pikit test has the status
        if (e.to == kNever) {
            // The whole run was the span.
            if (e.kind == Kind::NoReport || e.never) decide(i, Result::Held, at, "the run ended at " + at_words(at));
            else if (e.kind == Kind::Stdout)
                decide(i, Result::Failed, at,
                       "never written; the run ended at " + at_words(at) + " (" + reason + "); " + last_output());
            else
                decide(i, Result::Failed, at,
                       "never shown; the run ended at " + at_words(at) + " (" + reason + "); " + value_words(e.device, e.key));
            continue;
        }
        std::string seen;
        if (e.kind == Kind::Stdout) seen = "; " + last_output();
        else if (e.kind == Kind::Shows) seen = "; " + value_words(e.device, e.key);
        decide(i, Result::Failed, at,
               "not reached: the run ended at " + at_words(at) + " (" + reason + ") before " + at_words(e.to) + seen);
    }
    write({{"end", reason}, {"t_ns", at}, {"stopped", stopped_}});
}

void Checker::on_event(Time at, const char* event, const std::string& line) {
    if (ended_) return;
    const bool end = std::strcmp(event, "end") == 0;
    const bool show = std::strcmp(event, "show") == 0, out = std::strcmp(event, "stdout") == 0,
               report = std::strcmp(event, "report") == 0;
    if (!show && !out && !report && !end) return;
    nlohmann::json ev = nlohmann::json::parse(line, nullptr, false);
    if (ev.is_discarded()) return;
    if (end) {
        on_end(at, ev.value("reason", "end"));
        return;
    }
    // Once the run is being ended, only what it shows at its end counts:
    // the values are followed, nothing is decided before the end.
    if (!stopped_) advance(at);
    if (show) {
        Value& v = shown_[{ev.value("device", ""), ev.value("key", "")}];
        v.value = ev["value"];
        v.since = at;
    } else if (stopped_) {
        return;
    } else if (out) {
        on_stdout(at, ev.value("text", ""));
    } else {
        on_report(at, ev);
    }
}

}  // namespace pikit::sim::expect
