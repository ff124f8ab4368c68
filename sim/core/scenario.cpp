#include "scenario.h"

#include <stdexcept>

namespace pikit::sim {

Options scenario_options(const Config& root, Options base) {
    root.allow_only({"description", "board", "pulls", "devices", "stimuli"});
    if (!root.has("board")) return base;
    Config c = root.child("board");
    c.allow_only({"pin_call_cost", "sleep_overrun", "isr_fails", "bcm2835_init_fails", "bcm2835_i2c_begin_fails"});
    base.pin_call_cost = c.duration("pin_call_cost", base.pin_call_cost);
    if (base.pin_call_cost > kMaxPinCallCost) c.fail("pin_call_cost", "out of range 0 to 1ms");
    base.sleep_overrun = c.duration("sleep_overrun", base.sleep_overrun);
    if (base.sleep_overrun > kMaxSleepOverrun) c.fail("sleep_overrun", "out of range 0 to 1s");
    base.isr_fails = c.flag("isr_fails", base.isr_fails);
    base.bcm2835_init_fails = c.flag("bcm2835_init_fails", base.bcm2835_init_fails);
    base.bcm2835_i2c_begin_fails = c.flag("bcm2835_i2c_begin_fails", base.bcm2835_i2c_begin_fails);
    return base;
}

void load_scenario(Board& board, const Config& root) {
    // Board-level settings are taken by scenario_options(); only check them here.
    scenario_options(root, Options{});

    if (root.has("pulls")) {
        const YAML::Node& pulls = root.node()["pulls"];
        if (!pulls.IsMap()) root.fail("pulls", "expected a mapping of pin: up|down|none");
        Config pc(pulls, root.file(), "pulls");
        bool pulled[32] = {};
        for (const auto& kv : pulls) {
            if (!kv.first.IsScalar()) root.fail("pulls", "expected a mapping of pin: up|down|none");
            std::string key = kv.first.Scalar();
            const std::optional<int> p = parse_pin(key);
            if (!p)
                throw ScenarioError(root.file() + ": pulls." + key + ": bad pin (expected a wiringPi pin on the header: 0-16 or 21-31) '" + key + "'");
            const int pin = *p;
            if (pulled[pin])  // the same pin written another way (27 and 0x1B)
                throw ScenarioError(root.file() + ": pulls." + key + ": pin " + std::to_string(pin) +
                                    " has a resistor already '" + key + "'");
            pulled[pin] = true;
            std::string v = pc.text(key.c_str());
            Pull pull;
            if (v == "up") pull = Pull::Up;
            else if (v == "down") pull = Pull::Down;
            else if (v == "none") pull = Pull::None;
            else pc.fail(key.c_str(), "expected up, down or none");
            board.set_external_pull(pin, pull);
        }
    }

    std::vector<Config> devices = root.list("devices");
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const Config& d = devices[i];
        std::string type = d.text("type");
        const DeviceFactory* factory = find_device_type(type);
        if (!factory) d.fail("type", "unknown device type (known: " + known_device_types() + ")");
        std::string name = d.text("name", type);
        if (board.find(name)) {
            if (d.has("name")) d.fail("name", "a device of that name is already wired");
            d.fail_here("a device named '" + name + "' (the type, as no name is given) is already wired; give each a name");
        }
        std::unique_ptr<Device> dev = (*factory)(name, d);
        // Every key of the entry must have been asked for by the model.
        d.refuse_unknown();
        try {
            board.add_device(std::move(dev));
        } catch (const std::invalid_argument& e) {
            throw ScenarioError(d.file() + ": " + d.path() + ": " + e.what() + " '" + type + "'");
        }
    }
    for (const std::string& net : board.undriven_nets())
        throw ScenarioError(root.file() + ": devices: net '" + net +
                            "' is listened to but no device drives it (a device's outputs are named <device>.<output>)");

    for (const Config& s : root.list("stimuli")) {
        Time at = s.duration("at");
        std::string target = s.text("device");
        Device* dev = board.find(target);
        if (!dev) s.fail("device", "no device of that name in the scenario");
        std::string action = s.text("action");
        std::function<void()> fn = dev->stimulus(action, s);
        s.refuse_unknown();
        board.apply([&] { board.schedule(at, fn); });
    }
}

void load_scenario_text(Board& board, const std::string& yaml, const std::string& name) {
    Config root = Config::parse(yaml, name);
    Options o = scenario_options(root, board.options());
    board.set_pin_call_cost(o.pin_call_cost);
    load_scenario(board, root);
}

}  // namespace pikit::sim
