// What the library front ends (wiringPi, bcm2835) share: the board they act
// on, the pin numbering a program chose, and the reports they make of a call
// that cannot do what it asks.
#pragma once

#include <string>

#include "core/board.h"

namespace pikit::sim::api {

// The board the libraries act on. With none (a test that has not built one
// yet), ends the process with a message naming the library, as a call made
// before the library is set up cannot go anywhere.
Board& board_for(const char* library);

// wiringPi's pin numberings, as the set-up calls choose them.
enum class Numbering { WiringPi, Bcm, Physical };
void set_numbering(Numbering n);
Numbering numbering();

// The wiringPi pin (the board's numbering) that `pin` of the program's
// numbering names, or -1 when it names no GPIO of the 40-pin header (a power
// or ground pin, a BCM GPIO the header does not bring out). Pin numbers that
// are not on the header at all are passed through in wiringPi numbering, for
// the board to refuse with its own report.
int board_pin(int pin);

// The call `call` named a pin of the program's numbering that is no GPIO of
// the header: reported once per pin and call (a program may loop), nothing
// done. Returns false, for `if (!check(...)) return;`.
bool unmapped(Board& b, const char* call, int pin);

// A library call that the simulated Pi refuses or ignores, as a report of the
// board's log and event stream (and of Board::reports()).
void library_error(Board& b, const std::string& text);

// Called by every pin call: on an empty board (a program started without any
// scenario), the first one tells on standard error how to wire something.
void note_pin_use(Board& b, int wpi_pin);

}  // namespace pikit::sim::api
