// Fuzz target for everything the kit reads from a person before a program
// runs: the scenario loader (YAML, every device type's settings, stimuli)
// and the parsers of the run variables. Any input must either load or be
// refused with a ScenarioError or OptionError; anything else (another
// exception, a crash, a hang, undefined behaviour under the sanitizers, a
// value outside its documented range) is a finding.
//
// Built with libFuzzer by clang (-DPIKIT_FUZZ=ON); the same function is also
// replayed over the repository's scenarios by an ordinary test.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/board.h"
#include "core/config.h"
#include "core/environment.h"
#include "core/scenario.h"

using namespace pikit::sim;

namespace {

[[noreturn]] void finding(const std::string& what) {
    std::fprintf(stderr, "scenario-fuzz: %s\n", what.c_str());
    std::abort();
}

// One state directory per fuzzing process: EEPROM models lock and read
// their memory there. Removed at exit.
struct StateDir {
    std::string path = (std::filesystem::temp_directory_path() / "pikit-fuzz-XXXXXX").string();
    StateDir() {
        if (!mkdtemp(path.data())) finding("cannot make a state directory");
    }
    ~StateDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

const std::string& state_dir() {
    static const StateDir dir;
    return dir.path;
}

// Each line of the input as the value of the run variables that hold
// numbers, and as a number of every kind.
void environment(const std::string& text) {
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;

        if (auto t = parse_duration(line); t && (*t < 0 || *t > kMaxDuration)) finding("duration out of range: " + line);
        if (auto p = parse_pin(line); p && !is_header_pin(*p)) finding("pin off the header: " + line);
        parse_integer(line);
        parse_decimal(line);
        try {
            RunEnvironment e = read_environment([&](const char* name) -> const char* {
                const std::string n = name;
                return n == "PIKIT_SIM_UNTIL" || n == "PIKIT_SIM_SPEED" || n == "PIKIT_SIM_PIN_COST" ? line.c_str() : nullptr;
            });
            const Options& o = e.options;
            if (o.until != kNever && (o.until < 0 || o.until > kMaxDuration)) finding("run limit out of range: " + line);
            if (e.pin_cost && (*e.pin_cost < 0 || *e.pin_cost > kMaxPinCallCost)) finding("pin cost out of range: " + line);
            if (o.speed == Speed::Factor && !(o.speed_factor >= kMinSpeedFactor && o.speed_factor <= kMaxSpeedFactor))
                finding("speed out of range: " + line);
        } catch (const ScenarioError&) {}
        if (end == text.size()) break;
    }
}

void scenario(const std::string& text) {
    try {
        Config root = Config::parse(text, "fuzz.yaml");
        Options o;
        o.state_dir = state_dir();
        o = scenario_options(root, o);
        if (o.pin_call_cost < 0 || o.pin_call_cost > kMaxPinCallCost) finding("scenario pin cost out of range");
        if (o.sleep_overrun < 0 || o.sleep_overrun > kMaxSleepOverrun) finding("scenario sleep overrun out of range");
        Board board(o);
        load_scenario(board, root);
    } catch (const ScenarioError&) {
    } catch (const OptionError&) {}
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    environment(text);
    scenario(text);
    return 0;
}
