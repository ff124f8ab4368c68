#include "environment.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "config.h"
#include "scenario.h"
#include "trace.h"

namespace pikit::sim {

namespace {

[[noreturn]] void refuse(const char* variable, const std::string& why, const std::string& value) {
    throw ScenarioError(std::string("environment: ") + variable + ": " + why + " '" + value + "'");
}

Time duration_variable(const char* variable, const char* value, Time max, const char* range) {
    auto t = parse_duration(value);
    if (!t && duration_too_long(value)) refuse(variable, std::string("duration out of range (") + range + ")", value);
    if (!t)
        throw ScenarioError(std::string("environment: ") + variable + ": unparsable duration '" + value +
                            "' (expected e.g. 500ms, 30s, 2min)");
    if (*t > max) refuse(variable, std::string("duration out of range (") + range + ")", value);
    return *t;
}

}  // namespace

RunEnvironment read_environment(const std::function<const char*(const char*)>& get, Options base) {
    auto var = [&](const char* name) -> const char* {
        const char* v = get(name);
        return v && *v ? v : nullptr;
    };
    RunEnvironment env;
    env.options = std::move(base);
    Options& o = env.options;
    if (const char* v = var("PIKIT_SIM_SCENARIO")) env.scenario_path = v;
    if (const char* v = var("PIKIT_SIM_EXPECT")) env.expect_path = v;
    if (const char* v = var("PIKIT_SIM_TIMEOUT_STATUS")) {
        const auto n = parse_integer(v);
        if (!n || *n < 0 || *n > 255) refuse("PIKIT_SIM_TIMEOUT_STATUS", "expected an exit status, 0 to 255", v);
        env.timeout_status = static_cast<int>(*n);
    }
    if (const char* v = var("PIKIT_SIM_SET")) {
        std::string all = v;
        std::size_t start = 0;
        while (start <= all.size()) {
            std::size_t nl = all.find('\n', start);
            if (nl == std::string::npos) nl = all.size();
            std::string one = all.substr(start, nl - start);
            if (!one.empty() && one.back() == '\r') one.pop_back();
            if (!one.empty()) env.sets.push_back(one);
            start = nl + 1;
        }
    }
    if (const char* v = var("PIKIT_SIM_UNTIL")) o.until = duration_variable("PIKIT_SIM_UNTIL", v, kMaxDuration, "0 to 100000h");
    if (const char* v = var("PIKIT_SIM_PIN_COST"))
        env.pin_cost = duration_variable("PIKIT_SIM_PIN_COST", v, kMaxPinCallCost, "0 to 1ms");
    o.speed = Speed::Realtime;
    if (const char* v = var("PIKIT_SIM_SPEED")) {
        const std::string s = v;
        if (s == "max") {
            o.speed = Speed::Max;
        } else if (s == "realtime") {
            o.speed = Speed::Realtime;
        } else {
            // A plain decimal factor: no exponent, no hex, no inf or nan.
            auto f = s.find_first_of("eE") == std::string::npos ? parse_decimal(s) : std::nullopt;
            if (!f || s[0] == '-') refuse("PIKIT_SIM_SPEED", "expected realtime, max or a positive factor", s);
            if (*f < kMinSpeedFactor || *f > kMaxSpeedFactor)
                refuse("PIKIT_SIM_SPEED", "factor out of range (0.001 to 1000000000)", s);
            o.speed = Speed::Factor;
            o.speed_factor = *f;
        }
    }
    if (const char* v = var("PIKIT_SIM_VCD")) o.vcd_path = v;
    if (const char* v = var("PIKIT_SIM_LOG")) o.log_path = v;
    if (const char* v = var("PIKIT_SIM_EVENTS")) o.events_path = v;
    if (const char* v = var("PIKIT_SIM_STATE_DIR")) o.state_dir = v;
    if (const char* v = var("PIKIT_SIM_VIEW")) {
        env.view = parse_view_address(v);
        if (!env.view)
            refuse("PIKIT_SIM_VIEW",
                   "expected a port, or an IP address and a port (8080, 0 for a free one, 127.0.0.1:8080, [::1]:8080)", v);
    }
    return env;
}

const std::vector<std::string>& known_variables() {
    static const std::vector<std::string> names = {"PIKIT_SIM_SCENARIO", "PIKIT_SIM_SET",       "PIKIT_SIM_UNTIL",
                                                   "PIKIT_SIM_SPEED",    "PIKIT_SIM_VCD",       "PIKIT_SIM_LOG",
                                                   "PIKIT_SIM_EVENTS",   "PIKIT_SIM_STATE_DIR", "PIKIT_SIM_PIN_COST",
                                                   "PIKIT_SIM_VIEW",     "PIKIT_SIM_EXPECT",    "PIKIT_SIM_TIMEOUT_STATUS"};
    return names;
}

void check_variable_names(char** environ_) {
    static const std::string prefix = "PIKIT_SIM_";
    for (char** e = environ_; e && *e; ++e) {
        const std::string entry = *e;
        if (entry.compare(0, prefix.size(), prefix) != 0) continue;
        const auto eq = entry.find('=');
        const std::string name = entry.substr(0, eq);
        const auto& known = known_variables();
        if (std::find(known.begin(), known.end(), name) != known.end()) continue;
        std::string list;
        for (const auto& k : known) list += (list.empty() ? "" : ", ") + k;
        throw ScenarioError("environment: " + name + ": unknown variable (known: " + list + ") '" +
                            (eq == std::string::npos ? std::string() : entry.substr(eq + 1)) + "'");
    }
}

void apply_sets(const Config& root, const std::vector<std::string>& sets) {
    for (const std::string& set : sets) {
        auto refuse_set = [&](const std::string& why) { refuse("PIKIT_SIM_SET", why, set); };
        const auto eq = set.find('=');
        const auto dot = set.find('.');
        if (eq == std::string::npos || dot == std::string::npos || dot > eq || dot == 0 || dot + 1 == eq)
            refuse_set("expected <device>.<setting>=<value>, such as sensor.humidity=61.5");
        const std::string device = set.substr(0, dot), key = set.substr(dot + 1, eq - dot - 1);
        if (key.find_first_of(".[]{}:, ") != std::string::npos) refuse_set("expected a setting's name after the device's");
        // Read as the value of a scenario's key, with a scenario's hardening.
        const std::string text = set.substr(eq + 1);
        if (text.find_first_not_of(" \t") == std::string::npos) refuse_set("no value after '='");
        Config holder = Config::parse("value: " + text + "\n", "environment: PIKIT_SIM_SET");
        Config value(holder.node()["value"], holder.file(), "value");
        if (!value.node() || value.node().IsNull()) refuse_set("no value after '='");
        YAML::Node top = root.node();
        if (!top.IsMap()) refuse_set("the scenario has no settings to change");
        if (device == "board") {
            if (!top["board"] || top["board"].IsNull()) top["board"] = YAML::Node(YAML::NodeType::Map);
            YAML::Node board = top["board"];
            board[key] = value.node();
            continue;
        }
        YAML::Node devices = top["devices"];
        bool found = false;
        std::string names;
        if (devices && devices.IsSequence()) {
            for (std::size_t i = 0; i < devices.size(); ++i) {
                YAML::Node d = devices[i];
                if (!d.IsMap()) continue;
                const YAML::Node n = d["name"] ? d["name"] : d["type"];
                if (!n || !n.IsScalar()) continue;
                names += (names.empty() ? "" : ", ") + n.Scalar();
                if (n.Scalar() != device) continue;
                d[key] = value.node();
                found = true;
            }
        }
        if (!found)
            refuse_set("no device '" + device + "' in the scenario (devices: " + (names.empty() ? "none" : names) +
                       "; or board)");
    }
}

std::optional<ViewAddress> parse_view_address(const std::string& text) {
    ViewAddress a;
    std::string port = text;
    const auto colon = text.rfind(':');
    if (colon != std::string::npos) {
        std::string host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
            host = host.substr(1, host.size() - 2);
            in6_addr v6{};
            if (inet_pton(AF_INET6, host.c_str(), &v6) != 1) return std::nullopt;
        } else if (host == "localhost") {
            host = "127.0.0.1";
        } else {
            in_addr v4{};
            if (inet_pton(AF_INET, host.c_str(), &v4) != 1) return std::nullopt;
        }
        a.host = host;
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    a.port = std::stoi(port);
    if (a.port > 65535) return std::nullopt;
    return a;
}

std::string read_scenario_file(const std::string& path, FileId* identity) {
    auto fail = [&](const std::string& why) -> std::string {
        throw ScenarioError(path + ": cannot read scenario: " + why + " (from PIKIT_SIM_SCENARIO)");
    };
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) fail(std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) fail(std::strerror(errno));
    if (S_ISDIR(st.st_mode)) fail("it is a directory");
    if (!S_ISREG(st.st_mode)) fail("not a regular file");
    if (identity) *identity = FileId{st.st_dev, st.st_ino};
    if (static_cast<unsigned long long>(st.st_size) > kMaxScenarioBytes) fail("larger than 1 MiB");
    // The size can change while we read; never take more than the limit.
    std::string text;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail(std::strerror(errno));
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > kMaxScenarioBytes) fail("larger than 1 MiB");
    }
    return text;
}

