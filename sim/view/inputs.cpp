#include "view/inputs.h"

#include "core/config.h"
#include "core/plan.h"
#include "view/saved_scenario.h"

namespace pikit::sim::view {

namespace {

// A person's input is small: anything deeper is not one.
constexpr int kMaxDepth = 8;

YAML::Node yaml_of(const nlohmann::ordered_json& v, const std::string& where, int depth) {
    if (depth > kMaxDepth) throw InputError(where + ": nested too deeply");
    switch (v.type()) {
    case nlohmann::ordered_json::value_t::string: return YAML::Node(v.get<std::string>());
    case nlohmann::ordered_json::value_t::boolean: return YAML::Node(v.get<bool>() ? "true" : "false");
    case nlohmann::ordered_json::value_t::number_integer:
    case nlohmann::ordered_json::value_t::number_unsigned:
    case nlohmann::ordered_json::value_t::number_float: return YAML::Node(v.dump());
    case nlohmann::ordered_json::value_t::array: {
        YAML::Node seq(YAML::NodeType::Sequence);
        for (const auto& item : v) seq.push_back(yaml_of(item, where, depth + 1));
        return seq;
    }
    case nlohmann::ordered_json::value_t::object: {
        YAML::Node map(YAML::NodeType::Map);
        for (const auto& [k, item] : v.items()) map[k] = yaml_of(item, where + "." + k, depth + 1);
        return map;
    }
    default: throw InputError(where + ": expected a value, not " + v.dump());
    }
}

std::string text_member(const nlohmann::ordered_json& input, const char* key) {
    auto it = input.find(key);
    if (it == input.end() || !it->is_string() || it->get<std::string>().empty())
        throw InputError(std::string("input: '") + key + "' must be given as a string");
    return it->get<std::string>();
}

}  // namespace

YAML::Node stimulus_of(const nlohmann::ordered_json& input) {
    if (!input.is_object()) throw InputError("input: expected a JSON object {\"device\": ..., \"action\": ..., \"args\": {...}}");
    for (const auto& [k, v] : input.items())
        if (k != "device" && k != "action" && k != "args")
            throw InputError("input: unknown member '" + k + "' (known: device, action, args)");
    YAML::Node entry(YAML::NodeType::Map);
    entry["device"] = text_member(input, "device");
    entry["action"] = text_member(input, "action");
    auto args = input.find("args");
    if (args != input.end() && !args->is_null()) {
        if (!args->is_object()) throw InputError("input: 'args' must be an object of the action's settings");
        for (const auto& [k, v] : args->items()) {
            if (k == "at" || k == "device" || k == "action")
                throw InputError("input: args." + k + ": not a setting of an action (an input happens now)");
            entry[k] = yaml_of(v, "args." + k, 1);
        }
    }
    return entry;
}

std::optional<Time> Inputs::apply(Board& board, const nlohmann::ordered_json& input) {
    const YAML::Node entry = stimulus_of(input);
    const std::string device = entry["device"].Scalar();
    // Read as the scenario loader reads a stimulus: the device's own checks,
    // and no setting it did not ask for.
    const Config c(entry, "input", device);
    std::lock_guard<std::mutex> g(m_);
    std::optional<Time> at;
    try {
        at = board.stimulate([&] { return prepare_action(board, c); });
    } catch (const ScenarioError& e) {
        throw InputError(e.what());
    }
    if (!at) return at;
    YAML::Node saved(YAML::NodeType::Map);
    saved["at"] = std::to_string(*at) + "ns";
    for (const auto& kv : entry) saved[kv.first.Scalar()] = kv.second;
    applied_.push_back(flow_line(saved));
    return at;
}

std::vector<std::string> Inputs::stimuli() const {
    std::lock_guard<std::mutex> g(m_);
    return applied_;
}

std::size_t Inputs::count() const {
    std::lock_guard<std::mutex> g(m_);
    return applied_.size();
}

}  // namespace pikit::sim::view
