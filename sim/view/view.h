// The live view: while a program runs on the kit, a page of the board in a
// browser, drawn as a person sees the modules, with every input a person
// could give them (PIKIT_SIM_VIEW; protocol in docs/view.md).
//
// The view is an HTTP server on one port. Its threads are not program
// threads: they block every signal, never hold the clock, and hold the
// board lock only to take a snapshot or to place an input. The page is
// built into the kit: nothing is fetched from anywhere.
//
//   View view(address, scenario_name, scenario_text);
//   options.event_listeners.push_back(view.listener());   // before the board
//   view.bind();                                          // throws if it cannot
//   Board board(options); load_scenario(...);
//   view.serve(board);                                    // until ~View or stop()
#pragma once

#include <memory>
#include <string>

#include "core/board.h"
#include "core/environment.h"

namespace pikit::sim::view {

class View {
public:
    View(const ViewAddress& where, std::string scenario_name, std::string scenario_text);
    ~View();
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    // Whether this build of the kit has the view (it needs cpp-httplib).
    static bool available();

    // Follows the event stream: put it in Options::event_listeners.
    EventListener* listener();
    // Takes the address; throws std::runtime_error saying why it cannot.
    void bind();
    int port() const;
    // "http://127.0.0.1:8080/"
    std::string url() const;
    // Starts serving `board` on threads of its own.
    void serve(Board& board);
    // Stops serving; what is in flight ends first. Idempotent.
    void stop();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace pikit::sim::view
