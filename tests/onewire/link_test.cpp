// The 1-Wire link's pin sequences and timing, measured on the simulated line
// with zero-cost pin calls so that every instant is exactly the delays'.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <utility>

#include <wiringPi.h>

#include "OneWire.h"
#include "core/board.h"
#include "wire_log.h"

namespace {

using namespace pikit::sim;
using pikit::test::decode_transactions;

constexpr int kPin = 27;

Options exact() {
    Options o;
    o.pin_call_cost = 0;
    o.record_calls = true;
    return o;
}

// A minimal slave: answers a long enough low pulse with a presence pulse, and
// every later falling edge (a read slot) with the next queued bit, holding the
// line low for 30 us to send a 0.
class TestSlave : public Device {
public:
    explicit TestSlave(std::deque<int> bits = {}) : Device("test-slave", "slave"), bits_(std::move(bits)) {}
    void attach(Board& b) override { b.attach(*this, kPin, PinRole::OpenDrain); }
    void on_edge(int, Level level) override {
        Board& b = *board();
        if (driving_) return;  // our own pulse
        if (level == Level::Low) {
            // Only the master starts a slot or a reset; another device's pulse
            // (a presence answer, a 0 being sent) is not one.
            if (!b.master_output(kPin) || b.master_latch(kPin) != Level::Low) return;
            fell_ = b.now();
            master_fell_ = true;
            if (!bits_.empty()) {
                int bit = bits_.front();
                bits_.pop_front();
                if (!bit) hold(b, 30_us);
            }
        } else if (std::exchange(master_fell_, false) && b.now() - fell_ >= 480_us) {
            b.schedule(b.now() + 30_us, [this, &b] { hold(b, 120_us); });
        }
    }

private:
    void hold(Board& b, Time len) {
        driving_ = true;
        b.drive(*this, kPin, Drive::Low);
        b.schedule(b.now() + len, [this, &b] {
            b.drive(*this, kPin, Drive::Release);
            driving_ = false;
        });
    }
    std::deque<int> bits_;
    Time fell_ = 0;
    bool master_fell_ = false;  // the line is low because the master pulled it
    bool driving_ = false;
};

struct Pulse {
    Time start, length;
};

// Low pulses on the line from `from` on, as the line resolved them.
std::vector<Pulse> low_pulses(const Board& board, Time from = 0) {
    std::vector<Pulse> out;
    Time fell = -1;
    for (const LineChange& c : board.history(kPin)) {
        if (c.at < from) continue;
        if (c.level == Level::Low) fell = c.at;
        else if (fell >= 0) {
            // The pull-up taking over from the pin's power-on pull-down is no pulse.
            if (c.at > fell) out.push_back({fell, c.at - fell});
            fell = -1;
        }
    }
    return out;
}

std::size_t count_calls(const Board& board, CallKind kind, int value = -1) {
    std::size_t n = 0;
    for (const Call& c : board.calls())
        if (c.kind == kind && (value < 0 || c.value == value)) ++n;
    return n;
}

TEST(OneWireReset, HeldLowLineGivesUpWithoutEverDriving) {
    Board board(exact());
    board.set_external_pull(kPin, Pull::Down);
    ow_begin(kPin);
    board.clear_records();
    const Time t0 = board.now();

    EXPECT_EQ(ow_reset(), 0);
    EXPECT_EQ(count_calls(board, CallKind::Read), 124u);
    EXPECT_EQ(count_calls(board, CallKind::DelayUs, 2), 124u);
    EXPECT_EQ(count_calls(board, CallKind::PinMode, OUTPUT), 0u);
    EXPECT_EQ(count_calls(board, CallKind::Write), 0u);
    EXPECT_EQ(board.now() - t0, 248_us);
    EXPECT_FALSE(board.master_output(kPin));
}

TEST(OneWireReset, PresenceSeenAndTimedAsTheStandardSays) {
    Board board(exact());
    board.set_external_pull(kPin, Pull::Up);
    board.add(std::make_unique<TestSlave>());
    ow_begin(kPin);
    const Time t0 = board.now();

    EXPECT_EQ(ow_reset(), 1);
    EXPECT_EQ(board.now() - t0, 962_us);
    EXPECT_FALSE(board.master_output(kPin));
    auto pulses = low_pulses(board, t0);
    ASSERT_GE(pulses.size(), 2u);
    EXPECT_EQ(pulses[0].start - t0, 2_us);  // one poll of the idle line first
    EXPECT_EQ(pulses[0].length, 480_us);
    // The sample 70 us after the release falls inside the presence pulse.
    EXPECT_EQ(pulses[1].start - pulses[0].start, 480_us + 30_us);
}

TEST(OneWireReset, EmptyBusHasNoPresence) {
    Board board(exact());
    board.set_external_pull(kPin, Pull::Up);
    ow_begin(kPin);
    EXPECT_EQ(ow_reset(), 0);
    // The pulse was still sent: the line was idle high.
    auto pulses = low_pulses(board);
    ASSERT_EQ(pulses.size(), 1u);
    EXPECT_EQ(pulses[0].length, 480_us);
}

TEST(OneWireBegin, BindsPinReleasesLineAndClearsSearchWithoutTraffic) {
    Board board(exact());
    board.set_external_pull(kPin, Pull::Up);
    ow.last_discrepancy = 17;
    ow.last_device_flag = true;
    ow.rom[3] = 0x55;
    ow_begin(kPin);
    EXPECT_EQ(ow.pin, kPin);
    EXPECT_EQ(ow.last_discrepancy, 0);
    EXPECT_FALSE(ow.last_device_flag);
    EXPECT_EQ(ow.rom[3], 0);
    EXPECT_EQ(count_calls(board, CallKind::Write), 0u);
    EXPECT_EQ(count_calls(board, CallKind::PinMode, OUTPUT), 0u);
    EXPECT_EQ(count_calls(board, CallKind::PullControl), 0u);
}

TEST(OneWireWrite, ByteGoesOutLeastSignificantBitFirstWithExactSlots) {
    Board board(exact());
    board.set_external_pull(kPin, Pull::Up);
    ow_begin(kPin);
    const Time t0 = board.now();

    ow_write(0xA5, 0);
    auto pulses = low_pulses(board, t0);
    ASSERT_EQ(pulses.size(), 8u);
    const int expect[8] = {1, 0, 1, 0, 0, 1, 0, 1};
    Time start = t0;
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(pulses[i].start, start);
        EXPECT_EQ(pulses[i].length, expect[i] ? 10_us : 65_us);
        start += expect[i] ? 65_us : 70_us;
    }
    EXPECT_EQ(board.now(), start);
    EXPECT_FALSE(board.master_output(kPin));  // power flag 0: released

