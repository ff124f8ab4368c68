#include "view/snapshot.h"

#include <yaml-cpp/yaml.h>

namespace pikit::sim::view {

namespace {

nlohmann::json json_of(const Shown::Scalar& s) {
    struct V {
        nlohmann::json operator()(bool b) const { return b; }
        nlohmann::json operator()(std::int64_t i) const { return i; }
        nlohmann::json operator()(double d) const { return std::isfinite(d) ? nlohmann::json(d) : nlohmann::json(); }
        nlohmann::json operator()(const std::string& t) const { return t; }
    };
    return std::visit(V{}, s);
}

nlohmann::json json_of_yaml(const YAML::Node& n) {
    if (n.IsScalar()) return n.Scalar();
    if (n.IsSequence()) {
        nlohmann::json a = nlohmann::json::array();
        for (const auto& item : n) a.push_back(json_of_yaml(item));
        return a;
    }
    if (n.IsMap()) {
        nlohmann::json o = nlohmann::json::object();
        for (const auto& kv : n) o[kv.first.Scalar()] = json_of_yaml(kv.second);
        return o;
    }
    return nullptr;
}

// JSON text of lines that are each a JSON object already: "[l1,l2,...]".
std::string array_of(const std::vector<std::string>& lines) {
    std::string out = "[";
    for (std::size_t i = 0; i < lines.size(); ++i) out += (i ? "," : "") + lines[i];
    return out + "]";
}

}  // namespace

nlohmann::json json_of(const Shown& value) {
    if (!value.is_record()) return json_of(value.value());
    nlohmann::json o = nlohmann::json::object();
    for (const auto& [name, field] : value.fields()) o[name] = json_of(field);
    return o;
}

std::string pace_name(const BoardSnapshot& board) {
    if (board.paused) return "pause";
    if (board.speed == Speed::Max) return "max";
    if (board.speed == Speed::Realtime) return "realtime";
    nlohmann::json f = board.speed_factor;
    return f.dump();
}

nlohmann::json json_of_pins(const std::vector<PinState>& pins) {
    nlohmann::json a = nlohmann::json::array();
    for (const PinState& p : pins) {
        nlohmann::json o{{"pin", p.pin},
                         {"bcm", bcm_of(p.pin)},
                         {"header", header_pin_of(p.pin)},
                         {"output", p.output},
                         {"level", is_high(p.level) ? 1 : 0},
                         {"floating", p.floating},
                         {"module", p.module_drives}};
        if (p.wave.kind == Waveform::Kind::Pwm) o["wave"] = {{"kind", "pwm"}, {"value", p.wave.value}, {"range", p.wave.range}};
        else if (p.wave.kind == Waveform::Kind::Tone) o["wave"] = {{"kind", "tone"}, {"freq", p.wave.freq}};
        a.push_back(std::move(o));
    }
    return a;
}

nlohmann::json scenario_devices(const std::string& scenario_text) {
    nlohmann::json out = {{"order", nlohmann::json::array()},
                          {"devices", nlohmann::json::object()},
                          {"stimuli", nlohmann::json::array()},
                          {"description", ""}};
    YAML::Node root;
    try {
        root = YAML::Load(scenario_text);
    } catch (const YAML::Exception&) {
        return out;  // the scenario loaded, so this does not happen; the board's list still serves
    }
    if (!root.IsMap()) return out;
    if (root["description"] && root["description"].IsScalar()) out["description"] = root["description"].Scalar();
    out["stimuli"] = root["stimuli"] && root["stimuli"].IsSequence() ? json_of_yaml(root["stimuli"]) : nlohmann::json::array();
    if (!root["devices"] || !root["devices"].IsSequence()) return out;
    for (const auto& d : root["devices"]) {
        if (!d.IsMap() || !d["type"]) continue;
        const std::string type = d["type"].Scalar();
        const std::string name = d["name"] ? d["name"].Scalar() : type;
        nlohmann::json settings = nlohmann::json::object();
        for (const auto& kv : d) {
            const std::string k = kv.first.Scalar();
            if (k != "type" && k != "name") settings[k] = json_of_yaml(kv.second);
        }
        out["order"].push_back(name);
        out["devices"][name] = {{"type", type}, {"settings", settings}};
    }
    return out;
}

std::string snapshot_json(const BoardSnapshot& board, const Feed::Cut& cut, const nlohmann::json& settings, std::size_t inputs,
                          bool coalesced) {
    nlohmann::json devices = nlohmann::json::array();
    for (const auto& d : board.devices) {
        nlohmann::json shown = nlohmann::json::object();
        for (const auto& v : board.shown)
            if (v.device == d.name) shown[v.key] = json_of(v.value);
        nlohmann::json entry{{"name", d.name}, {"type", d.type}, {"shown", shown}};
        const auto& known = settings["devices"];
        entry["settings"] = known.contains(d.name) ? known[d.name]["settings"] : nlohmann::json::object();
        devices.push_back(std::move(entry));
    }
    nlohmann::json s{{"t_ns", board.now},
                     {"seq", cut.seq},
                     {"running", board.running},
                     {"pace", pace_name(board)},
                     {"coalesced", coalesced},
                     {"devices", devices},
                     {"pins", json_of_pins(board.pins)},
                     {"reports_total", cut.reports_total},
                     {"stdout_total", cut.stdout_total},
                     {"inputs", inputs}};
    // The stream's own lines, as they are: they are JSON objects already.
    std::string text = s.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    text.pop_back();  // the closing brace
    text += ",\"start\":" + (cut.start.empty() ? std::string("null") : cut.start);
    text += ",\"end\":" + (cut.end.empty() ? std::string("null") : cut.end);
    text += ",\"reports\":" + array_of(cut.reports);
    text += ",\"stdout\":" + array_of(cut.stdout_lines) + "}";
    return text;
}

}  // namespace pikit::sim::view
