// What a device model is to the simulated Pi. The core knows no device types:
// each model lives in its own file pair under sim/devices/ and registers its
// declaration (model.h) under its scenario type name.
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

#include <any>
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

    // Called when the run ends (normal exit, run limit, or Board destruction),
    // before the log is closed: a good place for a summary line or saving state.
    virtual void finish();

    // The settings the device was built from, as its model declared and
    // read them (empty for a device a test built by hand).
    const std::any& declared_settings() const { return declared_; }

protected:
    Board* board() const { return board_; }

private:
    friend class Board;
    template <class, class>
    friend class ModelOf;
    std::string type_;
    std::string name_;
    Board* board_ = nullptr;
    std::any declared_;
};

}  // namespace pikit::sim
