// What a run leaves behind for people: a VCD trace of the lines and a readable
// log of what the modules show and notice.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "time.h"

namespace pikit::sim {

// Value Change Dump, 1 ns timescale, one 1-bit wire per pin, named like
// "wpi8_BCM2_P3". Changes of every pin stream to "<path>.body" while the run
// goes on, so memory stays flat; finish() writes the header with the pins
// declared (used) by then and their power-on values, and appends the changes
// of those pins. Which pins a program uses is only known as it runs.
class VcdWriter {
public:
    explicit VcdWriter(std::string path);
    ~VcdWriter();
    // Where the changes stream while the run goes on.
    static std::string body_path(const std::string& path) { return path + ".body"; }
    bool ok() const { return body_ != nullptr; }
    const std::string& error() const { return error_; }
    void initial(int pin, char value);  // power-on value
    void declare(int pin, const std::string& name);
    void change(Time at, int pin, char value);  // '0', '1' or 'z'
    void flush();
    void finish();

private:
    std::string path_;
    std::string body_path_;
    std::FILE* body_ = nullptr;
    std::string error_;
    std::vector<std::pair<int, std::string>> vars_;
    char initial_[64] = {};
    Time last_ = -1;
    bool finished_ = false;
};

// Line-buffered text log: "[   1.500000070s] aht20 'sensor': measurement started".
class LogWriter {
public:
    explicit LogWriter(const std::string& path);  // "-" for standard error
    ~LogWriter();
    bool ok() const { return file_ != nullptr; }
    const std::string& error() const { return error_; }
    void line(Time at, const std::string& source, const std::string& text);
    void flush();

private:
    std::FILE* file_ = nullptr;
    bool own_ = false;
    std::string error_;
};

}  // namespace pikit::sim
