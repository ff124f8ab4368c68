// What a run leaves behind for people: a VCD trace of the lines and a readable
// log of what the modules show and notice.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "events.h"
#include "time.h"

namespace pikit::sim {

// Value Change Dump, 1 ns timescale, one 1-bit wire per pin, named like
// "wpi8_BCM2_P3" in scope "pi", and one per named net of a device ("Q0" in
// the scope named after the device). Changes of every pin stream to "<path>.body" while the run
// goes on, so memory stays flat; finish() writes the header with the pins
// declared (used) by then and their power-on values, and appends the changes
// of those pins. Which pins a program uses is only known as it runs.
//
// Changes at time 0 (a scenario's pull-ups, a master's first pin calls at
// power-up) become the dumped start values, so time 0 appears once. The trace
// closes with a time stamp at the run's end: without it a reader takes the
// last change as the end of the capture, and a decoder never sees that change
// hold (a STOP condition or the last bit slot would be lost).
class VcdWriter {
public:
    explicit VcdWriter(std::string path);
    ~VcdWriter();
    // Where the changes stream while the run goes on.
    static std::string body_path(const std::string& path) { return path + ".body"; }
    bool ok() const { return body_ != nullptr; }
    const std::string& error() const { return error_; }
    void initial(int pin, char value);  // power-on value
    void declare(int pin, const std::string& name, const std::string& scope = "pi");
    void change(Time at, int pin, char value);  // '0', '1' or 'z'
    void flush();
    // Writes the trace file; `end` is the run's end (ignored if not later
    // than the last change). Only the first call counts.
    void finish(Time end = -1);

private:
    std::string path_;
    std::string body_path_;
    std::FILE* body_ = nullptr;
    std::string error_;
    struct Var {
        int line;
        std::string name;
        std::string scope;
    };
    std::vector<Var> vars_;
    char initial_[256] = {};
    Time last_ = -1;
    bool finished_ = false;
};

// A text file the run writes as it goes, or standard error for "-"; an
// empty path writes nothing.
class TextOutput {
public:
    explicit TextOutput(const std::string& path);
    ~TextOutput();
    TextOutput(const TextOutput&) = delete;
    TextOutput& operator=(const TextOutput&) = delete;
    bool ok() const { return file_ != nullptr; }
    const std::string& error() const { return error_; }
    void flush();

protected:
    std::FILE* file_ = nullptr;

private:
    bool own_ = false;
    std::string error_;
};

// Line-buffered text log: "[   1.500000070s] aht20 'sensor': measurement started".
class LogWriter : public TextOutput {
public:
    using TextOutput::TextOutput;
    void line(Time at, const std::string& source, const std::string& text);
};

// The event stream: one JSON object per line, for a live view or another
// tool to follow the run (fields documented in docs/simulator.md):
//   {"t_ns":1580000070,"event":"show","device":"led","key":"on","value":true}
// Listeners in the process get every line too, with or without a file.
class EventWriter : public TextOutput {
public:
    EventWriter(const std::string& path, std::vector<EventListener*> listeners)
        : TextOutput(path), listeners_(std::move(listeners)) {}
    // One event at virtual time `at`: `line` is its whole JSON object, made
    // by the board (publish.cpp), without the newline.
    void write(Time at, const char* event, const std::string& line);

private:
    std::vector<EventListener*> listeners_;
};

}  // namespace pikit::sim
