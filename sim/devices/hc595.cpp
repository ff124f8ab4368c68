// 74HC595 shift register with output latches. See hc595.h for what the part
// does and the limits it is held to; this file follows its three inputs edge
// by edge.
#include "devices/hc595.h"

#include <algorithm>
#include <cstdio>

#include "core/format.h"
#include "core/board.h"
#include "core/model.h"

namespace pikit::sim {

// The interpolated limits the header's table states.
static_assert(Hc595::kDataSetup == 59_ns);
static_assert(Hc595::kDataHold == 3_ns);
static_assert(Hc595::kPulseWidth == 47_ns);
static_assert(Hc595::kShiftToLatch == 44_ns);
static_assert(Hc595::kPropagation == 33_ns);

namespace {

const char* const kOutputNames[8] = {"Q0", "Q1", "Q2", "Q3", "Q4", "Q5", "Q6", "Q7"};

}  // namespace

Hc595::Hc595(std::string name, Settings settings)
    : Device("hc595", std::move(name)), settings_(settings), stages_(settings.power_on), latched_(settings.power_on) {}

void Hc595::attach(Board& board) {
    data_ = board.line(settings_.data);
    clock_ = board.line(settings_.clock);
    latch_ = board.line(settings_.latch);
    // CMOS inputs: they only listen.
    board.attach(*this, data_, PinRole::Input);
    board.attach(*this, clock_, PinRole::Input);
    board.attach(*this, latch_, PinRole::Input);
    for (std::size_t n = 0; n < outputs_.size(); ++n) {
        outputs_[n] = board.net(name() + "." + kOutputNames[n]);
        board.attach(*this, outputs_[n], PinRole::PushPull);
    }
    for (std::size_t n = 0; n < outputs_.size(); ++n)
        if (settings_.stuck[n] != Stuck::No)
            board.report(*this, ReportKind::Fault,
                         std::string(kOutputNames[n]) + " stuck " + (settings_.stuck[n] == Stuck::High ? "HIGH" : "LOW"));
    drive_outputs(latched_);
}

void Hc595::drive_outputs(std::uint8_t pattern) {
    for (std::size_t n = 0; n < outputs_.size(); ++n) {
        bool high = (pattern >> n) & 1u;
        if (settings_.stuck[n] != Stuck::No) high = settings_.stuck[n] == Stuck::High;
        board()->drive(*this, outputs_[n], high ? Drive::High : Drive::Low);
    }
}

void Hc595::on_edge(int pin, Level level) {
    if (pin == clock_) on_clock(level);
    else if (pin == latch_) on_latch(level);
    else if (pin == data_) on_data();
}

void Hc595::on_data() {
    const Time now = board()->now();
    if (clock_rise_ >= 0) check(kHold, now - clock_rise_, kDataHold, "SER hold after the SRCLK rise");
    data_change_ = now;
}

void Hc595::on_clock(Level level) {
    const Time now = board()->now();
    if (!is_high(level)) {
        if (clock_rise_ >= 0) check(kClockHigh, now - clock_rise_, kPulseWidth, "SRCLK high");
        clock_fall_ = now;
        return;
    }
    if (clock_fall_ >= 0) check(kClockLow, now - clock_fall_, kPulseWidth, "SRCLK low");
    if (data_change_ >= 0) {
        shortest_setup_ = std::min(shortest_setup_, now - data_change_);
        check(kSetup, now - data_change_, kDataSetup, "SER set-up before the SRCLK rise");
    }
    if (board()->floating(data_)) {
        ++counters_.breaches;
        breach(kFloating, "SER floating at the SRCLK rise: stage 0 takes an unknown bit (read as LOW)");
    }
    const unsigned bit = is_high(board()->level(data_)) ? 1u : 0u;
    stages_ = static_cast<std::uint8_t>((stages_ << 1) | bit);
    clock_rise_ = now;
    ++counters_.shifts;
}

void Hc595::on_latch(Level level) {
    const Time now = board()->now();
    if (!is_high(level)) {
        if (latch_rise_ >= 0) check(kLatchHigh, now - latch_rise_, kPulseWidth, "RCLK high");
        latch_fall_ = now;
        return;
    }
    if (latch_fall_ >= 0) check(kLatchLow, now - latch_fall_, kPulseWidth, "RCLK low");
    if (clock_rise_ >= 0) check(kShiftLatch, now - clock_rise_, kShiftToLatch, "SRCLK rise to RCLK rise");
    latched_ = stages_;
    latch_rise_ = now;
    ++counters_.latches;
    const std::uint8_t pattern = latched_;
    board()->schedule(now + kPropagation, [this, pattern] { drive_outputs(pattern); });
    // The next update starts here: its breaches are reported afresh.
    reported_ = 0;
}

void Hc595::check(Check kind, Time measured, Time minimum, const char* what) {
    if (measured >= minimum) return;
    ++counters_.breaches;
    breach(kind, std::string(what) + " " + format_duration(measured) + ", shorter than the " + format_duration(minimum) +
                     " the part needs at 3.3 V");
}

void Hc595::breach(Check kind, const std::string& text) {
    if (reported_ & kind) return;
    reported_ |= kind;
    board()->breach(*this, text);
}

void Hc595::finish() {
    std::string s = std::to_string(counters_.shifts) + " shift clocks, " + std::to_string(counters_.latches) +
                    " latches, outputs " + hex(latched_) + ", " + std::to_string(counters_.breaches) + " timing breaches";
    if (shortest_setup_ != kNever) s += ", shortest SER set-up " + format_duration(shortest_setup_);
    board()->info(*this, s);
}

namespace {

using S = Hc595::Settings;

Fields<S> stuck_outputs() {
    Fields<S> f;
    for (std::size_t n = 0; n < 8; ++n)
        f.word<Hc595::Stuck>(
            kOutputNames[n], [n](S& s) -> Hc595::Stuck& { return s.stuck[n]; },
            {{"low", Hc595::Stuck::Low}, {"high", Hc595::Stuck::High}}, "held at this level");
    return f;
}

const DeviceRegistrar registrar{
    ModelOf<Hc595, S>("hc595", "74HC595 shift register with output latches; outputs Q0-Q7 as nets <name>.Q0 to <name>.Q7",
                      Fields<S>()
                          .line("data", &S::data, "serial data in (SER): a header pin or a net")
                          .line("clock", &S::clock, "the shift clock (SRCLK)")
                          .line("latch", &S::latch, "the storage clock (RCLK) that copies the stages to the outputs")
                          .integer("power_on", &S::power_on, 0, 255, "what stages and outputs hold at power-up")
                          .hex()
                          .group("stuck", stuck_outputs(),
                                 "fault: outputs held at a level whatever is latched, as a damaged output does: {Q3: low}")
                          .rule([](const S& s, const Config& c) {
                              c.distinct_lines({{"data", s.data}, {"clock", s.clock}, {"latch", s.latch}});
                          }))};

}  // namespace

}  // namespace pikit::sim
