#include "expectation.h"

#include "core/setting.h"

#include <algorithm>
#include <cmath>

namespace pikit::sim::expect {

namespace {

const char* const kReportKinds[] = {"info", "breach", "contention", "fault", "error"};

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (char ch : s) {
        if (ch == '\n') out += "\\n";
        else if (ch == '"') out += "\\\"";
        else out += ch;
    }
    return out + "\"";
}

Time duration_at(const Config& c, const char* key, const YAML::Node& v) {
    if (!v.IsScalar()) c.fail(key, "expected a duration (e.g. 500ms, 2s)");
    const auto t = parse_duration(v.Scalar());
    if (!t) c.fail(key, "expected durations (e.g. 500ms, 2s)");
    return *t;
}

// `within: [1s, 3s]`, `during: [1s, 3s]`: a span of two times, in order.
void read_span(const Config& c, const char* key, Expectation& e) {
    const YAML::Node v = c.node()[key];
    if (!v.IsSequence() || v.size() != 2) c.fail(key, "expected a span of two times, [from, to], such as [1s, 3s]");
    e.from = duration_at(c, key, v[0]);
    e.to = duration_at(c, key, v[1]);
    if (e.to < e.from) c.fail(key, "the span ends before it begins");
}

// The time words an expectation takes: at most one of at, by, within,
// during; which ones make sense depends on its kind.
void read_when(const Config& c, Expectation& e, bool at, bool by, bool within, bool during) {
    const char* given = nullptr;
    for (const char* k : {"at", "by", "within", "during"}) {
        if (!c.has(k)) continue;
        const bool allowed = (k[0] == 'a' && at) || (k[0] == 'b' && by) || (k[0] == 'w' && within) || (k[0] == 'd' && during);
        if (!allowed) {
            std::string ok;
            if (at) ok += "at";
            if (by) ok += std::string(ok.empty() ? "" : ", ") + "by";
            if (within) ok += std::string(ok.empty() ? "" : ", ") + "within";
            if (during) ok += std::string(ok.empty() ? "" : ", ") + "during";
            c.fail(k, "not a time this expectation takes" + (ok.empty() ? std::string() : " (it takes " + ok + ")"));
        }
        if (given) c.fail(k, std::string("one time only: already given '") + given + "'");
        given = k;
    }
    if (!given) return;
    const std::string k = given;
    if (k == "at") {
        if (c.text("at") == "end") {
            e.when = When::End;
            return;
        }
        e.when = When::At;
        e.from = e.to = c.duration("at");
    } else if (k == "by") {
        e.when = When::Ever;
        e.from = 0;
        e.to = c.duration("by");
    } else if (k == "within") {
        e.when = When::Ever;
        read_span(c, "within", e);
    } else {
        e.when = When::During;
        read_span(c, "during", e);
    }
}

std::string time_words(const Expectation& e) {
    switch (e.when) {
    case When::At: return " at " + format_duration(e.from);
    case When::End: return " at the end";
    case When::During:
        if (e.to == kNever) return e.from == 0 ? "" : " from " + format_duration(e.from) + " on";
        if (e.from == 0) return " until " + format_duration(e.to);
        return " from " + format_duration(e.from) + " to " + format_duration(e.to);
    case When::Ever:
        if (e.to == kNever && e.from == 0) return "";
        if (e.from == 0) return " by " + format_duration(e.to);
        return " between " + format_duration(e.from) + " and " + format_duration(e.to);
    }
    return "";
}

ValueMatch read_value(const Config& c) {
    ValueMatch m;
    const bool value = c.has("value"), min = c.has("min"), max = c.has("max");
    if (!value && !min && !max) c.fail_here("a value to expect: value, or min and/or max");
    if (value && (min || max)) c.fail(min ? "min" : "max", "either value or a range (min, max), not both");
    if (value) {
        const YAML::Node v = c.node()["value"];
        if (v.IsScalar()) {
            m.scalar = v.Scalar();
        } else if (v.IsMap() && v.size() > 0) {
            for (const auto& kv : v) {
                if (!kv.first.IsScalar() || !kv.second.IsScalar())
                    c.fail("value", "a record's fields are plain names and plain values");
                m.fields.emplace_back(kv.first.Scalar(), kv.second.Scalar());
            }
        } else {
            c.fail("value", "expected a value, or a mapping of a record's fields");
        }
    }
    if (min) m.min = c.number("min");
    if (max) m.max = c.number("max");
    if (m.min && m.max && *m.max < *m.min) c.fail("max", "below min");
    return m;
}

bool device_in_scenario(const Config& root, const std::string& name) {
    const YAML::Node devices = root.node()["devices"];
    if (!devices || !devices.IsSequence()) return false;
    for (const auto& d : devices) {
        if (!d.IsMap()) continue;
        const YAML::Node n = d["name"] ? d["name"] : d["type"];
        if (n && n.IsScalar() && n.Scalar() == name) return true;
    }
    return false;
}

}  // namespace

