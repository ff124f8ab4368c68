// What a device model is to the simulated Pi. The core knows no device types:
// each model lives in its own file pair under sim/devices/ and registers a
// factory under its scenario type name.
//
// Rules for models:
//  - Every method below is called with the board lock held, on whatever thread
//    drives the simulation at that instant. Models never block, never sleep and
//    never call the wiringPi/bcm2835 API; they react to edges and to their own
//    scheduled events through the Board methods marked "device side".
//  - A reaction that happens "at once" (an open-drain output following a clock
//    edge) is a drive() inside on_edge(); it takes effect before the master's
//    call that caused the edge returns.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "config.h"
#include "time.h"

namespace pikit::sim {

class Board;

enum class Level : unsigned char { Low = 0, High = 1 };
constexpr Level operator!(Level l) { return l == Level::Low ? Level::High : Level::Low; }
constexpr bool is_high(Level l) { return l == Level::High; }
constexpr Level level_of(bool high) { return high ? Level::High : Level::Low; }

// How a device is connected to a pin.
enum class PinRole : unsigned char {
    Input,      // only listens
    OpenDrain,  // can pull the line low or let it go
    PushPull,   // drives the line high or low (at most one per pin)
};

enum class Drive : unsigned char { Release, Low, High };

class Device {
public:
    Device(std::string type, std::string name);
    virtual ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    const std::string& type() const { return type_; }
    const std::string& name() const { return name_; }
    // "aht20 'sensor'": how the log and reports name this device.
    std::string label() const;

    // Called once when added to a board: attach pins here with board.attach().
    virtual void attach(Board& board) = 0;

    // The resolved level of an attached pin changed, at board.now().
    virtual void on_edge(int pin, Level level);

    // Soft PWM or soft tone settings of an attached pin changed (board.waveform()).
    virtual void on_waveform(int pin);

    // A timed stimulus from the scenario. Called when the scenario is loaded:
    // check the arguments (throw ScenarioError through args.fail()) and return
    // what to do at the stimulus time. The default accepts none.
    virtual std::function<void()> stimulus(const std::string& action, const Config& args);

    // Called when the run ends (normal exit, run limit, or Board destruction),
    // before the log is closed: a good place for a summary line or saving state.
    virtual void finish();

protected:
    Board* board() const { return board_; }

private:
    friend class Board;
    std::string type_;
    std::string name_;
    Board* board_ = nullptr;
};

// Factory for the scenario loader: (instance name, settings) -> device.
using DeviceFactory = std::function<std::unique_ptr<Device>(const std::string& name, const Config& settings)>;

// Put one of these at namespace scope in the model's .cpp:
//   static const DeviceRegistrar reg{"aht20", [](const std::string& n, const Config& c) {...}};
struct DeviceRegistrar {
    DeviceRegistrar(const char* type, DeviceFactory factory);
};

// The factory for a type name, or nullptr.
const DeviceFactory* find_device_type(const std::string& type);
std::string known_device_types();  // comma-separated, for error messages

}  // namespace pikit::sim
