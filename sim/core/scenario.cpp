#include "scenario.h"

#include "fields.h"
#include "plan.h"

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

const Fields<Options>& board_fields() {
    static const Fields<Options> f = [] {
        Fields<Options> b;
        Setting date{"start_date", Kind::Date, "the date at virtual time 0, for the program's time()"};
        date.default_text = "the wall clock at the start, as on a Pi";
        b.duration("pin_call_cost", &Options::pin_call_cost, 0, kMaxPinCallCost,
                   "virtual time each pin call costs (wiringPi's take about 0.1us on a Pi)")
            .duration("sleep_overrun", &Options::sleep_overrun, 0, kMaxSleepOverrun,
                      "added to every wait that sleeps on a Pi: the scheduler's latency")
            .flag("isr_fails", &Options::isr_fails, "wiringPiISR returns -1, as when it cannot start its thread")
            .pins("pwm_fails", &Options::pwm_fails, "softPwmCreate fails on these pins (true: every pin)")
            .pins("tone_fails", &Options::tone_fails, "softToneCreate fails on these pins (true: every pin)")
            .custom(
                date,
                [](const Config& c, Options& o) {
                    o.start_date = parse_date(c.text("start_date"));
                    if (!o.start_date)
                        c.fail("start_date",
                               "expected a UTC date from 1970 to 2200 such as 2025-03-01 or 2025-03-01T12:30:00Z, or "
                               "seconds since 1970");
                },
                [](const Options& o) { return o.start_date ? written_integer(*o.start_date / 1000000000) : written_none(); })
            .flag("bcm2835_init_fails", &Options::bcm2835_init_fails,
                  "bcm2835_init returns 0, as on a Pi without the rights to map the peripherals")
            .flag("bcm2835_i2c_begin_fails", &Options::bcm2835_i2c_begin_fails,
                  "bcm2835_i2c_begin returns 0, as when the I2C controller cannot be started");
        return b;
    }();
    return f;
}

const std::vector<std::string> kTopLevel = {"description", "program", "board", "pulls", "devices", "stimuli", "expect"};

}  // namespace

std::vector<Setting> board_settings() { return board_fields().declaration(); }

std::vector<Setting> scenario_keys() {
    std::vector<Setting> keys;
    keys.push_back({"description", Kind::Text, "what the scenario is, for people"});
    keys.push_back({"program", Kind::Text, "the program the scenario is for (pikit test runs it)"});
    Setting board{"board", Kind::Group, "settings of the simulated Pi itself"};
    board.fields = board_settings();
    keys.push_back(board);
    keys.push_back({"pulls", Kind::Pulls, "resistors on the module or the board: pin: up, down or none"});
    keys.push_back({"devices", Kind::List, "the modules wired to the header, each with its type and settings"});
    keys.push_back({"stimuli", Kind::List, "what happens to the modules, and when: at, device, action and its arguments"});
    keys.push_back({"expect", Kind::List,
                    "what a test of the scenario checks (pikit test): output, shown values, pin levels, the exit, "
                    "reports that must not come; see docs/testing.md"});
    return keys;
}

Options scenario_options(const Config& root, Options base, Problems& p) {
    for (const std::string& k : root.keys_other_than(kTopLevel))
        p.add(root.at(k) + ": unknown setting (known: description, program, board, pulls, devices, stimuli, expect)");
    if (!root.has("board")) return base;
    p.guard([&] { board_fields().read(root.child("board"), base, p); });
    return base;
}

Options scenario_options(const Config& root, Options base) {
    Problems p;
    Options o = scenario_options(root, std::move(base), p);
    p.throw_first();
    return o;
}

void load_scenario(Board& board, const Config& root) {
    // The run's own files come first: no file a device writes may be one of them.
    for (OutputFile& f : output_files(board.options())) root.outputs().claim(std::move(f));
    const Plan plan = plan_scenario(root, &board);
    plan.problems.throw_first();
    wire(board, plan);
}

void load_scenario_text(Board& board, const std::string& yaml, const std::string& name) {
    Config root = Config::parse(yaml, name);
    Options o = scenario_options(root, board.options());
    board.set_pin_call_cost(o.pin_call_cost);
    load_scenario(board, root);
}

}  // namespace pikit::sim