    ow_write(0xA5, 1);
    EXPECT_TRUE(board.master_output(kPin));
    EXPECT_EQ(board.master_latch(kPin), Level::High);
}

TEST(OneWireWrite, OnlyTheLowBitOfASlotArgumentCounts) {
    Board board(exact());
    board.set_external_pull(kPin, Pull::Up);
    ow_begin(kPin);
    ow_write_bit(2);
    ow_write_bit(3);
    auto pulses = low_pulses(board);
    ASSERT_EQ(pulses.size(), 2u);
    EXPECT_EQ(pulses[0].length, 65_us);
    EXPECT_EQ(pulses[1].length, 10_us);
    EXPECT_TRUE(board.master_output(kPin));  // a slot ends driven high
}

TEST(OneWireWrite, EmptyBufferOnlyReleasesWhenUnpowered) {
    Board board(exact());
    board.set_external_pull(kPin, Pull::Up);
    ow_begin(kPin);
    ow_write_bit(1);
    board.clear_records();
    const std::uint8_t none[1] = {0};

    ow_write_bytes(none, 0, true);
    EXPECT_TRUE(board.calls().empty());
    EXPECT_TRUE(board.master_output(kPin));

    ow_write_bytes(none, 0, false);
    ASSERT_EQ(board.calls().size(), 1u);
    EXPECT_EQ(board.calls()[0].kind, CallKind::PinMode);
    EXPECT_EQ(board.calls()[0].value, INPUT);
}

TEST(OneWireWrite, BytesStayPoweredBetweenBytes) {
    Board board(exact());
    board.set_external_pull(kPin, Pull::Up);
    ow_begin(kPin);
    board.clear_records();
    const std::uint8_t data[3] = {0x0F, 0x10, 0x00};
    ow_write_bytes(data, 3, false);
    // Only the final release puts the pin back to input.
    EXPECT_EQ(count_calls(board, CallKind::PinMode, INPUT), 1u);
    EXPECT_EQ(board.calls().back().kind, CallKind::PinMode);
    auto tx = decode_transactions(board.calls(), kPin);
    ASSERT_EQ(tx.size(), 1u);
    EXPECT_EQ(tx[0].written(), std::vector<std::uint8_t>({0x0F, 0x10, 0x00}));
}

TEST(OneWireRead, IdleLineReadsAllOnesSampledThirteenMicrosecondsIn) {
    Board board(exact());
    board.set_external_pull(kPin, Pull::Up);
    ow_begin(kPin);
    board.clear_records();
    EXPECT_EQ(ow_read(), 0xFF);
    EXPECT_FALSE(board.master_output(kPin));

    std::vector<Time> falls, samples;
    for (const Call& c : board.calls()) {
        if (c.kind == CallKind::Write && c.value == LOW) falls.push_back(c.at);
        if (c.kind == CallKind::Read) samples.push_back(c.at);
    }
    ASSERT_EQ(falls.size(), 8u);
    ASSERT_EQ(samples.size(), 8u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(samples[i] - falls[i], 13_us);
        if (i) {
            EXPECT_EQ(falls[i] - falls[i - 1], 66_us);
        }
    }
}

TEST(OneWireRead, BitsAssembleLeastSignificantFirst) {
    Board board(exact());
    board.set_external_pull(kPin, Pull::Up);
    // 0x2D = 1011 0100 read from bit 0: 1,0,1,1,0,1,0,0; then 0x80.
    board.add(std::make_unique<TestSlave>(std::deque<int>{1, 0, 1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
    ow_begin(kPin);
    std::uint8_t buf[2] = {0, 0};
    ow_read_bytes(buf, 2);
    EXPECT_EQ(buf[0], 0x2D);
    EXPECT_EQ(buf[1], 0x80);
}

TEST(OneWireRomCommands, MatchSendsCommandThenIdFamilyFirstAndSkipSendsCC) {
    Board board(exact());
    board.set_external_pull(kPin, Pull::Up);
    ow_begin(kPin);
    const std::uint8_t rom[8] = {0x2D, 1, 2, 3, 4, 5, 6, 0x99};
    ow_select(rom);
    ow_skip();
    EXPECT_TRUE(board.master_output(kPin));
    EXPECT_EQ(board.master_latch(kPin), Level::High);
    auto tx = decode_transactions(board.calls(), kPin);
    ASSERT_EQ(tx.size(), 1u);
    EXPECT_EQ(tx[0].written(), std::vector<std::uint8_t>({0x55, 0x2D, 1, 2, 3, 4, 5, 6, 0x99, 0xCC}));
    ow_depower();
    EXPECT_FALSE(board.master_output(kPin));
}

}  // namespace
