// The software I2C master on its own: exact call sequences of the primitives,
// bit order and levels on the wire, and the acknowledge poll's limits.
#include <cstdio>

#include "I2C.h"
#include "bench.h"

using namespace humidity_test;

namespace {

// Pulls a line low at one virtual time (or right away): a slave acknowledging
// at a moment the test chooses.
class PullAt final : public Device {
public:
    PullAt(int pin, Time at) : Device("test-pull", "pull"), pin_(pin), at_(at) {}
    void attach(Board& b) override {
        b.attach(*this, pin_, PinRole::OpenDrain);
        b.schedule(at_, [this, &b] { b.drive(*this, pin_, Drive::Low); });
    }

private:
    int pin_;
    Time at_;
};

std::string write_bit(int v) { return "W9=0 U8 W8=" + std::to_string(v) + " U8 W9=1 U8"; }
std::string read_bit() { return "W9=1 U8 R8 W9=0 U8"; }

TEST(I2cBus, PrimitivesMakeExactlyTheirPinCallsAndDelays) {
    Board board(exact_options());
    wiringPiSetup();
    const std::size_t base = board.calls().size();

    struct Step {
        const char* name;
        void (*run)();
        std::string expected;
    };
    std::string wr_a5 = "M9=1 W9=0 M8=1";
    for (int b : {1, 0, 1, 0, 0, 1, 0, 1}) wr_a5 += " " + write_bit(b);
    std::string rd = "M9=1 W9=0 M8=0 U8";
    for (int i = 0; i < 8; ++i) rd += " " + read_bit();

    const Step steps[] = {
        {"Start_I2C", [] { Start_I2C(); }, "M9=1 M8=1 W9=1 W8=1 U8 W8=0 U8"},
        {"Master_WR_Byte(0xA5)", [] { Master_WR_Byte(0xA5); }, wr_a5},
        {"Master_RD_Byte", [] { (void)Master_RD_Byte(); }, rd},
        {"Master_ACK", [] { Master_ACK(); }, "M9=1 W9=0 U8 M8=1 W8=0 U8 W9=1 U8"},
        {"Master_NACK", [] { Master_NACK(); }, "M9=1 W9=0 U8 M8=1 W8=1 U8 W9=1 U8"},
        {"Stop_I2C", [] { Stop_I2C(); }, "M9=1 W9=0 U8 M8=1 W8=0 U8 W9=1 U8 W8=1 U8 M9=0 M8=0"},
        // Nothing on the bus: this one also polls, covered below.
    };
    std::size_t from = base;
    for (const Step& s : steps) {
        s.run();
        EXPECT_EQ(call_trace(board, from), s.expected) << s.name;
        from = board.calls().size();
    }
}

TEST(I2cBus, WrittenByteIsMsbFirstAndStableWhileSclIsHigh) {
    Board board(exact_options());
    wiringPiSetup();
    Start_I2C();
    const Time begin = board.now();
    Master_WR_Byte(0xA5);

    const auto rises = edges(board.history(kScl), Level::High, begin);
    ASSERT_EQ(rises.size(), 8u);
    const int want[8] = {1, 0, 1, 0, 0, 1, 0, 1};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(is_high(level_at(board.history(kSda), rises[i])), want[i] == 1) << "bit " << i;
        // 8 us of set-up before each rising edge, 24 us per bit.
        EXPECT_EQ(rises[i], begin + Time(i) * 24_us + 16_us) << "bit " << i;
    }
    // SDA only changes while SCL is low (a change while high would be a START or STOP).
    for (const auto& c : board.history(kSda)) {
        if (c.at <= begin) continue;
        EXPECT_FALSE(is_high(level_at(board.history(kScl), c.at))) << "SDA moved at " << c.at;
    }
    // Left in the high phase of the eighth bit with the last bit on SDA.
    EXPECT_EQ(board.history(kScl).back().level, Level::High);
    EXPECT_EQ(level_at(board.history(kSda), board.now()), Level::High);
}

TEST(I2cBus, ReadByteFollowsTheDataLine) {
    {
        Board board(exact_options());  // nothing on the bus: the pull-up reads as ones
        wiringPiSetup();
        EXPECT_EQ(Master_RD_Byte(), 0xFF);
    }
    {
        Board board(exact_options());
        board.add(std::make_unique<PullAt>(kSda, 0));
        wiringPiSetup();
        EXPECT_EQ(Master_RD_Byte(), 0x00);
    }
}

// Slave_ACK makes SCL high at 16 us and reads SDA then and after each 10 us
// step: reads at 16, 26, ..., 1016 us. The last one does not count.
struct AckCase {
    Time pull_at;  // when the slave pulls SDA low (kNever: not at all)
    int result;
    std::size_t reads;
    Time returns_at;
};

TEST(I2cBus, AcknowledgePollGivesTheSlaveHundredStepsAndNoMore) {
    const AckCase cases[] = {
        {0, 1, 1, 16_us},            // already low at the first reading: no wait
        {1005_us, 1, 100, 1006_us},  // just before the last reading that counts
        {1010_us, 0, 101, 1016_us},  // seen only by the reading after the hundredth wait
        {kNever, 0, 101, 1016_us},   // no slave
    };
    for (const AckCase& c : cases) {
        Board board(exact_options());
        if (c.pull_at != kNever) board.add(std::make_unique<PullAt>(kSda, c.pull_at));
        wiringPiSetup();
        testing::internal::CaptureStdout();
        const int result = Slave_ACK();
        const std::string out = testing::internal::GetCapturedStdout();
        SCOPED_TRACE("pull at " + format_time(c.pull_at));

        std::size_t reads = 0;
        for (const Call& call : board.calls()) reads += call.kind == CallKind::Read;
        EXPECT_EQ(reads, c.reads);
        EXPECT_EQ(board.now(), c.returns_at);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(out, c.result ? "" : "IIC slave device not ack!\n");
    }
}

TEST(I2cBus, StopReleasesBothLinesAndStartDrivesThemHighAgain) {
    Board board(exact_options());
    wiringPiSetup();
    Start_I2C();
    Stop_I2C();
    const std::size_t mark = board.calls().size();
    const Time t = board.now();
    Start_I2C();
    EXPECT_EQ(call_trace(board, mark), "M9=1 M8=1 W9=1 W8=1 U8 W8=0 U8");
    // The falling SDA edge of the new START comes 8 us in, with SCL high.
    const auto falls = edges(board.history(kSda), Level::Low, t);
    ASSERT_EQ(falls.size(), 1u);
    EXPECT_EQ(falls[0], t + 8_us);
    EXPECT_EQ(level_at(board.history(kScl), falls[0]), Level::High);
}

}  // namespace
