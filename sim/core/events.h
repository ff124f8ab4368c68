// Followers of the run's event stream inside the process: a live view, a
// checker of expectations. A listener gets every object the event stream
// (PIKIT_SIM_EVENTS) gets, in the same order and as the same line of JSON,
// whether or not the stream also goes to a file.
#pragma once

#include <string>

#include "time.h"

namespace pikit::sim {

class EventListener {
public:
    virtual ~EventListener() = default;
    // One event: its virtual time, its name ("show", "report", "end"...) and
    // the whole line, without the newline. Called with the board lock held
    // (or while the board is being built, before any other thread runs), on
    // whichever thread made the event: keep it short, never block on
    // anything outside the listener, and never call the board.
    virtual void on_event(Time at, const char* event, const std::string& line) = 0;
};

}  // namespace pikit::sim
