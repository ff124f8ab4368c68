// What a peripheral of the Pi generates on a pin (the PWM controller's
// pattern), told to the devices on the line the way soft PWM is.
#include "board_impl.h"

namespace pikit::sim {

void Board::set_peripheral_waveform(int pin, const Waveform& w) {
    if (!is_header_pin(pin)) return;
    impl_->pins[pin].wave = w;
    impl_->pins[pin].wave.since = now();
    impl_->waveform_changed(pin);
}

}  // namespace pikit::sim
