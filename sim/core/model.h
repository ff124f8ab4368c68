// What a device model declares, once, as data: its scenario type name, its
// settings, its actions (with their arguments, declared as settings are) and
// what it shows a person. The scenario reader, the dry run, the actions a
// person gives from outside a scenario, the device reference and the
// scenario schema all work from this declaration; no model reads a scenario
// by hand. A model registers it at namespace scope in its .cpp:
//
//   const DeviceRegistrar registrar{
//       ModelOf<Led, Led::Settings>("led", "one LED with its resistor", led_settings(), make_led)
//           .shows("on", ShownType::Flag, "the LED gives light")};
#pragma once

#include <any>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "device.h"
#include "fields.h"

namespace pikit::sim {

enum class ShownType : unsigned char { Flag, Integer, Number, Text, Record };
const char* to_string(ShownType t);

// A value the model shows under `key` (Board::show).
struct ShownKey {
    std::string key;
    ShownType type;
    std::string meaning;
};

// Something a scenario's stimulus, or a person from outside, makes a device
// of the type do: {action: press, key: 7, hold: 150ms}.
struct Action {
    std::string name;
    std::string meaning;
    std::vector<Setting> args;
    // Reads and checks the arguments of one stimulus for a device whose
    // declared settings are `settings` (empty: the type's defaults). Every
    // problem goes to `p`; the arguments, when there is none.
    std::function<std::any(const std::any& settings, const Config& c, Problems& p)> read;
    // Makes the device do it, now (device side: board lock held).
    std::function<void(Device& d, const std::any& args)> run;
};

struct Model {
    std::string type;
    std::string summary;  // one line: the module it is
    std::vector<Setting> settings;
    std::vector<Action> actions;
    std::vector<ShownKey> shows;
    // Reads and checks a device entry's settings (the caller handles `type`
    // and `name`); the settings, when nothing was wrong.
    std::function<std::any(const Config& c, Problems& p)> read;
    // Builds a device of the type from settings read before; `c` is its
    // entry, for refusals that only building can find (a file that cannot be
    // written).
    std::function<std::unique_ptr<Device>(const std::string& name, const std::any& settings, const Config& c)> build;
    // The settings in force as a JSON object (the type's defaults when empty).
    std::function<std::string(const std::any& settings)> settings_json;

    const Action* action(const std::string& name) const;
    std::string action_names() const;  // "press, frame, repeat"; "none" when it has none
};

// Registers a model under its type name (at namespace scope in its .cpp).
struct DeviceRegistrar {
    explicit DeviceRegistrar(Model model);
};

// The model of a type name, or nullptr.
const Model* find_model(const std::string& type);
// Every registered model, by type name.
std::vector<const Model*> models();
std::string known_device_types();  // comma-separated, for messages

// The declaration of a model whose device class is D and settings struct S,
// built in the model's .cpp. S must be default-constructible: a default-made
// S holds the defaults the reference shows.
template <class D, class S>
class ModelOf {
public:
    using DeviceType = D;
    using SettingsType = S;
    using Make = std::function<std::unique_ptr<D>(const std::string& name, const S& settings, const Config& c)>;

    ModelOf(std::string type, std::string summary, Fields<S> settings, Make make)
        : type_(std::move(type)), summary_(std::move(summary)), settings_(std::move(settings)), make_(std::move(make)) {}
    // The usual factory: the device from its name and settings.
    ModelOf(std::string type, std::string summary, Fields<S> settings)
        : ModelOf(std::move(type), std::move(summary), std::move(settings),
                  [](const std::string& name, const S& s, const Config&) { return std::make_unique<D>(name, s); }) {}

    // An action with arguments A (a struct, read like settings). `start`
    // gives arguments defaults of the device's own (a press bounces as the
    // button does); `check` refuses arguments that do not fit the device's
    // settings, through c.fail(key, why).
    template <class A>
    ModelOf& action(std::string name, std::string meaning, Fields<A> args, std::function<void(D&, const A&)> run,
                    std::function<void(const S&, A&)> start = {},
                    std::function<void(const S&, const A&, const Config&)> check = {}) {
        Action a;
        a.name = std::move(name);
        a.meaning = std::move(meaning);
        a.args = args.declaration();
        a.read = [args, start, check](const std::any& settings, const Config& c, Problems& p) -> std::any {
            const S* given = std::any_cast<S>(&settings);
            const S s = given ? *given : S{};
            A v{};
            if (start) start(s, v);
            const std::size_t before = p.size();
            args.read(c, v, p, {"at", "device", "action"});
            if (p.size() != before) return {};
            if (check && !p.guard([&] { check(s, v, c); })) return {};
            return v;
        };
        a.run = [run](Device& d, const std::any& v) { run(static_cast<D&>(d), std::any_cast<const A&>(v)); };
        actions_.push_back(std::move(a));
        return *this;
    }
    // An action without arguments.
    ModelOf& action(std::string name, std::string meaning, std::function<void(D&)> run) {
        Action a;
        a.name = std::move(name);
        a.meaning = std::move(meaning);
        a.read = [](const std::any&, const Config& c, Problems& p) -> std::any {
            const std::size_t before = p.size();
            for (const std::string& k : c.keys_other_than({"at", "device", "action"}))
                p.add(c.at(k) + ": unknown setting (known: at, device, action)");
            return p.size() == before ? std::any(true) : std::any();
        };
        a.run = [run](Device& d, const std::any&) { run(static_cast<D&>(d)); };
        actions_.push_back(std::move(a));
        return *this;
    }

    ModelOf& shows(std::string key, ShownType type, std::string meaning) {
        shows_.push_back({std::move(key), type, std::move(meaning)});
        return *this;
    }

    operator Model() const {  // NOLINT: a ModelOf is written where a Model is registered
        Model m;
        m.type = type_;
        m.summary = summary_;
        m.settings = settings_.declaration();
        m.actions = actions_;
        m.shows = shows_;
        m.read = [fields = settings_](const Config& c, Problems& p) -> std::any {
            S s{};
            const std::size_t before = p.size();
            fields.read(c, s, p, {"type", "name"});
            if (p.size() != before) return {};
            return s;
        };
        m.build = [make = make_](const std::string& name, const std::any& settings, const Config& c) {
            const S& s = std::any_cast<const S&>(settings);
            std::unique_ptr<Device> d = make(name, s, c);
            d->declared_ = settings;
            return d;
        };
        m.settings_json = [fields = settings_](const std::any& settings) {
            const S* given = std::any_cast<S>(&settings);
            return fields.written(given ? *given : S{}).json;
        };
        return m;
    }

private:
    std::string type_;
    std::string summary_;
    Fields<S> settings_;
    Make make_;
    std::vector<Action> actions_;
    std::vector<ShownKey> shows_;
};

}  // namespace pikit::sim
