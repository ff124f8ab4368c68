#include "reference.h"

#include <map>
#include <set>

#include "describe.h"
#include "expect/expectation.h"
#include "model.h"
#include "scenario.h"

namespace pikit::sim {

namespace {

// ---------------------------------------------------------------- Markdown

std::string cell(std::string s) {
    std::string out;
    for (char c : s) out += c == '|' ? std::string("\\|") : std::string(1, c);
    return out;
}

std::string default_cell(const Setting& s) {
    if (s.required) return "required";
    if (s.kind == Kind::Group || s.kind == Kind::List) return "none";
    if (s.default_text.empty()) return "none";
    // A value as a scenario writes it in code type; a default in words as is.
    const bool words = s.default_text.find(' ') != std::string::npos && s.default_text.front() != '"';
    return words ? cell(s.default_text) : "`" + cell(s.default_text) + "`";
}

std::string meaning_cell(const Setting& s) { return cell(s.meaning + (s.rule.empty() ? "" : " (" + s.rule + ")")); }

// One row per setting; a mapping's or a list's own settings follow it,
// named by their path (`glitches.every`, `flip_reply[].command`).
void rows(std::string& md, const std::vector<Setting>& settings, const std::string& prefix = "") {
    for (const Setting& s : settings) {
        md += "| `" + prefix + s.key + "` | " + cell(s.takes()) + " | " + default_cell(s) + " | " + meaning_cell(s) + " |\n";
        if (s.kind == Kind::Group) rows(md, s.fields, prefix + s.key + ".");
        if (s.kind == Kind::List) rows(md, s.fields, prefix + s.key + "[].");
    }
}

void settings_table(std::string& md, const char* first, const std::vector<Setting>& settings) {
    md += std::string("| ") + first + " | Takes | Default | Meaning |\n|---|---|---|---|\n";
    rows(md, settings);
}

std::string sentence(std::string s) {
    if (!s.empty() && s[0] >= 'a' && s[0] <= 'z') s[0] = static_cast<char>(s[0] - 'a' + 'A');
    return s;
}

void model_section(std::string& md, const Model& m) {
    md += "\n## `" + m.type + "`\n\n" + sentence(m.summary) + ".\n";
    md += "\n### Settings\n\n";
    if (m.settings.empty()) md += "None besides `type` and `name`.\n";
    else settings_table(md, "Setting", m.settings);
    md += "\n### Actions\n\n";
    if (m.actions.empty()) md += "None.\n";
    for (const Action& a : m.actions) {
        md += "- **`" + a.name + "`**: " + sentence(a.meaning) + ".";
        if (a.args.empty()) {
            md += " No arguments.\n";
            continue;
        }
        md += "\n\n";
        std::string table;
        settings_table(table, "Argument", a.args);
        for (std::size_t start = 0; start < table.size();) {
            const std::size_t end = table.find('\n', start);
            md += "  " + table.substr(start, end - start) + "\n";
            start = end + 1;
        }
        md += "\n";
    }
    md += "\n### Shows\n\n";
    if (m.shows.empty()) {
        md += "Nothing.\n";
        return;
    }
    md += "| Key | Type | Meaning |\n|---|---|---|\n";
    for (const ShownKey& k : m.shows) md += "| `" + k.key + "` | " + to_string(k.type) + " | " + cell(k.meaning) + " |\n";
}

// ---------------------------------------------------------------- JSON Schema

const char* const kDurationPattern = "^ *(0+|([0-9]+\\.?[0-9]*|\\.[0-9]+) *(ns|us|\u00b5s|\u03bcs|ms|s|min|h)) *$";
const char* const kHexPattern = "^-?0[xX][0-9a-fA-F]+$";
const char* const kNetPattern = "^[^\\s.]+\\.\\S+$";

std::string description(const Setting& s) {
    std::string d = s.meaning;
    const std::string range = s.range_text();
    if (!range.empty()) d += " (" + range + ")";
    if (!s.rule.empty()) d += "; " + s.rule;
    if (s.required) d += "; required";
    else if (!s.default_text.empty() && s.kind != Kind::Group && s.kind != Kind::List) d += "; default " + s.default_text;
    return d;
}

Json pin_schema() {
    Json pins = Json::array();
    for (int p = 0; p <= 31; ++p)
        if (is_header_pin(p)) pins.push_back(p);
    return {{"anyOf", Json::array({{{"enum", pins}}, {{"type", "string"}, {"pattern", kHexPattern}}})}};
}

Json flag_schema() {
    return {{"anyOf", Json::array({{{"type", "boolean"}}, {{"enum", {"true", "false", "yes", "no", "on", "off"}}}})}};
}

Json object_schema(const std::vector<Setting>& settings, const std::vector<std::string>& also);

Json value_schema(const Setting& s) {
    Json j;
    switch (s.kind) {
    case Kind::Flag: j = flag_schema(); break;
    case Kind::Integer: {
        Json number{{"type", "integer"}};
        if (s.ranged) number["minimum"] = s.lo, number["maximum"] = s.hi;
        Json any = Json::array({number, {{"type", "string"}, {"pattern", kHexPattern}}});
        if (!s.words.empty()) any.push_back({{"enum", s.words}});
        j = {{"anyOf", any}};
        break;
    }
    case Kind::Number:
        j = {{"type", "number"}};
        if (s.ranged) j["minimum"] = s.lo, j["maximum"] = s.hi;
        break;
    case Kind::Duration:
        j = {{"anyOf", Json::array({{{"const", 0}}, {{"type", "string"}, {"pattern", kDurationPattern}}})}};
        break;
    case Kind::Pin: j = pin_schema(); break;
    case Kind::Line: j = {{"anyOf", Json::array({pin_schema(), {{"type", "string"}, {"pattern", kNetPattern}}})}}; break;
    case Kind::Lines: {
        Setting one(s.key, Kind::Line, "");
        j = {{"type", "array"}, {"minItems", 1}, {"items", value_schema(one)}};
        if (s.ranged) j["maxItems"] = s.hi;
        break;
    }
    case Kind::Pins: j = {{"anyOf", Json::array({flag_schema(), {{"type", "array"}, {"items", pin_schema()}}})}}; break;
    case Kind::Text: j = {{"type", Json::array({"string", "number", "boolean"})}}; break;
    case Kind::File: j = {{"type", "string"}}; break;
    case Kind::Word: j = {{"enum", s.words}}; break;
    case Kind::Bytes: {
        Json list{{"type", "array"},
                  {"items",
                   {{"anyOf", Json::array({{{"type", "integer"}, {"minimum", 0}, {"maximum", 255}},
                                           {{"type", "string"}, {"pattern", kHexPattern}}})}}}};
        if (s.ranged) list["minItems"] = s.lo, list["maxItems"] = s.hi;
        j = {{"anyOf", Json::array({list, {{"type", "string"}, {"pattern", "^[0-9a-fA-F :-]*$"}}})}};
        break;
    }
    case Kind::Date:
        j = {{"anyOf", Json::array({{{"type", "integer"}, {"minimum", 0}},
                                    {{"type", "string"},
                                     {"pattern", "^([0-9]{4}-[0-9]{2}-[0-9]{2}([T ][0-9]{2}:[0-9]{2}:[0-9]{2}Z?)?|[0-9]+)$"}}})}};
        break;
    case Kind::Group: j = object_schema(s.fields, {}); break;
    case Kind::List: j = {{"type", Json::array({"array", "null"})}, {"items", object_schema(s.fields, {})}}; break;
    case Kind::Pulls:
        j = {{"type", "object"},
             {"propertyNames", {{"pattern", "^(0*([0-9]|1[0-6]|2[1-9]|3[01])|0[xX][0-9a-fA-F]+)$"}}},
             {"additionalProperties", {{"enum", {"up", "down", "none"}}}}};
        break;
    }
    j["description"] = description(s);
    return j;
}

// A mapping of these settings and no other keys (`also`: keys read beside
// them, declared by the caller).
Json object_schema(const std::vector<Setting>& settings, const std::vector<std::string>& also) {
    Json props = Json::object();
    for (const std::string& k : also) props[k] = Json::object();
    Json required = Json::array();
    for (const Setting& s : settings) {
        props[s.key] = value_schema(s);
        if (s.required) required.push_back(s.key);
    }
    Json j{{"type", "object"}, {"properties", props}, {"additionalProperties", false}};
    if (!required.empty()) j["required"] = required;
    return j;
}

Json device_schemas(Json& definitions) {
    Json types = Json::array();
    Json cases = Json::array();
    for (const Model* m : models()) {
        types.push_back(m->type);
        Json body = object_schema(m->settings, {});
        body["properties"]["type"] = {{"const", m->type}, {"description", m->summary}};
        body["properties"]["name"] = {{"type", "string"}, {"description", "its name in the scenario; default: the type"}};
        // `type` first, where an editor shows it.
        Json ordered = Json::object();
        ordered["type"] = body["properties"]["type"];
        ordered["name"] = body["properties"]["name"];
        for (auto& [k, v] : body["properties"].items())
            if (k != "type" && k != "name") ordered[k] = v;
        body["properties"] = ordered;
        body["description"] = m->summary;
        definitions["device." + m->type] = body;
        cases.push_back({{"if", {{"properties", {{"type", {{"const", m->type}}}}}, {"required", {"type"}}}},
                         {"then", {{"$ref", "#/definitions/device." + m->type}}}});
    }
    return {{"type", "object"},
            {"required", {"type"}},
            {"properties", {{"type", {{"enum", types}, {"description", "the device type"}}}}},
            {"allOf", cases}};
}

// An action's arguments differ between the types that have it (a button's
// press, a keypad's press): a stimulus names a device, not its type, so its
// arguments are checked against every type's action of that name.
Json stimulus_schemas(Json& definitions) {
    std::map<std::string, std::vector<Setting>> args;  // by action name, the union
    std::map<std::string, std::set<std::string>> seen;
    std::map<std::string, std::string> meanings;
    for (const Model* m : models())
        for (const Action& a : m->actions) {
            meanings[a.name] += (meanings[a.name].empty() ? "" : "; ") + m->type + ": " + a.meaning;
            for (Setting s : a.args) {
                if (!seen[a.name].insert(s.key).second) continue;
                s.required = false;  // required by one type, perhaps not by another
                args[a.name].push_back(s);
            }
            args[a.name];
        }
    Json names = Json::array();
    Json cases = Json::array();
    Setting at("at", Kind::Duration, "when, in virtual time from power-up");
    at.required = true;
    for (const auto& [name, list] : args) {
        names.push_back(name);
        std::vector<Setting> all{at};
        all.insert(all.end(), list.begin(), list.end());
        Json body = object_schema(all, {"device", "action"});
        body["properties"]["device"] = {{"type", "string"}, {"description", "the name of a device in the scenario"}};
        body["properties"]["action"] = {{"const", name}, {"description", meanings[name]}};
        definitions["stimulus." + name] = body;
        cases.push_back({{"if", {{"properties", {{"action", {{"const", name}}}}}, {"required", {"action"}}}},
                         {"then", {{"$ref", "#/definitions/stimulus." + name}}}});
    }
    return {{"type", "object"},
            {"required", {"at", "device", "action"}},
            {"properties", {{"action", {{"enum", names}, {"description", "what the device is made to do"}}}}},
            {"allOf", cases}};
}

// The expectations of a test: each entry is one kind (stdout, shows, pin,
// exit or no_report) with its time; the kit checks how they combine, the
// schema names the keys an entry may have, for completion and for a
// misspelt key.
Json expect_schema(const Setting& s) {
    Json props = Json::object();
    for (const auto& [key, meaning] : expect::expectation_keys()) props[key] = {{"description", meaning}};
    return {{"type", Json::array({"array", "null"})},
            {"items", {{"type", "object"}, {"properties", props}, {"additionalProperties", false}}},
            {"description", s.meaning}};
}

}  // namespace

std::string device_reference() {
    std::string md =
        "# Device reference\n\n"
        "<!-- Generated from the models' declarations by build/bin/pikit-reference; do not edit.\n"
        "     After changing a model: build/bin/pikit-reference --write . -->\n\n"
        "Every device type of the simulated kit as a scenario wires it ([simulator.md](simulator.md)): its "
        "settings with their defaults and ranges, the actions a stimulus (or a person at the live view) gives "
        "it, and what it shows a person (in the log, the event stream and the live view). Durations are "
        "written like `500ms`, `2.5s`, `80us`; whole numbers in decimal or in hex with `0x`. A key that is not "
        "listed is refused. The same declarations give the scenario's JSON Schema, "
        "[scenario.schema.json](scenario.schema.json).\n\n"
        "## The scenario file\n\n"
        "| Key | Takes | Meaning |\n|---|---|---|\n";
    for (const Setting& s : scenario_keys()) md += "| `" + s.key + "` | " + cell(s.takes()) + " | " + cell(s.meaning) + " |\n";
    md += "\n### `board:`\n\n";
    settings_table(md, "Setting", board_settings());
    md +=
        "\n### `devices:`\n\nEach entry has a `type` (below) and a `name` (default: the type; each name once), "
        "and the type's settings.\n\n### `stimuli:`\n\nEach entry has `at` (a duration, 0 to 100000h: when, "
        "in virtual time from power-up), `device` (a device's name), `action` (one of its type's actions) and "
        "the action's arguments.\n\n### `expect:`\n\nEach entry is one expectation of a test (`pikit test`, "
        "[testing.md](testing.md)): one of `stdout`, `shows` (with `device`), `pin`, `exit` or `no_report`, "
        "with its time.\n\n| Key | Meaning |\n|---|---|\n";
    for (const auto& [key, meaning] : expect::expectation_keys()) md += "| `" + key + "` | " + cell(meaning) + " |\n";
    md += "\n## Device types\n\n| Type | Module |\n|---|---|\n";
    for (const Model* m : models()) md += "| [`" + m->type + "`](#" + m->type + ") | " + cell(sentence(m->summary)) + " |\n";
    for (const Model* m : models()) model_section(md, *m);
    return md;
}

std::string scenario_schema() {
    Json definitions = Json::object();
    Json device = device_schemas(definitions);
    Json stimulus = stimulus_schemas(definitions);
    definitions["device"] = device;
    definitions["stimulus"] = stimulus;
    Json props = Json::object();
    for (const Setting& s : scenario_keys()) {
        if (s.key == "devices")
            props[s.key] = {{"type", Json::array({"array", "null"})},
                            {"items", {{"$ref", "#/definitions/device"}}},
                            {"description", s.meaning}};
        else if (s.key == "stimuli")
            props[s.key] = {{"type", Json::array({"array", "null"})},
                            {"items", {{"$ref", "#/definitions/stimulus"}}},
                            {"description", s.meaning}};
        else if (s.key == "expect") props[s.key] = expect_schema(s);
        else props[s.key] = value_schema(s);
    }
    Json schema{{"$schema", "http://json-schema.org/draft-07/schema#"},
                {"title", "pikit scenario"},
                {"description",
                 "A scenario of the pikit simulated kit: generated from the models' declarations "
                 "(docs/devices.md) by build/bin/pikit-reference; do not edit."},
                {"type", Json::array({"object", "null"})},
                {"properties", props},
                {"additionalProperties", false},
                {"definitions", definitions}};
    return schema.dump(2) + "\n";
}

}  // namespace pikit::sim
