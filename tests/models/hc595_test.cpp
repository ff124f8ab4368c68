// The 74HC595 model against a master on three header pins: what it shifts
// and latches, what its outputs drive, and every timing limit it holds the
// master to at 3.3 V.
#include <wiringPi.h>

#include "devices/hc595.h"
#include "fixture.h"
#include "shiftOut.h"

namespace {

using namespace modeltest;

constexpr int kData = 0, kClock = 2, kLatch = 3;
const char* const kRegister = "devices:\n  - {type: hc595, name: register, data: 0, clock: 2, latch: 3}\n";

// 100 ns per pin call, as on a Pi.
Options pi_like() { return Options{}; }

void outputs_on() {
    pinMode(kData, OUTPUT);
    pinMode(kClock, OUTPUT);
    pinMode(kLatch, OUTPUT);
}

void pulse(int pin) {
    digitalWrite(pin, HIGH);
    delayMicroseconds(1);
    digitalWrite(pin, LOW);
    delayMicroseconds(1);
}

void clock_in(int bit) {
    digitalWrite(kData, bit);
    pulse(kClock);
}

// Levels of Q0-Q7 as bits of a byte.
unsigned output_pattern(Bench& b, const Hc595& reg) {
    unsigned p = 0;
    for (int n = 0; n < 8; ++n)
        if (is_high(b.board.history(reg.output(n)).back().level)) p |= 1u << n;
    return p;
}

TEST(Hc595, ShiftsOnTheClockRiseAndShowsOnlyOnTheLatchRise) {
    Bench b(kRegister, pi_like());
    auto& reg = b.device<Hc595>("register");
    outputs_on();
    clock_in(1);
    clock_in(0);
    // Data moving while the clock is high, or falling clock edges, shift nothing.
    digitalWrite(kClock, HIGH);
    digitalWrite(kData, HIGH);
    delayMicroseconds(1);
    digitalWrite(kClock, LOW);
    delayMicroseconds(1);
    clock_in(1);
    EXPECT_EQ(reg.stages(), 0b1001) << "stage 0 takes the bit, each stage moves up one";
    EXPECT_EQ(reg.counters().shifts, 4u);
    EXPECT_EQ(output_pattern(b, reg), 0u) << "outputs wait for the latch";

    digitalWrite(kLatch, HIGH);
    const Time latch_at = b.board.now();
    EXPECT_EQ(reg.latched(), 0b1001);
    delayMicroseconds(1);
    EXPECT_EQ(output_pattern(b, reg), 0b1001u);
    EXPECT_EQ(b.board.history(reg.output(0)).back().at, latch_at + Hc595::kPropagation);
    EXPECT_EQ(b.board.find_net("register.Q0"), reg.output(0));

    // Five more bits push the first one out of stage 7 and off the end.
    for (int i = 0; i < 5; ++i) clock_in(0);
    EXPECT_EQ(reg.stages(), 0x20);
    digitalWrite(kLatch, LOW);
    delayMicroseconds(1);
    EXPECT_EQ(output_pattern(b, reg), 0b1001u) << "the falling latch edge changes nothing";
    digitalWrite(kLatch, HIGH);
    delayMicroseconds(1);
    EXPECT_EQ(output_pattern(b, reg), 0x20u);
    EXPECT_EQ(reg.counters().latches, 2u);
    EXPECT_EQ(breaches(b.board), "");
}

// SER wired to the part's own Q7: a ring counter. The bit latched last
// comes round again, with no breach of the data's timing on the way.
TEST(Hc595, FedFromItsOwnLastOutputItIsARingCounter) {
    Bench b("devices:\n  - {type: hc595, name: register, data: register.Q7, clock: 2, latch: 3, power_on: 0x01}\n", pi_like());
    auto& reg = b.device<Hc595>("register");
    outputs_on();
    std::vector<unsigned> seen;
    for (int i = 0; i < 9; ++i) {
        pulse(kClock);
        pulse(kLatch);
        seen.push_back(output_pattern(b, reg));
    }
    EXPECT_EQ(seen, (std::vector<unsigned>{0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x01, 0x02}));
    EXPECT_EQ(breaches(b.board), "");
}

TEST(Hc595, PowerOnContentsAndStuckOutputs) {
    Bench b(
        "devices:\n"
        "  - {type: hc595, name: register, power_on: 0xA5, stuck: {Q0: low, Q6: high}}\n"
        "  - {type: led-row, name: leds, lines: [register.Q0, register.Q1, register.Q2, register.Q3,"
        " register.Q4, register.Q5, register.Q6, register.Q7]}\n",
        pi_like());
    auto& reg = b.device<Hc595>("register");
    EXPECT_EQ(reg.stages(), 0xA5);
    EXPECT_EQ(reg.latched(), 0xA5);
    EXPECT_EQ(output_pattern(b, reg), 0xE4u) << "0xA5 with Q0 held LOW and Q6 held HIGH";
    EXPECT_EQ(b.board.shown("leds", "leds")->as_text(), "..#..###");
    const auto faults = b.board.reports(ReportKind::Fault);
    ASSERT_EQ(faults.size(), 2u);
    EXPECT_EQ(faults[0].text, "Q0 stuck LOW");
    EXPECT_EQ(faults[1].text, "Q6 stuck HIGH");

    outputs_on();
    for (int i = 0; i < 8; ++i) clock_in(1);
    pulse(kLatch);
    EXPECT_EQ(reg.latched(), 0xFF);
    EXPECT_EQ(output_pattern(b, reg), 0xFEu);
    EXPECT_EQ(b.board.shown("leds", "lit")->as_int(), 0xFE);
}

// The data bit is written one pin call before the clock rises: the set-up
// the part sees is the pin-call cost, and 58.4 ns is its limit at 3.3 V. A
// master that breaks it on every bit gets one report per update, and every
// breach is counted.
TEST(Hc595, DataSetUpOfOnePinCallIsBreachedAt58nsAndNotAt59ns) {
    for (Time cost : {58_ns, 59_ns}) {
        SCOPED_TRACE(cost);
        Options o;
        o.pin_call_cost = cost;
        Bench b(kRegister, o);
        auto& reg = b.device<Hc595>("register");
        outputs_on();
        for (int update = 0; update < 2; ++update) {
            digitalWrite(kLatch, LOW);
            shiftOut(kData, kClock, MSB_FIRST, 0x55);  // 0, 1, 0, 1...: the data line changes before every rise...
            digitalWrite(kLatch, HIGH);
        }
        EXPECT_EQ(reg.latched(), 0x55);
        EXPECT_EQ(reg.shortest_setup(), cost);
        if (cost == 58_ns) {
            EXPECT_EQ(reg.counters().breaches, 15u) << "...but the very first";
            const std::string line =
                "[hc595 'register'] SER set-up before the SRCLK rise 58ns, shorter than the 59ns the part needs at 3.3 V\n";
            EXPECT_EQ(breaches(b.board), line + line);
        } else {
            EXPECT_EQ(breaches(b.board), "");
        }
    }
}

TEST(Hc595, EveryOtherLimitIsReportedWhenBroken) {
    const std::string part = "[hc595 'register'] ";
    const std::string need = " the part needs at 3.3 V\n";
    {
        // No pin-call cost: the data changes at the very instant the clock rises.
        Bench b(kRegister, exact());
        outputs_on();
        digitalWrite(kClock, HIGH);
        digitalWrite(kData, HIGH);
        EXPECT_EQ(breaches(b.board), part + "SER hold after the SRCLK rise 0ns, shorter than the 3ns" + need);
    }
    {
        // 40 ns pulses, narrower than the 47 ns both clocks need, and a latch
        // 40 ns after the last shift clock rise, sooner than the 44 ns it needs.
        Options o;
        o.pin_call_cost = 40_ns;
        Bench b(kRegister, o);
        outputs_on();
        delayMicroseconds(1);
        digitalWrite(kClock, HIGH);
        digitalWrite(kClock, LOW);
        digitalWrite(kClock, HIGH);
        digitalWrite(kLatch, HIGH);
        digitalWrite(kLatch, LOW);
        digitalWrite(kLatch, HIGH);
        EXPECT_EQ(breaches(b.board),
                  part + "SRCLK high 40ns, shorter than the 47ns" + need + part + "SRCLK low 40ns, shorter than the 47ns" + need +
                      part + "SRCLK rise to RCLK rise 40ns, shorter than the 44ns" + need + part +
                      "RCLK high 40ns, shorter than the 47ns" + need + part + "RCLK low 40ns, shorter than the 47ns" + need);
    }
    {
        // The data pin left an input with its pull switched off: the line floats.
        Bench b(kRegister, pi_like());
        auto& reg = b.device<Hc595>("register");
        pinMode(kClock, OUTPUT);
        pullUpDnControl(kData, PUD_OFF);
        pulse(kClock);
        EXPECT_EQ(breaches(b.board), part + "SER floating at the SRCLK rise: stage 0 takes an unknown bit (read as LOW)\n");
        EXPECT_EQ(reg.stages(), 0);
    }
}

TEST(Hc595, BadSettingsAreRefusedNamingTheKey) {
    auto refusal_of = [](const std::string& entry) {
        return refusal("devices:\n  - {type: hc595, " + entry + "}\n", "reg.yaml");
    };
    EXPECT_EQ(refusal_of("data: 5, clock: 5"), "reg.yaml: devices[0].clock: same line as data '5'");
    EXPECT_EQ(refusal_of("clock: 7, latch: 7"), "reg.yaml: devices[0].latch: same line as clock '7'");
    EXPECT_EQ(refusal_of("power_on: 256"), "reg.yaml: devices[0].power_on: out of range (0x00 to 0xFF) '256'");
    EXPECT_EQ(refusal_of("stuck: {Q1: sideways}"), "reg.yaml: devices[0].stuck.Q1: expected low or high 'sideways'");
    EXPECT_EQ(refusal_of("stuck: {Q8: low}"),
              "reg.yaml: devices[0].stuck.Q8: unknown setting (known: Q0, Q1, Q2, Q3, Q4, Q5, Q6, Q7)");
}

}  // namespace
