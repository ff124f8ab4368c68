#include "scenario.h"

#include "expect/expectation.h"

#include <cstdio>
#include <stdexcept>

#include "environment.h"

namespace pikit::sim {

namespace {

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t days_from_civil(int y, int m, int d) {
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int64_t>(era) * 146097 + doe - 719468;
}

// "2025-03-01", "2025-03-01T12:30:00" or "2025-03-01 12:30:00", with an
// optional "Z" (always UTC), or whole seconds since the Unix epoch.
std::optional<std::int64_t> parse_date(const std::string& text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0, used = 0;
    char sep = 0;
    const int n = text.size();
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &used) == 3 && used == 10) {
        if (used < n) {
            int more = 0;
            if (std::sscanf(text.c_str() + used, "%c%2d:%2d:%2d%n", &sep, &h, &mi, &sec, &more) != 4 || more != 9 ||
                (sep != 'T' && sep != ' '))
                return std::nullopt;
            used += more;
            if (used < n && text[used] == 'Z') ++used;
            if (used != n) return std::nullopt;
        }
        static const int month_days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        if (y < 1970 || y > 2200 || mo < 1 || mo > 12 || d < 1 || d > month_days[mo - 1] || (mo == 2 && d == 29 && !leap) ||
            h > 23 || mi > 59 || sec > 59)
            return std::nullopt;
        return ((days_from_civil(y, mo, d) * 24 + h) * 60 + mi) * 60 * 1000000000LL + sec * 1000000000LL;
    }
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    // Up to the end of 2200, as a date written out: in nanoseconds that fits
    // 64 bits with room for the longest run.
    const long long seconds = std::stoll(text);
    if (seconds >= days_from_civil(2201, 1, 1) * 86400) return std::nullopt;
    return seconds * 1000000000LL;
}

// A failure switch for a library call per pin: true (every pin), false, or
// a list of pins.
std::uint32_t pin_switch(const Config& c, const char* key, std::uint32_t fallback) {
    if (!c.has(key)) return fallback;
    if (c.node()[key].IsSequence()) {
        std::uint32_t mask = 0;
        for (int pin : c.pins(key)) mask |= 1u << pin;
        return mask;
    }
    const std::string v = c.node()[key].IsScalar() ? c.text(key) : "";
    if (v == "true") return 0xFFFFFFFFu;
    if (v == "false") return 0;
    c.fail(key, "expected true, false or a list of pins");
}

}  // namespace

Options scenario_options(const Config& root, Options base) {
    root.allow_only({"description", "program", "board", "pulls", "devices", "stimuli", "expect"});
    if (!root.has("board")) return base;
    Config c = root.child("board");
    c.allow_only({"pin_call_cost", "sleep_overrun", "isr_fails", "pwm_fails", "tone_fails", "start_date",
                  "bcm2835_init_fails", "bcm2835_i2c_begin_fails"});
    base.pin_call_cost = c.duration("pin_call_cost", base.pin_call_cost);
    if (base.pin_call_cost > kMaxPinCallCost) c.fail("pin_call_cost", "out of range 0 to 1ms");
    base.sleep_overrun = c.duration("sleep_overrun", base.sleep_overrun);
    if (base.sleep_overrun > kMaxSleepOverrun) c.fail("sleep_overrun", "out of range 0 to 1s");
    base.isr_fails = c.flag("isr_fails", base.isr_fails);
    base.pwm_fails = pin_switch(c, "pwm_fails", base.pwm_fails);
    base.tone_fails = pin_switch(c, "tone_fails", base.tone_fails);
    if (c.has("start_date")) {
        base.start_date = parse_date(c.text("start_date"));
        if (!base.start_date)
            c.fail("start_date", "expected a UTC date from 1970 to 2200 such as 2025-03-01 or 2025-03-01T12:30:00Z, or "
                                 "seconds since 1970");
    }
    base.bcm2835_init_fails = c.flag("bcm2835_init_fails", base.bcm2835_init_fails);
    base.bcm2835_i2c_begin_fails = c.flag("bcm2835_i2c_begin_fails", base.bcm2835_i2c_begin_fails);
    return base;
}

void load_scenario(Board& board, const Config& root) {
    // Board-level settings are taken by scenario_options(); only check them here.
    scenario_options(root, Options{});
    // The run's own files come first: no file a device writes may be one of them.
    for (OutputFile& f : output_files(board.options())) root.outputs().claim(std::move(f));

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

    board.reserve_stimuli();
    for (const Config& s : root.list("stimuli")) {
        Time at = s.duration("at");
        std::string target = s.text("device");
        Device* dev = board.find(target);
        if (!dev) s.fail("device", "no device of that name in the scenario");
        std::string action = s.text("action");
        std::function<void()> fn = dev->stimulus(action, s);
        s.refuse_unknown();
        board.apply([&] { board.schedule_stimulus(at, fn); });
    }
    // What a test of the scenario expects: checked here like every key,
    // acted on only when the run is a test (pikit test).
    if (root.has("program") && root.text("program").empty()) root.fail("program", "expected the program's name or path");
    expect::read_expectations(root);
}

void load_scenario_text(Board& board, const std::string& yaml, const std::string& name) {
    Config root = Config::parse(yaml, name);
    Options o = scenario_options(root, board.options());
    board.set_pin_call_cost(o.pin_call_cost);
    load_scenario(board, root);
}

}  // namespace pikit::sim
