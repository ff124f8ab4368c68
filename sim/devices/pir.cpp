#include "devices/pir.h"

#include <algorithm>

#include "core/board.h"
#include "core/model.h"

namespace pikit::sim {

Pir::Pir(std::string name, Settings settings) : Device("pir", std::move(name)), settings_(settings) {}

void Pir::attach(Board& board) {
    // The timer chip's output stage drives the line both ways.
    board.attach(*this, settings_.pin, PinRole::PushPull);
    board.drive(*this, settings_.pin, Drive::Low);
    warm_.bind(board, [this] {
        ready_ = true;
        this->board()->show(*this, "ready", true);
        this->board()->info(*this, "warmed up");
        if (moving_until_ > this->board()->now()) seen();
    });
    off_.bind(board, [this] { fall(); });
    unblock_.bind(board, [this] {
        blocked_ = false;
        if (moving_until_ > this->board()->now()) seen();
    });
    // The first values, so that a page or a test sees the sensor before it
    // has anything to say.
    board.show(*this, "detected", false);
    ready_ = settings_.warm_up == 0;
    board.show(*this, "ready", ready_);
    if (!ready_) warm_.in(settings_.warm_up);
}

void Pir::motion(Time lasting) {
    const Time now = board()->now();
    moving_until_ = std::max(moving_until_, now + lasting);
    if (!ready_) {
        board()->info(*this, "movement during the warm-up: not seen");
        return;
    }
    if (blocked_) {
        board()->info(*this, "movement while the output has just fallen: not seen");
        return;
    }
    seen();
}

void Pir::seen() {
    const Time now = board()->now();
    if (!detected_) {
        ++triggers_;
        output(true);
        // Without retriggering the output's time counts from this first
        // movement alone.
        off_.at((settings_.retrigger ? std::max(moving_until_, now) : now) + settings_.hold);
        return;
    }
    if (settings_.retrigger) off_.at(std::max(off_.due(), std::max(moving_until_, now) + settings_.hold));
}

void Pir::fall() {
    output(false);
    if (settings_.block > 0) {
        blocked_ = true;
        unblock_.in(settings_.block);
    } else if (moving_until_ > board()->now()) {
        seen();
    }
}

void Pir::output(bool high) {
    detected_ = high;
    board()->drive(*this, settings_.pin, high ? Drive::High : Drive::Low);
    board()->show(*this, "detected", high);
}

namespace {

using S = Pir::Settings;

struct Motion {
    Time lasting = 0;
};

const DeviceRegistrar registrar{
    ModelOf<Pir, S>(
        "pir", "passive infrared motion sensor module with a push-pull output",
        Fields<S>()
            .pin("pin", &S::pin, "the module's output")
            .duration("hold", &S::hold, 1_s, 10 * 60_s, "how long the output stays HIGH after the movement it counted")
            .flag("retrigger", &S::retrigger,
                  "movement while HIGH keeps the output HIGH (false: it falls `hold` after the first)")
            .duration("warm_up", &S::warm_up, 0, 2 * 60_s,
                      "after power-up the output stays LOW and nothing is seen for this long")
            .duration("block", &S::block, 0, 10_s, "after the output falls the module sees nothing for this long"))
        .action<Motion>("motion", "something warm moves in view, now",
                        Fields<Motion>().duration("lasting", &Motion::lasting, 0, 60 * 60_s,
                                                  "for how long it keeps moving (0: one pass across the lens)"),
                        [](Pir& p, const Motion& m) { p.motion(m.lasting); })
        .shows("detected", ShownType::Flag, "the output is HIGH: movement seen within the hold time")
        .shows("ready", ShownType::Flag, "warmed up: movement is seen")};

}  // namespace

}  // namespace pikit::sim
