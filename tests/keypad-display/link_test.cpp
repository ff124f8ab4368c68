// The keypad program's link, register operations, digits and key read, run
// on the test thread against the BC7278 model: every check is on what the
// controller received on the wire and what its display shows.
#include <wiringPi.h>

#include <cmath>
#include <limits>
#include <utility>

#include "BC7278.h"
#include "devices/bc7278.h"
#include "models/fixture.h"

namespace {

using namespace modeltest;
using Frames = std::vector<std::pair<int, int>>;

struct Link : ::testing::Test {
    explicit Link(const std::string& settings = "") : bench("devices:\n  - {type: bc7278, name: keypad" + settings + "}\n") {
        T = 100;
        BitFlashData = 0;
        Start_Init();
    }
    // Frames the controller received since the last call, as (address, data).
    Frames sent() {
        Frames f;
        const auto& all = keypad.frames();
        for (; seen < all.size(); ++seen) {
            EXPECT_TRUE(all[seen].complete());
            f.emplace_back(all[seen].address(), all[seen].data());
        }
        return f;
    }
    std::string display() const { return bench.board.shown("keypad", "display")->as_text(); }

    Bench bench;
    Bc7278& keypad = bench.device<Bc7278>("keypad");
    std::size_t seen = 0;
};

TEST_F(Link, RegisterOperationsSendTheirFramesAndNothingOutOfRange) {
    SetDisplaySeg(23, 1);
    SetDisplaySeg(23, 0);
    SetDisplaySeg(23, 2);
    SetBitFlash(15);
    SetBitFlash(16);
    SetDisplayReg(4, 0);
    SetSegFlash(4, 0);
    DisplayChar(4, 1);
    DisplayChar(0, 16);
    SetFlashSpeed(0);
    SetFlashSpeed(0x30);
    EXPECT_EQ(sent(), (Frames{{0x1C, 0x17}, {0x1C, 0x97}, {0x18, 0x0F}, {0x1A, 0xFF}, {0x1A, 0xCF}}));

    ClearAll();
    EXPECT_EQ(sent(), (Frames{{0x1D, 0xFF}, {0x18, 0}, {0x10, 0}, {0x11, 0}, {0x12, 0}, {0x13, 0}}));
    BitFlashData = 0x0F;
    ClearBit(2);
    EXPECT_EQ(sent(), (Frames{{0x02, 0xFF}, {0x18, 0x0B}, {0x12, 0x00}}));
    EXPECT_EQ(BitFlashData, 0x0B);
    ClearBit(200);  // no such position and no such bit: only the digit blink goes out, unchanged
    EXPECT_EQ(sent(), (Frames{{0x18, 0x0B}}));
    EXPECT_EQ(BitFlashData, 0x0B);
    EXPECT_EQ(breaches(bench.board), "");
}

// Data set while the clock is high, taken at the rising edge; a write frame
// has a 50 us lead-in and a read frame none; both end with the 30 ms pause.
TEST_F(Link, FramesOnTheWire) {
    const auto& clock = bench.board.history(SCLK_PIN);
    const auto& data = bench.board.history(MOSI_PIN);
    auto level_at = [](const std::vector<LineChange>& h, Time t) {
        Level l = Level::Low;
        for (const auto& c : h)
            if (c.at <= t) l = c.level;
        return l;
    };
    for (bool read : {false, true}) {
        SCOPED_TRACE(read ? "read frame" : "write frame");
        const std::size_t first = clock.size();
        const Time called = bench.board.now();
        read ? (void)BC7278_spi_read_data(0x1C, 0x97) : BC7278_spi_write_data(0x1C, 0x97);
        ASSERT_EQ(clock.size() - first, 32u);
        EXPECT_EQ(clock[first].at - called, read ? 0 : 50_us);
        std::string bits;
        for (std::size_t i = first + 1; i < clock.size(); i += 2) {
            EXPECT_EQ(clock[i].level, Level::High);
            EXPECT_EQ(clock[i].at - clock[i - 1].at, 50_us);
            bits += is_high(level_at(data, clock[i].at)) ? '1' : '0';
        }
        EXPECT_EQ(bits, "0001110010010111");
        EXPECT_EQ(bench.board.now() - clock.back().at, 50_us + 30_ms);
    }
    EXPECT_EQ(sent(), (Frames{{0x1C, 0x97}, {0x1C, 0x97}}));
    EXPECT_EQ(breaches(bench.board), "");
}

TEST_F(Link, KeyReadGivesTheKeyHeldDownAndZeroWithoutOne) {
    load_scenario_text(bench.board, "stimuli:\n  - {at: 10ms, device: keypad, action: press, key: 7, hold: 100ms}\n");
    EXPECT_EQ(ReadKeyValue(), 0);
    EXPECT_EQ(ReadKeyValue(), 7);
    EXPECT_EQ(keypad.frames().back().reply, 0xC7FF);
    delay(100);
    EXPECT_EQ(ReadKeyValue(), 0);
    EXPECT_EQ(keypad.counters().key_reads, 3u);
}

struct StuckHigh : Link {
    StuckHigh() : Link(", data_out_stuck: high") {}
};
struct StuckLow : Link {
    StuckLow() : Link(", data_out_stuck: low") {}
};
TEST_F(StuckHigh, ReadFrameGivesAllOnes) { EXPECT_EQ(BC7278_spi_read_data(0xFF, 0xFF), 0xFFFF); }
TEST_F(StuckLow, ReadFrameGivesAllZerosWhichReadsAsKey31) {
    EXPECT_EQ(BC7278_spi_read_data(0xFF, 0xFF), 0x0000);
    EXPECT_EQ(ReadKeyValue(), 31);
}

TEST_F(Link, NumbersAreShownWithOneTruncatedDecimal) {
    const Frames decimal_point{{0x1C, 0x17}};
    const Frames clear0{{0x00, 0xFF}, {0x18, 0x00}, {0x10, 0x00}};
    const Frames clear1{{0x01, 0xFF}, {0x18, 0x00}, {0x11, 0x00}};
    auto cat = [](std::initializer_list<Frames> parts) {
        Frames f;
        for (const auto& p : parts) f.insert(f.end(), p.begin(), p.end());
        return f;
    };
    struct Case {
        float value;
        const char* shown;
        Frames frames;  // empty: only the count is checked
        std::size_t count;
    } cases[] = {
        {7, "  7.0", cat({decimal_point, clear0, clear1, {{0x1B, 0x27}, {0x1B, 0x30}}}), 9},
        {17, " 17.0", cat({decimal_point, clear0, {{0x1B, 0x11}, {0x1B, 0x27}, {0x1B, 0x30}}}), 7},
        {123.4f, "123.4", cat({decimal_point, {{0x1B, 0x01}, {0x1B, 0x12}, {0x1B, 0x23}, {0x1B, 0x34}}}), 5},
        {12.34f, " 12.3", {}, 7},
        {0.05f, "  0.0", {}, 9},
        {999.8f, "999.8", {}, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        BC7278_spi_write_data(0x1D, 0x80);  // "8888": what is blanked or kept shows
        sent();
        DisplayNumber(c.value);
        const Frames f = sent();
        EXPECT_EQ(f.size(), c.count);
        if (!c.frames.empty()) {
            EXPECT_EQ(f, c.frames);
        }
        EXPECT_EQ(display(), c.shown);
    }
    // Nothing at all for values that cannot be shown, and nothing is touched.
    const float nothing[] = {
        999.9f, 1e10f, std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(), std::nanf(""), -3e9f};
    for (float v : nothing) {
        SCOPED_TRACE(v);
        DisplayNumber(v);
        EXPECT_EQ(sent(), Frames{});
    }
    EXPECT_EQ(display(), "999.8");
    EXPECT_EQ(breaches(bench.board), "");
}

}  // namespace
