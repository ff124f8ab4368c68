// The I2C slave engine, through a small register part on top of it (one byte
// written selects a 16-bit register, a read gives it high byte first), against
// the Pi's I2C controller, the humidity program's bit-banged master, and a
// test master whose every phase is set per case so that it can break one
// rule at a time.
// Both libraries in one source: bcm2835.h must not turn wiringPi's delays
// into its own (and would not compile before wiringPi.h otherwise).
#define BCM2835_NO_DELAY_COMPATIBILITY
#include <bcm2835.h>
#include <wiringPi.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "I2C.h"
#include "devices/i2c_slave.h"
#include "fixture.h"

namespace {

using namespace modeltest;

constexpr int kSda = 8;
constexpr int kScl = 9;

class RegisterPart final : public I2cSlave {
public:
    RegisterPart(std::uint8_t address, I2cMode mode, I2cSlaveSettings s = {}, Time stretch = 0)
        : I2cSlave("register-part", "part" + std::to_string(address), address, mode, s, stretch > 0), stretch_(stretch) {}
    std::uint16_t regs[8] = {0x0102, 0x0304, 0x0506, 0x0708, 0xFF38, 0, 0, 0};
    bool answer_reads = true;
    std::vector<std::string> calls;  // the hooks, in the order they came

private:
    bool addressed(bool read) override {
        calls.push_back(read ? "addressed R" : "addressed W");
        return answer_reads || !read;
    }
    bool written(std::uint8_t b) override {
        calls.push_back("written " + hex(b));
        if (transfer().bytes.size() > 1) return false;  // one register number, no more
        reg_ = b & 7;
        return true;
    }
    std::uint8_t next_byte(std::size_t i) override {
        calls.push_back("next " + std::to_string(i));
        if (stretch_ > 0) stretch_clock(stretch_);
        return i == 0 ? regs[reg_] >> 8 : i == 1 ? regs[reg_] & 0xFF : 0xFF;
    }
    void sending(std::size_t, std::uint8_t wire) override { calls.push_back("sending " + hex(wire)); }
    void ended(const I2cTransfer& t) override { calls.push_back(t.stopped ? "ended by STOP" : "ended by START"); }
    Time stretch_;
    int reg_ = 0;
};

// One register read of the part at 0x2D through the Pi's controller at
// 100 kHz: the reason code, and the value (0 where nothing was received).
std::pair<int, int> controller_read(std::uint8_t reg = 4) {
    bcm2835_init();
    bcm2835_i2c_begin();
    bcm2835_i2c_set_baudrate(100000);
    bcm2835_i2c_setSlaveAddress(0x2D);
    char cmd[] = {static_cast<char>(reg)};
    char buf[2] = {0, 0};
    const int r = bcm2835_i2c_write_read_rs(cmd, 1, buf, 2);
    return {r, static_cast<std::uint8_t>(buf[0]) << 8 | static_cast<std::uint8_t>(buf[1])};
}

const std::pair<int, int> kOk{BCM2835_I2C_REASON_OK, 0xFF38};
const std::pair<int, int> kNack{BCM2835_I2C_REASON_ERROR_NACK, 0};

// A bit-banged master with every phase its own length. Pin calls cost
// nothing, so the lengths are exact. A bit: SCL falls, `hold` later SDA
// changes, `setup` later SCL rises, and stays high for `high`.
struct Phases {
    Time hold = 1_us, setup = 4_us, high = 5_us;
    Time start_hold = 5_us, start_setup = 5_us, stop_setup = 5_us, bus_free = 5_us;
};

struct TestMaster {
    Phases p;
    void wait(Time t) { Board::current()->wait_for(t); }
    void sda(bool high) { pinMode(kSda, high ? INPUT : OUTPUT), digitalWrite(kSda, LOW); }
    void clock(bool high) { pinMode(kScl, high ? INPUT : OUTPUT), digitalWrite(kScl, LOW); }
    void start() {
        sda(true), clock(true), wait(p.bus_free);
        sda(false), wait(p.start_hold), clock(false);
    }
    bool bit(bool v, Time high) {
        wait(p.hold), sda(v), wait(p.setup), clock(true);
        const bool seen = digitalRead(kSda);
        wait(high), clock(false);
        return seen;
    }
    // A byte and the slave's acknowledge; fewer bits: a byte cut short.
    bool write(std::uint8_t b, int bits = 8) {
        for (int i = 7; i > 7 - bits; --i) bit((b >> i) & 1, p.high);
        return bits == 8 && !bit(true, p.high);
    }
    std::uint8_t read(bool ack, Time ack_setup = -1) {
        std::uint8_t v = 0;
        for (int i = 0; i < 8; ++i) v = static_cast<std::uint8_t>(v << 1 | bit(true, p.high));
        const Phases keep = p;
        if (ack_setup >= 0) p.hold += p.setup - ack_setup, p.setup = ack_setup;  // the same low time
        bit(!ack, p.high);
        p = keep;
        return v;
    }
    void repeated_start() {
        wait(p.hold), sda(true), wait(p.setup), clock(true), wait(p.start_setup);
        sda(false), wait(p.start_hold), clock(false);
    }
    void stop() { wait(p.hold), sda(false), wait(p.setup), clock(true), wait(p.stop_setup), sda(true); }
    // A register read: the number written, repeated START, two bytes read.
    void register_read(std::uint8_t addr, std::uint8_t reg) {
        start(), write(addr << 1), write(reg), repeated_start(), write(addr << 1 | 1);
        read(true), read(false), stop();
    }
};

// Each case breaks one rule once (or a rule of one mode only); the part must
// report exactly that, once, and nothing for a master that keeps the rules.
TEST(I2cSlaveEngine, TimingRulesOfEachModeAreCheckedOncePerKindAndTransfer) {
    struct Case {
        const char* what;
        I2cMode mode;
        std::function<void(TestMaster&)> run;
        const char* breach;  // start of the report; nullptr: none
        std::size_t count;   // how many: at most one per transfer
    };
    // Four transfers: each register read is START to repeated START and on to the STOP.
    const auto twice = [](TestMaster& m) { m.register_read(0x2D, 4), m.register_read(0x2D, 4); };
    const auto writes = [](TestMaster& m) {
        for (int i = 0; i < 2; ++i) m.start(), m.write(0x2D << 1), m.write(4), m.stop();
    };
    const Case cases[] = {
        {"5 us phases, standard mode", I2cMode::Standard, twice, nullptr, 0},
        {"SCL low 4 us, standard mode", I2cMode::Standard, [&](TestMaster& m) { m.p.setup = 3_us, twice(m); },
         "SCL low 4us, shorter than the 4.7us", 4},
        {"SCL low 4 us, fast mode", I2cMode::Fast, [&](TestMaster& m) { m.p.setup = 3_us, twice(m); }, nullptr, 0},
        {"SCL low 1.2 us, fast mode", I2cMode::Fast, [&](TestMaster& m) { m.p.hold = 200_ns, m.p.setup = 1_us, twice(m); },
         "SCL low 1.2us, shorter than the 1.3us", 4},
        {"SCL high 3 us", I2cMode::Standard, [&](TestMaster& m) { m.p.high = 3_us, twice(m); }, "SCL high 3us", 4},
        {"SCL high 500 ns", I2cMode::Fast, [&](TestMaster& m) { m.p.high = 500_ns, twice(m); }, "SCL high 500ns", 4},
        {"data set at the rising clock", I2cMode::Fast, [&](TestMaster& m) { m.p.hold = 5_us, m.p.setup = 0, writes(m); },
         "data set-up 0ns", 2},
        {"START hold 3 us", I2cMode::Standard, [&](TestMaster& m) { m.p.start_hold = 3_us, twice(m); }, "START hold 3us", 4},
        {"repeated START set-up 4 us", I2cMode::Standard, [&](TestMaster& m) { m.p.start_setup = 4_us, twice(m); },
         "repeated START set-up 4us", 2},
        {"STOP set-up 3 us", I2cMode::Standard, [&](TestMaster& m) { m.p.stop_setup = 3_us, twice(m); }, "STOP set-up 3us", 2},
        {"bus free 1 us", I2cMode::Fast, [&](TestMaster& m) { m.p.bus_free = 1_us, twice(m); },
         "bus free time between STOP and START 1us", 1},
        {"master's acknowledge set at the rising clock", I2cMode::Fast,
         [](TestMaster& m) { m.start(), m.write(0x2D << 1 | 1), m.read(true, 0), m.read(false), m.stop(); },
         "acknowledge set-up 0ns", 1},
        {"no high time on the part's acknowledge", I2cMode::Fast,
         [](TestMaster& m) {
             m.start();
             for (int i = 7; i >= 0; --i) m.bit((0x5A >> i) & 1, m.p.high);
             m.bit(true, 0);
             m.stop();
         },
         "SCL high pulse (part's bit or acknowledge) 0ns, shorter than the 50ns", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Board board(exact());
        auto& part = board.add(std::make_unique<RegisterPart>(0x2D, c.mode));
        TestMaster m;
        c.run(m);
        const auto found = board.reports(ReportKind::Breach);
        if (!c.breach) {
            EXPECT_TRUE(found.empty()) << breaches(board);
            EXPECT_EQ(part.transfers().size(), 4u);
            continue;
        }
        ASSERT_FALSE(found.empty());
        EXPECT_EQ(found[0].text.rfind(c.breach, 0), 0u) << found[0].text;
        // Once per transfer however many clocks break it, and nothing else.
        std::size_t same = 0;
        for (const auto& b : found) same += b.text.rfind(c.breach, 0) == 0;
        EXPECT_EQ(same, c.count);
        EXPECT_EQ(found.size(), c.count) << breaches(board);
        EXPECT_EQ(part.bus_counters().breaches, c.count);
    }
}

TEST(I2cSlaveEngine, SequenceRules) {
    struct Case {
        const char* what;
        std::function<void(TestMaster&)> run;
        const char* breach;
    };
    const Case cases[] = {
        {"byte cut short by STOP", [](TestMaster& m) { m.start(), m.write(0x2D << 1), m.write(0x04, 3), m.stop(); },
         "byte cut short by STOP after 3 bit(s)"},
        {"address cut short by a repeated START",
         [](TestMaster& m) { m.start(), m.write(0x2D << 1, 5), m.repeated_start(), m.stop(); },
         "byte cut short by START after 5 bit(s)"},
        {"clocks after a not-acknowledge",
         [](TestMaster& m) { m.start(), m.write(0x2D << 1 | 1), m.read(false), m.read(false), m.stop(); },
         "clock pulse after a not-acknowledge instead of STOP or repeated START"},
        {"another part's transfer", [](TestMaster& m) { m.register_read(0x2C, 4); }, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Board board(exact());
        auto& part = board.add(std::make_unique<RegisterPart>(0x2D, I2cMode::Standard));
        TestMaster m;
        c.run(m);
        EXPECT_EQ(breaches(board), c.breach ? "[" + part.label() + "] " + c.breach + "\n" : "");
        EXPECT_FALSE(part.in_transfer());
        if (!c.breach) {
            EXPECT_TRUE(part.transfers().empty() && part.calls.empty());
        }
    }

    // Addressed before the part has started: no acknowledge, one report for
    // the whole run, and an answer once it is up.
    I2cSlaveSettings s;
    s.startup_time = 1_ms;
    Board board(exact());
    auto& part = board.add(std::make_unique<RegisterPart>(0x2D, I2cMode::Standard, s));
    TestMaster m;
    m.start();
    EXPECT_FALSE(m.write(0x2D << 1));
    m.stop(), m.start();
    EXPECT_FALSE(m.write(0x2D << 1));
    m.stop(), m.wait(1_ms), m.start();
    EXPECT_TRUE(m.write(0x2D << 1));
    m.stop();
    EXPECT_EQ(breaches(board), "[" + part.label() + "] addressed 90us after power-up, before the 1ms the part needs to start\n");
    EXPECT_EQ(part.transfers().size(), 1u);
}

// The hooks a part is built from, in the order a combined transfer from the
// Pi's controller calls them, and what the part's answers do on the wire.
TEST(I2cSlaveEngine, HooksOfACombinedTransferThroughTheController) {
    Board board;
    auto& part = board.add(std::make_unique<RegisterPart>(0x2D, I2cMode::Standard));
    EXPECT_EQ(controller_read(), kOk);
    EXPECT_EQ(part.calls, (std::vector<std::string>{"addressed W", "written 0x04", "ended by START", "addressed R", "next 0",
                                                    "sending 0xFF", "next 1", "sending 0x38", "ended by STOP"}));
    ASSERT_EQ(part.transfers().size(), 2u);
    EXPECT_FALSE(part.transfers()[0].stopped);
    EXPECT_TRUE(part.transfers()[1].stopped && part.transfers()[1].master_nack);

    // A part that refuses: a second byte written is not acknowledged, and
    // neither is a read address.
    char two[] = {1, 2};
    char buf[2] = {0x55, 0x55};
    EXPECT_EQ(bcm2835_i2c_write_read_rs(two, 2, buf, 2), BCM2835_I2C_REASON_ERROR_NACK);
    EXPECT_TRUE(part.transfers().back().dropped);
    EXPECT_EQ(buf[0], 0x55) << "nothing read, the buffer kept";
    part.answer_reads = false;
    EXPECT_EQ(controller_read(), kNack);
    EXPECT_TRUE(is_high(board.level(kSda)) && is_high(board.level(kScl)));
    EXPECT_TRUE(board.reports(ReportKind::Breach).empty()) << breaches(board);
}

// The engine's bus events tell a transfer as a protocol decoder would: the
// register read through the controller, step by step, in time order; an
// address of another part on the bus and nothing of its transfer; an
// acknowledge the part withholds.
TEST(I2cSlaveEngine, BusEventsTellTransfersAsADecoderWould) {
    Board board;
    I2cSlaveSettings s;
    s.nack_byte = 5;  // counted from power-up, addresses included: the second read's register number
    auto& part = board.add(std::make_unique<RegisterPart>(0x2D, I2cMode::Standard, s));
    std::vector<BusEvent> seen;
    part.bus_events().listen([&](const BusEvent& e) { seen.push_back(e); });
    auto story = [&] {
        std::vector<std::string> out;
        for (const BusEvent& e : seen) out.push_back(to_string(e));
        seen.clear();
        return out;
    };
    EXPECT_EQ(controller_read(), kOk);
    const std::vector<BusEvent> read = seen;
    EXPECT_EQ(story(), (std::vector<std::string>{"START", "address 0x2D write", "ACK", "data 0x04 written", "ACK",
                                                 "repeated START", "address 0x2D read", "ACK", "data 0xFF read",
                                                 "ACK by the master", "data 0x38 read", "NACK by the master", "STOP"}));
    for (std::size_t i = 1; i < read.size(); ++i) EXPECT_LE(read[i - 1].at, read[i].at) << i;
    EXPECT_LT(read.front().at, read.back().at);

    bcm2835_i2c_setSlaveAddress(0x2C);
    char one[] = {1};
    EXPECT_EQ(bcm2835_i2c_write(one, 1), BCM2835_I2C_REASON_ERROR_NACK);
    EXPECT_EQ(story(), (std::vector<std::string>{"START", "address 0x2C write", "STOP"}));

    bcm2835_i2c_setSlaveAddress(0x2D);
    EXPECT_EQ(controller_read(), kNack);
    EXPECT_EQ(story(), (std::vector<std::string>{"START", "address 0x2D write", "ACK", "data 0x04 written", "NACK", "STOP"}));
}

// The same part answers the humidity program's master, which cannot make a
// repeated START: the register number in one transfer, the read in the next.
TEST(I2cSlaveEngine, AnswersTheBitBangedMasterAndOnlyAtItsAddress) {
    Options o;
    o.record_history = false;  // as in a program's run: only the transfer in progress is kept
    Board board(o);
    auto& part = board.add(std::make_unique<RegisterPart>(0x2D, I2cMode::Standard));
    auto& other = board.add(std::make_unique<RegisterPart>(0x2C, I2cMode::Fast));
    other.regs[1] = 0xBEEF;
    for (std::uint8_t addr : {0x2D, 0x2C}) {
        Start_I2C(), Master_WR_Byte(static_cast<std::uint8_t>(addr << 1));
        EXPECT_EQ(Slave_ACK(), 1);
        Master_WR_Byte(1), Slave_ACK(), Stop_I2C();
        Start_I2C(), Master_WR_Byte(static_cast<std::uint8_t>(addr << 1 | 1)), Slave_ACK();
        const std::uint8_t hi = Master_RD_Byte();
        Master_ACK();
        const std::uint8_t lo = Master_RD_Byte();
        Master_NACK(), Stop_I2C();
        EXPECT_EQ(hi << 8 | lo, addr == 0x2D ? 0x0304 : 0xBEEF);
    }
    EXPECT_EQ(part.bus_counters().transfers, 2u);
    EXPECT_EQ(other.bus_counters().transfers, 2u);
    EXPECT_EQ(part.transfers().size(), 1u);
    EXPECT_EQ(part.bus_counters().breaches + other.bus_counters().breaches, 0u);
}

// The wire faults a part gets from the engine, as a register read through the
// controller sees them.
TEST(I2cSlaveEngine, FaultsAbsentWithheldAcknowledgeAndFlippedBit) {
    auto with = [](Board& board, I2cSlaveSettings s) -> RegisterPart& {
        return board.add(std::make_unique<RegisterPart>(0x2D, I2cMode::Standard, s));
    };
    {
        I2cSlaveSettings s;
        s.absent = true;
        Board board;
        auto& part = with(board, s);
        EXPECT_EQ(controller_read(), kNack);
        EXPECT_TRUE(part.calls.empty());
        part.set_absent(false);
        EXPECT_EQ(controller_read(), kOk) << "back on the bus";
    }
    for (long nth : {1L, 2L, 3L}) {  // address W, the register number, address R
        SCOPED_TRACE("acknowledge withheld on byte " + std::to_string(nth));
        I2cSlaveSettings s;
        s.nack_byte = nth;
        Board board;
        const auto* part = &with(board, s);
        EXPECT_EQ(controller_read(), kNack);
        EXPECT_EQ(part->bus_counters().acks_withheld, 1u);
        EXPECT_EQ(board.reports(ReportKind::Fault).size(), 1u);
        // A withheld byte never reaches the part; a withheld address leaves
        // the part out of that transfer altogether.
        const std::vector<std::vector<std::string>> calls = {
            {}, {"addressed W", "ended by STOP"}, {"addressed W", "written 0x04", "ended by START"}};
        EXPECT_EQ(part->calls, calls[static_cast<std::size_t>(nth - 1)]);
        if (nth == 2) {
            EXPECT_TRUE(part->transfers()[0].dropped);
        }
    }
    {
        I2cSlaveSettings s;
        s.flip_byte = 1;
        s.flip_bit = 3;
        Board board;
        const auto& part = with(board, s);
        EXPECT_EQ(controller_read(), std::make_pair(int{BCM2835_I2C_REASON_OK}, 0xFF30));
        EXPECT_EQ(part.transfers().back().bytes, (std::vector<std::uint8_t>{0xFF, 0x30})) << "as on the wire";
        EXPECT_EQ(texts(board.reports(ReportKind::Fault)),
                  "[" + part.label() + "] bit 3 of byte 1 flipped in transit: 0x38 sent as 0x30\n");
    }
}

// A part that holds SCL low while it prepares each byte: the controller waits
// for it up to its clock-stretch timeout; a master that does not look at SCL
// fights it.
TEST(I2cSlaveEngine, ClockStretching) {
    for (Time stretch : {30_us, 1_ms}) {
        SCOPED_TRACE(format_duration(stretch));
        Board board;
        board.add(std::make_unique<RegisterPart>(0x2D, I2cMode::Standard, I2cSlaveSettings{}, stretch));
        const Time t0 = board.now();
        const auto r = controller_read();
        if (stretch == 30_us) {
            EXPECT_EQ(r, kOk);
            // The first bit of each byte read has a 30 us low phase instead of 5 us.
            EXPECT_EQ(board.now() - t0, 500_us + 2 * 25_us);
        } else {
            EXPECT_EQ(r.first, BCM2835_I2C_REASON_ERROR_CLKT);
        }
        EXPECT_TRUE(board.contentions().empty());
    }
    Board board(exact());
    auto& part = board.add(std::make_unique<RegisterPart>(0x2D, I2cMode::Fast, I2cSlaveSettings{}, 30_us));
    Start_I2C(), Master_WR_Byte(0x2D << 1 | 1), Slave_ACK();
    (void)Master_RD_Byte();
    Master_NACK(), Stop_I2C();
    std::vector<Contention> on_scl;
    for (const auto& c : board.contentions())
        if (c.pin == kScl) on_scl.push_back(c);
    // Each time the master drives SCL high within the 30 us the part holds
    // it low (one byte read, one stretch).
    ASSERT_FALSE(on_scl.empty());
    for (const auto& c : on_scl) {
        EXPECT_LE(c.end, on_scl[0].start + 30_us);
        EXPECT_NE(c.who.find(part.label()), std::string::npos);
    }
}

}  // namespace
