#include "trace.h"

#include <cerrno>
#include <cstring>

namespace pikit::sim {

namespace {
std::string vcd_id(int pin) {
    // Printable identifier codes '!'..'~', two characters for every pin.
    std::string s;
    s += static_cast<char>('!' + pin % 90);
    s += static_cast<char>('!' + pin / 90);
    return s;
}
}  // namespace

VcdWriter::VcdWriter(std::string path) : path_(std::move(path)), body_path_(path_ + ".body") {
    body_ = std::fopen(body_path_.c_str(), "w");
    if (!body_) error_ = std::strerror(errno);
}

VcdWriter::~VcdWriter() { finish(); }

void VcdWriter::declare(int pin, const std::string& name) {
    for (const auto& v : vars_)
        if (v.first == pin) return;
    vars_.emplace_back(pin, name);
}

void VcdWriter::change(Time at, int pin, char value) {
    if (!body_) return;
    if (at != last_) {
        std::fprintf(body_, "#%lld\n", static_cast<long long>(at));
        last_ = at;
    }
    std::fprintf(body_, "%c%s\n", value, vcd_id(pin).c_str());
}

void VcdWriter::flush() {
    if (body_) std::fflush(body_);
}

void VcdWriter::finish() {
    if (finished_ || !body_) return;
    finished_ = true;
    std::fclose(body_);
    body_ = nullptr;
    std::FILE* out = std::fopen(path_.c_str(), "w");
    std::FILE* in = std::fopen(body_path_.c_str(), "r");
    if (out) {
        std::fprintf(out, "$version pikit simulated kit $end\n$timescale 1ns $end\n$scope module pi $end\n");
        for (const auto& v : vars_)
            std::fprintf(out, "$var wire 1 %s %s $end\n", vcd_id(v.first).c_str(), v.second.c_str());
        std::fprintf(out, "$upscope $end\n$enddefinitions $end\n");
        if (in) {
            char buf[1 << 16];
            std::size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) std::fwrite(buf, 1, n, out);
        }
        std::fclose(out);
    }
    if (in) std::fclose(in);
    std::remove(body_path_.c_str());
}

LogWriter::LogWriter(const std::string& path) {
    if (path == "-") {
        file_ = stderr;
    } else {
        file_ = std::fopen(path.c_str(), "w");
        own_ = true;
        if (!file_) error_ = std::strerror(errno);
    }
}

LogWriter::~LogWriter() {
    if (file_ && own_) std::fclose(file_);
}

void LogWriter::line(Time at, const std::string& source, const std::string& text) {
    if (!file_) return;
    std::string t = format_time(at);
    std::fprintf(file_, "[%15s] %s: %s\n", t.c_str(), source.c_str(), text.c_str());
    std::fflush(file_);
}

void LogWriter::flush() {
    if (file_) std::fflush(file_);
}

}  // namespace pikit::sim
