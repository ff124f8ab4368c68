#include "devices/fan.h"

#include <cmath>

#include "core/board.h"
#include "core/model.h"

namespace pikit::sim {

namespace {
constexpr Time kTick = 10_ms;  // how often a changing speed is shown

double hundredths(double v) {
    const double r = std::round(v * 100.0) / 100.0;
    return r == 0 ? 0.0 : r;  // no "-0"
}
}  // namespace

Fan::Fan(std::string name, Settings settings) : Device("fan", std::move(name)), settings_(std::move(settings)) {}

const char* Fan::to_string(Direction d) {
    switch (d) {
    case Direction::Off: return "off";
    case Direction::Forward: return "forward";
    case Direction::Reverse: return "reverse";
    case Direction::Brake: return "brake";
    }
    return "?";
}

void Fan::attach(Board& board) {
    in1_ = board.line(settings_.in1);
    in2_ = board.line(settings_.in2);
    if (in1_ == in2_) throw std::invalid_argument(label() + ": both inputs on " + board.line_name(in1_));
    board.attach(*this, in1_, PinRole::Input);
    board.attach(*this, in2_, PinRole::Input);
    meter1_.bind(board, in1_, [this] { inputs_changed(); });
    meter2_.bind(board, in2_, [this] { inputs_changed(); });
    ticker_.bind(board, [this] { tick(); });
    speed_at_ = board.now();
    inputs_changed();
}

void Fan::on_edge(int pin, Level level) {
    if (pin == in1_) meter1_.edge(level);
    if (pin == in2_) meter2_.edge(level);
}

void Fan::on_waveform(int pin) {
    if (pin == in1_) meter1_.waveform_changed();
    if (pin == in2_) meter2_.waveform_changed();
    if (pin == in1_ || pin == in2_) inputs_changed();
}

double Fan::duty(int line, const LineMeter& meter) const {
    // A soft PWM generator's setting is the duty of its pulses from its next
    // period on; reading it, rather than measuring the pulses, keeps the two
    // inputs in step when one is set to 0 and the other started in the same
    // instant (a meter only sees a line go still after a few periods).
    const Waveform& w = board()->waveform(line);
    return w.kind == Waveform::Kind::Pwm ? w.duty() : meter.duty();
}

double Fan::target() const {
    switch (direction_) {
    case Direction::Forward: return drive_;
    case Direction::Reverse: return -drive_;
    default: return 0.0;
    }
}

Time Fan::lag() const { return direction_ == Direction::Brake ? settings_.brake_time_constant : settings_.time_constant; }

double Fan::speed() const {
    const Time dt = board()->now() - speed_at_;
    const double tau = static_cast<double>(lag());
    if (dt <= 0 || tau <= 0) return tau <= 0 ? target() : speed_;
    return target() + (speed_ - target()) * std::exp(-static_cast<double>(dt) / tau);
}

void Fan::advance() {
    speed_ = speed();
    speed_at_ = board()->now();
}

void Fan::inputs_changed() {
    advance();
    const double d1 = duty(in1_, meter1_), d2 = duty(in2_, meter2_);
    Direction dir;
    double drive;
    if (d1 >= 1.0 && d2 >= 1.0) {
        dir = Direction::Brake;
        drive = 0;
    } else if (d1 > 0 && d2 > 0) {
        if (!told_mixed_) {
            board()->info(*this, "both inputs driven (" + Shown(d1).text() + ", " + Shown(d2).text() +
                                     "): taken as the difference of the two");
            told_mixed_ = true;
        }
        dir = d1 > d2 ? Direction::Forward : d2 > d1 ? Direction::Reverse : Direction::Brake;
        drive = std::fabs(d1 - d2);
    } else if (d1 > 0) {
        dir = Direction::Forward;
        drive = d1;
    } else if (d2 > 0) {
        dir = Direction::Reverse;
        drive = d2;
    } else {
        dir = Direction::Off;
        drive = 0;
    }
    drive = hundredths(drive);
    // The board passes on changes only.
    board()->show(*this, "direction", to_string(dir));
    board()->show(*this, "drive", drive);
    direction_ = dir;
    drive_ = drive;
    show_speed();
    if (!ticker_.armed()) ticker_.in(kTick);
}

void Fan::show_speed() { board()->show(*this, "speed", hundredths(speed_)); }

void Fan::tick() {
    advance();
    show_speed();
    // Keep ticking until the speed has settled where the drive holds it.
    if (std::fabs(speed_ - target()) >= 0.001) ticker_.in(kTick);
}

void Fan::finish() {
    advance();
    show_speed();
}

namespace {

using S = Fan::Settings;

const DeviceRegistrar registrar{
    ModelOf<Fan, S>(
        "fan", "fan module: a DC motor with a propeller behind an H-bridge with two drive inputs",
        Fields<S>()
            .line("in1", &S::in1, "drive input 1: driven alone, the fan turns forward")
            .line("in2", &S::in2, "drive input 2: driven alone, the fan turns in reverse")
            .duration("time_constant", &S::time_constant, 10_ms, 60_s,
                      "how fast the speed follows the drive, spinning up and coasting down")
            .duration("brake_time_constant", &S::brake_time_constant, 10_ms, 60_s, "the same while braked (both inputs HIGH)"))
        .shows("direction", ShownType::Text, "what the inputs ask for: forward, reverse, brake or off")
        .shows("drive", ShownType::Number, "0 to 1: the power share the inputs give, in steps of 0.01")
        .shows(
            "speed", ShownType::Number,
            "-1 to 1: the speed as a share of full speed, negative in reverse, in steps of 0.01; every 10ms while it changes")};

}  // namespace

}  // namespace pikit::sim
