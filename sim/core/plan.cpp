#include "plan.h"

#include <algorithm>
#include <stdexcept>

#include "expect/expectation.h"
#include "scenario.h"

namespace pikit::sim {

namespace {

void plan_pulls(const Config& root, Plan& plan) {
    if (!root.has("pulls")) return;
    const YAML::Node& pulls = root.node()["pulls"];
    if (!pulls.IsMap()) {
        plan.problems.guard([&] { root.fail("pulls", "expected a mapping of pin: up|down|none"); });
        return;
    }
    const Config pc(pulls, root.file(), "pulls");
    bool pulled[32] = {};
    for (const auto& kv : pulls) {
        plan.problems.guard([&] {
            if (!kv.first.IsScalar()) root.fail("pulls", "expected a mapping of pin: up|down|none");
            const std::string key = kv.first.Scalar();
            const std::optional<int> p = parse_pin(key);
            if (!p)
                throw ScenarioError(pc.at(key) + ": bad pin (expected a wiringPi pin on the header: 0-16 or 21-31) '" + key +
                                    "'");
            if (pulled[*p])  // the same pin written another way (27 and 0x1B)
                throw ScenarioError(pc.at(key) + ": pin " + std::to_string(*p) + " has a resistor already '" + key + "'");
            pulled[*p] = true;
            const std::size_t i = pc.choice(key.c_str(), {"up", "down", "none"}, 3);
            static const Pull kinds[] = {Pull::Up, Pull::Down, Pull::None};
            plan.pulls.emplace_back(*p, kinds[i]);
        });
    }
}

void plan_devices(const Config& root, Plan& plan) {
    std::vector<Config> devices;
    if (!plan.problems.guard([&] { devices = root.list("devices"); })) return;
    for (const Config& d : devices) {
        Problems& p = plan.problems;
        const Model* model = nullptr;
        std::string name;
        const bool typed = p.guard([&] {
            if (!d.has("type")) throw ScenarioError(d.where() + ": missing 'type' (one of " + known_device_types() + ")");
            const std::string type = d.text("type");
            model = find_model(type);
            if (!model) d.fail("type", "unknown device type (known: " + known_device_types() + ")");
            name = d.text("name", type);
            const auto same = [&](const Plan::Entry& e) { return e.name == name; };
            const auto same_unusable = [&](const auto& e) { return e.first == name; };
            if (std::any_of(plan.devices.begin(), plan.devices.end(), same) ||
                std::any_of(plan.unusable.begin(), plan.unusable.end(), same_unusable)) {
                if (d.has("name")) d.fail("name", "a device of that name is already wired");
                d.fail_here("a device named '" + name + "' (the type, as no name is given) is already wired; give each a name");
            }
        });
        if (!typed) continue;
        const std::size_t before = p.size();
        std::any settings = model->read(d, p);
        if (p.size() != before) {
            plan.unusable.emplace_back(name, model);
            continue;
        }
        plan.devices.push_back({model, name, std::move(settings), d});
    }
}

const Setting kAt = [] {
    Setting s{"at", Kind::Duration, "when, in virtual time from power-up"};
    s.required = true;
    return s;
}();

// The action of one stimulus (or of an action from outside) for the device
// `target`: its model, settings and the action's arguments. False, with the
// problems in `p`, when it cannot be used.
bool read_action(const Config& s, const Model& model, const std::any& settings, Problems& p, const Action*& action,
                 std::any& args) {
    return p.guard([&] {
        if (!s.has("action")) throw ScenarioError(s.where() + ": missing 'action' (one of " + model.action_names() + ")");
        const std::string name = s.text("action");
        action = model.action(name);
        if (!action) s.fail("action", "unknown action of " + model.type + " (known: " + model.action_names() + ")");
        const std::size_t before = p.size();
        args = action->read(settings, s, p);
        if (p.size() != before) action = nullptr;
    }) && action != nullptr;
}

void plan_stimuli(const Config& root, Plan& plan, const Board* wired) {
    std::vector<Config> stimuli;
    if (!plan.problems.guard([&] { stimuli = root.list("stimuli"); })) return;
    for (const Config& s : stimuli) {
        Problems& p = plan.problems;
        Time at = 0;
        const Model* model = nullptr;
        const std::any* settings = nullptr;
        std::string name;
        p.guard([&] {
            if (!s.has("at")) throw ScenarioError(s.where() + ": missing 'at' (" + kAt.takes() + ")");
            at = read_duration(s, kAt);
        });
        const bool found = p.guard([&] {
            if (!s.has("device")) throw ScenarioError(s.where() + ": missing 'device' (the name of a device in the scenario)");
            name = s.text("device");
            static const std::any kDefaults;
            for (const Plan::Entry& e : plan.devices)
                if (e.name == name) model = e.model, settings = &e.settings;
            for (const auto& [unusable, type] : plan.unusable)
                if (unusable == name) model = type, settings = &kDefaults;
            // A device wired on the board before (a test that adds its stimuli later).
            const Device* dev = wired && !model ? wired->find(name) : nullptr;
            if (dev && (model = find_model(dev->type()))) settings = &dev->declared_settings();
            if (!model) s.fail("device", "no device of that name in the scenario");
        });
        if (!found) continue;
        const Action* action = nullptr;
        std::any args;
        if (read_action(s, *model, *settings, p, action, args)) plan.stimuli.push_back({at, name, action, std::move(args)});
    }
}

}  // namespace

Plan plan_scenario(const Config& root, const Board* wired) {
    Plan plan;
    plan.file = root.file();
    scenario_options(root, Options{}, plan.problems);
    plan_pulls(root, plan);
    plan_devices(root, plan);
    plan_stimuli(root, plan, wired);
    // What a test of the scenario expects: checked here like every key,
    // acted on only when the run is a test (pikit test).
    plan.problems.guard([&] {
        if (root.has("program") && root.text("program").empty()) root.fail("program", "expected the program's name or path");
    });
    for (std::string& line : expect::expectation_problems(root)) plan.problems.add(std::move(line));
    return plan;
}

void wire(Board& board, const Plan& plan) {
    for (const auto& [pin, pull] : plan.pulls) board.set_external_pull(pin, pull);
    for (const Plan::Entry& e : plan.devices) {
        std::unique_ptr<Device> dev = e.model->build(e.name, e.settings, e.where);
        try {
            board.add_device(std::move(dev));
        } catch (const std::invalid_argument& x) {
            throw ScenarioError(e.where.where() + ": " + x.what() + " '" + e.model->type + "'");
        }
    }
    for (const std::string& net : board.undriven_nets())
        throw ScenarioError(plan.file + ": devices: net '" + net +
                            "' is listened to but no device drives it (a device's outputs are named <device>.<output>)");
    board.reserve_stimuli();
    for (const Plan::Stimulus& s : plan.stimuli) {
        Device* dev = board.find(s.device);
        const Action* action = s.action;
        std::any args = s.args;
        board.apply([&] { board.schedule_stimulus(s.at, [dev, action, args] { action->run(*dev, args); }); });
    }
}

std::vector<std::string> check_scenario(const std::string& text, const std::string& file) {
    try {
        const Config root = Config::parse(text, file);
        return plan_scenario(root).problems.lines();
    } catch (const ScenarioError& e) {
        return {e.what()};
    }
}

std::function<void()> prepare_action(Board& board, const Config& entry) {
    Problems p;
    p.guard([&] {
        if (!entry.node().IsMap()) entry.fail_here("expected a mapping: {device: <name>, action: <action>, ...}");
        if (entry.has("at")) entry.fail("at", "an action from outside a scenario applies now, at no time of its own");
        if (!entry.has("device")) throw ScenarioError(entry.where() + ": missing 'device' (the name of a wired device)");
    });
    p.throw_first();
    const std::string name = entry.text("device");
    Device* dev = board.find(name);
    if (!dev) entry.fail("device", "no device of that name is wired");
    const Model* model = find_model(dev->type());
    if (!model) entry.fail("device", "a device of type " + dev->type() + ", which takes no actions");
    const Action* action = nullptr;
    std::any args;
    if (!read_action(entry, *model, dev->declared_settings(), p, action, args)) p.throw_first();
    return [dev, action, args] { action->run(*dev, args); };
}

std::optional<Time> apply_action(Board& board, const std::string& text, const std::string& source) {
    const Config entry = Config::parse(text, source);
    return board.stimulate([&] { return prepare_action(board, entry); });
}

}  // namespace pikit::sim