std::vector<OutputFile> output_files(const Options& o) {
    std::vector<OutputFile> out;
    if (!o.vcd_path.empty()) {
        out.push_back({"PIKIT_SIM_VCD", o.vcd_path, "the trace"});
        out.push_back({"PIKIT_SIM_VCD", VcdWriter::body_path(o.vcd_path), "the trace's working file"});
    }
    if (!o.log_path.empty() && o.log_path != "-") out.push_back({"PIKIT_SIM_LOG", o.log_path, "the log"});
    if (!o.events_path.empty() && o.events_path != "-") out.push_back({"PIKIT_SIM_EVENTS", o.events_path, "the event stream"});
    return out;
}

void check_output_files(const std::vector<OutputFile>& outputs, const FileId* scenario) {
    OutputFiles run;
    if (scenario) run.set_scenario(*scenario);
    for (const OutputFile& f : outputs) {
        const std::string why = run.conflict(f);
        if (!why.empty()) refuse(f.owner.c_str(), why, f.path);
        run.claim(f);
    }
}

std::string variable_of(const std::string& option) {
    if (option == "vcd_path") return "PIKIT_SIM_VCD";
    if (option == "log_path") return "PIKIT_SIM_LOG";
    if (option == "events_path") return "PIKIT_SIM_EVENTS";
    if (option == "state_dir") return "PIKIT_SIM_STATE_DIR";
    return option;
}

}  // namespace pikit::sim
