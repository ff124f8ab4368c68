#include "describe.h"

namespace pikit::sim {

Json describe_setting(const Setting& s) {
    Json j;
    j["key"] = s.key;
    j["kind"] = to_string(s.kind);
    j["meaning"] = s.meaning;
    j["takes"] = s.takes();
    if (s.required) j["required"] = true;
    else if (!s.default_text.empty()) j["default"] = s.default_text;
    const std::string range = s.range_text();
    if (!range.empty()) j["range"] = range;
    if (s.ranged && (s.kind == Kind::Integer || s.kind == Kind::Number)) {
        j["min"] = s.lo;
        j["max"] = s.hi;
    }
    if (s.kind == Kind::Duration) {
        j["min_ns"] = s.lo_time;
        j["max_ns"] = s.hi_time;
    }
    if (!s.unit.empty()) j["unit"] = s.unit;
    if (!s.words.empty()) j["words"] = s.words;
    if (!s.rule.empty()) j["rule"] = s.rule;
    if (!s.fields.empty()) {
        Json fields = Json::array();
        for (const Setting& f : s.fields) fields.push_back(describe_setting(f));
        j["fields"] = fields;
    }
    return j;
}

Json describe_model(const Model& m) {
    Json settings = Json::array();
    for (const Setting& s : m.settings) settings.push_back(describe_setting(s));
    Json actions = Json::array();
    for (const Action& a : m.actions) {
        Json args = Json::array();
        for (const Setting& s : a.args) args.push_back(describe_setting(s));
        actions.push_back({{"name", a.name}, {"meaning", a.meaning}, {"args", args}});
    }
    Json shows = Json::array();
    for (const ShownKey& k : m.shows) shows.push_back({{"key", k.key}, {"type", to_string(k.type)}, {"meaning", k.meaning}});
    return {{"type", m.type}, {"summary", m.summary}, {"settings", settings}, {"actions", actions}, {"shows", shows}};
}

Json describe_device(const Device& d) {
    Json j{{"name", d.name()}, {"type", d.type()}};
    const Model* m = find_model(d.type());
    if (!m) return j;  // a part a test built by hand, of no declared type
    const Json model = describe_model(*m);
    j["summary"] = m->summary;
    // A device a test built by hand has no settings read from a scenario.
    j["settings"] = d.declared_settings().has_value() ? Json::parse(m->settings_json(d.declared_settings())) : Json();
    j["declared"] = model["settings"];
    j["actions"] = model["actions"];
    j["shows"] = model["shows"];
    return j;
}

Json describe_wired(const Board& board) {
    Json out = Json::array();
    for (const auto& entry : board.snapshot().devices)
        if (const Device* d = board.find(entry.name)) out.push_back(describe_device(*d));
    return out;
}

}  // namespace pikit::sim
