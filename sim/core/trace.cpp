#include "trace.h"

#include <algorithm>
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

VcdWriter::VcdWriter(std::string path) : path_(std::move(path)), body_path_(body_path(path_)) {
    body_ = std::fopen(body_path_.c_str(), "w");
    if (!body_) error_ = std::strerror(errno);
}

VcdWriter::~VcdWriter() { finish(); }

void VcdWriter::initial(int pin, char value) {
    if (pin >= 0 && pin < static_cast<int>(sizeof initial_)) initial_[pin] = value;
}

void VcdWriter::declare(int pin, const std::string& name, const std::string& scope) {
    for (const auto& v : vars_)
        if (v.line == pin) return;
    vars_.push_back({pin, name, scope});
}

void VcdWriter::change(Time at, int pin, char value) {
    if (!body_) return;
    if (at <= 0) {
        initial(pin, value);
        return;
    }
    if (at != last_) {
        std::fprintf(body_, "#%lld\n", static_cast<long long>(at));
        last_ = at;
    }
    std::fprintf(body_, "%c%s\n", value, vcd_id(pin).c_str());
}

void VcdWriter::flush() {
    if (body_) std::fflush(body_);
}

void VcdWriter::finish(Time end) {
    if (finished_ || !body_) return;
    finished_ = true;
    std::fclose(body_);
    body_ = nullptr;
    std::FILE* out = std::fopen(path_.c_str(), "w");
    std::FILE* in = std::fopen(body_path_.c_str(), "r");
    if (out) {
        std::fprintf(out, "$version pikit simulated kit $end\n$timescale 1ns $end\n");
        // The header pins in scope "pi", then each device's nets in a scope
        // of the device's name, in the order they were first used.
        std::vector<std::string> scopes{"pi"};
        for (const auto& v : vars_)
            if (std::find(scopes.begin(), scopes.end(), v.scope) == scopes.end()) scopes.push_back(v.scope);
        for (const auto& scope : scopes) {
            std::fprintf(out, "$scope module %s $end\n", scope.c_str());
            for (const auto& v : vars_)
                if (v.scope == scope) std::fprintf(out, "$var wire 1 %s %s $end\n", vcd_id(v.line).c_str(), v.name.c_str());
            std::fprintf(out, "$upscope $end\n");
        }
        std::fprintf(out, "$enddefinitions $end\n#0\n$dumpvars\n");
        bool declared[64 * 64] = {};
        for (const auto& v : vars_) {
            std::string id = vcd_id(v.line);
            declared[(id[0] - '!') + 90 * (id[1] - '!')] = true;
            std::fprintf(out, "%c%s\n", initial_[v.line] ? initial_[v.line] : 'x', id.c_str());
        }
        std::fprintf(out, "$end\n");
        if (in) {
            // Keep the time stamps and the changes of declared pins only.
            char line[64];
            while (std::fgets(line, sizeof line, in)) {
                if (line[0] == '#') {
                    std::fputs(line, out);
                } else if (std::strlen(line) >= 3) {
                    int idx = (line[1] - '!') + 90 * (line[2] - '!');
                    if (idx >= 0 && idx < 64 * 64 && declared[idx]) std::fputs(line, out);
                }
            }
        }
        if (end > last_ && end > 0) std::fprintf(out, "#%lld\n", static_cast<long long>(end));
        std::fclose(out);
    }
    if (in) std::fclose(in);
    std::remove(body_path_.c_str());
}

TextOutput::TextOutput(const std::string& path) {
    if (path.empty()) return;
    if (path == "-") {
        file_ = stderr;
    } else {
        file_ = std::fopen(path.c_str(), "w");
        own_ = true;
        if (!file_) error_ = std::strerror(errno);
    }
}

TextOutput::~TextOutput() {
    if (file_ && own_) std::fclose(file_);
}

void TextOutput::flush() {
    if (file_) std::fflush(file_);
}

void LogWriter::line(Time at, const std::string& source, const std::string& text) {
    if (!file_) return;
    std::string t = format_time(at);
    std::fprintf(file_, "[%15s] %s: %s\n", t.c_str(), source.c_str(), text.c_str());
    std::fflush(file_);
}

void EventWriter::write(Time at, const char* event, const std::string& line) {
    if (!file_ && listeners_.empty()) return;
    if (file_) {
        std::fprintf(file_, "%s\n", line.c_str());
        std::fflush(file_);
    }
    for (EventListener* l : listeners_) l->on_event(at, event, line);
}

}  // namespace pikit::sim
