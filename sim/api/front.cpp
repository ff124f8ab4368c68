#include "api/front.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <utility>

#include "core/startup.h"

namespace pikit::sim::api {

namespace {

std::atomic<Numbering> g_numbering{Numbering::WiringPi};

// The libraries' own reports come from a part of the board that nothing is
// wired to: the Pi's GPIO block as the libraries see it.
class GpioBlock final : public Device {
public:
    GpioBlock() : Device("library", "pi-gpio") {}
    void attach(Board&) override {}
};

struct Reporter {
    std::mutex m;
    std::uint64_t board = 0;
    GpioBlock* block = nullptr;
    std::set<std::pair<std::string, int>> told;  // (call, pin) reported once
} g_reporter;

GpioBlock& block_of(Board& b) {
    std::lock_guard<std::mutex> g(g_reporter.m);
    if (g_reporter.board != b.impl_generation() || !g_reporter.block) {
        g_reporter.board = b.impl_generation();
        g_reporter.told.clear();
        g_reporter.block = &b.add(std::make_unique<GpioBlock>());
    }
    return *g_reporter.block;
}

}  // namespace

Board& board_for(const char* library) {
    Board* b = Board::current();
    if (!b) {
        std::fprintf(stderr, "pikit-sim: a %s call with no simulated board; a test must create a pikit::sim::Board first\n",
                     library);
        std::abort();
    }
    return *b;
}

void set_numbering(Numbering n) { g_numbering.store(n, std::memory_order_relaxed); }
Numbering numbering() { return g_numbering.load(std::memory_order_relaxed); }

int board_pin(int pin) {
    switch (numbering()) {
    case Numbering::WiringPi: return pin;
    case Numbering::Bcm:
        for (int w = 0; w < 32; ++w)
            if (bcm_of(w) == pin && pin >= 0) return w;
        return -1;
    case Numbering::Physical:
        for (int w = 0; w < 32; ++w)
            if (header_pin_of(w) == pin && pin > 0) return w;
        return -1;
    }
    return pin;
}

namespace {
const char* numbering_word() {
    switch (numbering()) {
    case Numbering::Bcm: return "BCM GPIO";
    case Numbering::Physical: return "header pin";
    default: return "wiringPi pin";
    }
}
}  // namespace

bool unmapped(Board& b, const char* call, int pin) {
    GpioBlock& block = block_of(b);
    {
        std::lock_guard<std::mutex> g(g_reporter.m);
        if (!g_reporter.told.insert({call, pin}).second) return false;
    }
    std::string what = numbering() == Numbering::Physical
                           ? "which is no GPIO of the 40-pin header (a power or ground pin, or no pin at all)"
                           : "which the 40-pin header does not bring out";
    const std::string text =
        std::string(call) + " on " + numbering_word() + " " + std::to_string(pin) + ", " + what + "; ignored";
    b.apply([&] { b.report(block, ReportKind::Error, text); });
    return false;
}

void library_error(Board& b, const std::string& text) {
    GpioBlock& block = block_of(b);
    b.apply([&] { b.report(block, ReportKind::Error, text); });
}

void note_pin_use(Board& b, int wpi_pin) {
    if (!take_empty_board_hint()) return;
    (void)b;
    std::fprintf(stderr,
                 "pikit-sim: %s uses %s, but nothing is wired to the simulated Pi (no scenario): name the modules "
                 "and their pins in a scenario file and run with PIKIT_SIM_SCENARIO=<file.yaml> (see "
                 "your-program.md in the kit's documentation)\n",
                 program_invocation_short_name, pin_name(wpi_pin).c_str());
    std::fflush(stderr);
}

}  // namespace pikit::sim::api