Time Expectation::deadline() const { return when == When::End ? kNever : to; }

std::string describe(const ValueMatch& m) {
    if (m.scalar) {
        const std::string& v = *m.scalar;
        // A text whose blanks matter (a display's digits) reads as written.
        return v.empty() || v.front() == ' ' || v.back() == ' ' ? quoted(v) : v;
    }
    if (m.is_fields()) {
        std::string s = "{";
        for (const auto& [k, v] : m.fields) s += (s.size() > 1 ? ", " : "") + k + ": " + v;
        return s + "}";
    }
    auto num = [](double d) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%g", d);
        return std::string(buf);
    };
    if (m.min && m.max) return "between " + num(*m.min) + " and " + num(*m.max);
    if (m.min) return "at least " + num(*m.min);
    return "at most " + num(*m.max);
}

namespace {

Expectation read_one(const Config& root, const Config& c) {
    Expectation e;
    const bool stdout_ = c.has("stdout"), shows = c.has("shows"), pin = c.has("pin"), exit = c.has("exit"),
               no_report = c.has("no_report");
    const int kinds = stdout_ + shows + pin + exit + no_report;
    if (kinds == 0) c.fail_here("expected one of stdout, shows (with device), pin, exit or no_report");
    if (kinds > 1) c.fail_here("one expectation per entry: stdout, shows, pin, exit and no_report are separate entries");
    std::string what;
    if (stdout_) {
        e.kind = Kind::Stdout;
        e.text = c.text("stdout");
        if (e.text.empty()) c.fail("stdout", "expected the text to look for");
        e.never = c.flag("never", false);
        read_when(c, e, false, !e.never, !e.never, e.never);
        if (e.never) e.when = When::During;
        what = std::string("standard output ") + (e.never ? "never contains " : "contains ") + quoted(e.text);
    } else if (shows) {
        e.kind = Kind::Shows;
        e.device = c.text("device");
        if (!device_in_scenario(root, e.device)) c.fail("device", "no device of that name in the scenario");
        e.key = c.text("shows");
        e.value = read_value(c);
        e.never = c.flag("never", false);
        read_when(c, e, !e.never, !e.never, !e.never, true);
        if (e.never) e.when = When::During;
        what = e.device + " " + (e.never ? "never shows " : "shows ") + e.key + " " + describe(e.value);
    } else if (pin) {
        e.kind = Kind::Pin;
        e.pin = c.pin("pin");
        const std::size_t level = c.choice("level", {"low", "high"}, 2);
        if (!c.has("level")) c.fail_here("a pin expectation needs its level: low or high");
        e.high = level == 1;
        read_when(c, e, true, false, false, false);
        if (e.when != When::At && e.when != When::End) c.fail_here("a pin expectation needs its time: at: <time> or at: end");
        what = "pin " + std::to_string(e.pin) + (e.high ? " high" : " low");
    } else if (exit) {
        e.kind = Kind::Exit;
        const std::string s = c.text("exit");
        if (s != "any") {
            Setting status{"exit", sim::Kind::Integer, "the program's exit status"};
            status.ranged = true;
            status.hi = 255;
            e.status = static_cast<int>(read_integer(c, status));
        }
        read_when(c, e, false, true, false, false);
        what = e.status ? "the program ends with status " + std::to_string(*e.status) : "the program ends";
    } else {
        e.kind = Kind::NoReport;
        const YAML::Node v = c.node()["no_report"];
        std::vector<std::string> kinds_given;
        if (v.IsScalar()) kinds_given.push_back(v.Scalar());
        else if (v.IsSequence() && v.size() > 0)
            for (const auto& k : v) kinds_given.push_back(k.IsScalar() ? k.Scalar() : std::string());
        else c.fail("no_report", "expected a kind of report or a list of them (info, breach, contention, fault, error)");
        for (const std::string& k : kinds_given)
            if (std::find(std::begin(kReportKinds), std::end(kReportKinds), k) == std::end(kReportKinds))
                c.fail("no_report", "expected info, breach, contention, fault or error");
        e.report_kinds = kinds_given;
        e.device = c.text("device", "");
        if (!e.device.empty() && e.device != "board" && !device_in_scenario(root, e.device))
            c.fail("device", "no device of that name in the scenario");
        read_when(c, e, false, false, false, true);
        e.when = When::During;
        std::string list;
        for (const std::string& k : e.report_kinds) list += (list.empty() ? "" : " or ") + k;
        what = "no " + list + " reported" + (e.device.empty() ? "" : " by " + e.device);
    }
    e.name = c.has("name") ? c.text("name") : what + time_words(e);
    std::vector<std::string> known = stdout_ ? std::vector<std::string>{"stdout", "never"}
                                     : shows ? std::vector<std::string>{"device", "shows", "value", "min", "max", "never"}
                                     : pin   ? std::vector<std::string>{"pin", "level"}
                                     : exit  ? std::vector<std::string>{"exit"}
                                             : std::vector<std::string>{"no_report", "device"};
    known.insert(known.end(), {"at", "by", "within", "during", "name"});
    for (const std::string& k : c.keys_other_than(known)) {
        std::string list;
        for (const std::string& w : known) list += (list.empty() ? "" : ", ") + w;
        throw ScenarioError(c.at(k) + ": unknown setting (known: " + list + ")");
    }
    return e;
}

}  // namespace

const std::vector<std::pair<std::string, std::string>>& expectation_keys() {
    static const std::vector<std::pair<std::string, std::string>> keys = {
        {"stdout", "text the program's standard output contains"},
        {"device", "the device whose shown value, or whose reports, are meant"},
        {"shows", "the key of the device's shown value"},
        {"value", "the value shown (a record as a mapping of its fields)"},
        {"min", "the value shown is at least this"},
        {"max", "the value shown is at most this"},
        {"pin", "a header pin (wiringPi number) whose level is meant"},
        {"level", "low or high"},
        {"exit", "the program's exit status (0 to 255), or any"},
        {"no_report", "a kind of report that must not come (info, breach, contention, fault, error), or a list"},
        {"never", "true: the text or value never appears"},
        {"at", "at this time, or end"},
        {"by", "at some time up to this one"},
        {"within", "at some time in this span: [from, to]"},
        {"during", "all through this span: [from, to]"},
        {"name", "how the result names the expectation"}};
    return keys;
}

std::vector<Expectation> read_expectations(const Config& root) {
    std::vector<Expectation> out;
    for (const Config& c : root.list("expect")) out.push_back(read_one(root, c));
    return out;
}

std::vector<std::string> expectation_problems(const Config& root) {
    std::vector<std::string> problems;
    std::vector<Config> entries;
    try {
        entries = root.list("expect");
    } catch (const ScenarioError& e) {
        return {e.what()};
    }
    for (const Config& c : entries) {
        try {
            read_one(root, c);
        } catch (const ScenarioError& e) {
            problems.push_back(e.what());
        }
    }
    return problems;
}

}  // namespace pikit::sim::expect
