// Bit-level behaviour of the slave engine: where the presence pulse and the
// answered 0 bits lie at each timing corner, a master working at the edges of
// the allowed windows, and the breaches a strict part reports.
#include <wiringPi.h>

#include "core/format.h"
#include "onewire_fixture.h"

namespace owtest {
namespace {

struct Low {
    Time start, length;
};

// Every low period of pin 27 that had ended, in time order.
std::vector<Low> lows(const Board& b) {
    std::vector<Low> out;
    Time start = -1;
    for (const auto& c : b.history(27)) {
        if (c.level == Level::Low) start = c.at;
        else if (start >= 0 && c.at > start) out.push_back({start, c.at - start}), start = -1;
    }
    return out;
}

class Corner : public ::testing::TestWithParam<const char*> {};

TEST_P(Corner, PresenceAndAnsweredZerosLastExactlyTheCornersTimes) {
    Bus bus(bus_options(0));  // pin calls cost nothing: edges fall where the delays put them
    const Gx2431Settings g = gx_at(GetParam());
    bus.board.add(std::make_unique<Gx2431>("tag", g));
    ASSERT_TRUE(bus.m.reset());
    auto l = lows(bus.board);
    ASSERT_EQ(l.size(), 2u);
    const Time release = l[0].start + l[0].length;
    EXPECT_EQ(l[0].length, 500_us);
    EXPECT_EQ(l[1].start - release, g.timing.presence_wait);
    EXPECT_EQ(l[1].length, g.timing.presence_low);

    bus.board.clear_records();
    EXPECT_EQ(bus.m.read_rom(), g.rom);
    // Read slots: the master's own low is 2us; a 0 bit stretches it to the hold time.
    int zeros = 0;
    for (const auto& p : lows(bus.board)) {
        if (p.length == 2_us || p.length == 6_us || p.length == 64_us) continue;  // master's slots
        EXPECT_EQ(p.length, g.timing.hold_zero) << "low at " << format_time(p.start);
        ++zeros;
    }
    int expected = 0;
    for (auto b : g.rom) expected += 8 - __builtin_popcount(b);
    EXPECT_EQ(zeros, expected);
    EXPECT_EQ(breaches(bus.board), "");
}

TEST_P(Corner, MasterAtTheEdgesOfTheWindowsIsUnderstood) {
    // Write-1 as long as allowed, write-0 as short as allowed, read sampled
    // late: still inside every window at both corners.
    MasterTiming edge;
    edge.w1_low = 14, edge.w1_rest = 50;
    edge.w0_low = 60, edge.w0_rest = 4;
    edge.r_low = 1, edge.r_sample = 12, edge.r_rest = 50;
    Bus bus;
    bus.m.t = edge;
    auto& gx = bus.board.add(std::make_unique<Gx2431>("tag", gx_at(GetParam())));
    const std::vector<std::uint8_t> data{0x00, 0xFF, 0x55, 0xAA, 0x01, 0x80, 0x7E, 0x3C};
    const auto crc = write_scratchpad(bus.m, 0x40, data);
    std::vector<std::uint8_t> frame{0x0F, 0x40, 0x00};
    for (auto b : data) frame.push_back(b);
    EXPECT_TRUE(crc16_ok(frame, crc[0], crc[1])) << hex(crc);
    EXPECT_EQ(copy_scratchpad(bus.m, 0x40, 0x00, 0x07), 0xAA);
    EXPECT_EQ(read_memory(bus.m, 0x40, 8), data);
    EXPECT_EQ(row(gx, 8), data);
    EXPECT_EQ(breaches(bus.board), "");
}

INSTANTIATE_TEST_SUITE_P(Timing, Corner, ::testing::Values("typical", "fast", "slow"));

struct BadMaster {
    const char* name;
    void (*spoil)(MasterTiming&);
    const char* breach;
};

class Breach : public ::testing::TestWithParam<BadMaster> {};

TEST_P(Breach, IsReported) {
    Bus bus;
    bus.board.add(std::make_unique<Gx2431>("tag", gx_at("typical")));
    GetParam().spoil(bus.m.t);
    bus.m.reset();
    bus.m.skip();
    bus.m.write({0xF0, 0x00, 0x00});
    bus.m.read(2);
    EXPECT_NE(breaches(bus.board).find(GetParam().breach), std::string::npos) << breaches(bus.board);
}

INSTANTIATE_TEST_SUITE_P(
    Timing, Breach,
    ::testing::Values(BadMaster{"ShortReset", [](MasterTiming& t) { t.reset_low = 300; }, "too short for a reset"},
                      BadMaster{"SlotTooSoonAfterReset", [](MasterTiming& t) { t.reset_rest = 100; }, "after the reset pulse"},
                      BadMaster{"AmbiguousWriteOne", [](MasterTiming& t) { t.w1_low = 30, t.w1_rest = 40; }, "neither a 1"},
                      BadMaster{"ShortSlot", [](MasterTiming& t) { t.w1_rest = 20, t.w0_low = 60, t.w0_rest = 0; },
                                "time slot too short"},
                      BadMaster{"NoRecovery", [](MasterTiming& t) { t.w0_rest = 0; }, "recovery between slots"},
                      BadMaster{"Glitch", [](MasterTiming& t) { t.r_low = 0; }, "low pulse of only"},
                      BadMaster{"LongReadLow", [](MasterTiming& t) { t.r_low = 20, t.r_sample = 2; }, "read slot"}),
    [](const auto& info) { return std::string(info.param.name); });

// The shortest slot the part accepts is 60 us from falling edge to falling
// edge; one microsecond less is a breach.
TEST(Protocol, SlotLengthIsCheckedAtItsLimit) {
    for (unsigned slot : {59u, 60u}) {
        SCOPED_TRACE(slot);
        Bus bus(bus_options(0));  // pin calls cost nothing: slots last exactly what the delays say
        bus.board.add(std::make_unique<Gx2431>("tag", gx_at("typical")));
        bus.m.t.w1_rest = slot - bus.m.t.w1_low;
        ASSERT_TRUE(bus.m.reset());
        bus.m.write(0xFF);  // eight write-1 slots back to back
        const bool breached = breaches(bus.board).find("time slot too short") != std::string::npos;
        EXPECT_EQ(breached, slot < 60) << breaches(bus.board);
    }
}

TEST(Protocol, UnknownCommandsAreBreaches) {
    Bus bus;
    bus.board.add(std::make_unique<Gx2431>("tag", gx_at("typical")));
    bus.m.reset();
    bus.m.write(0x0A);
    bus.m.reset();
    bus.m.skip();
    bus.m.write(0x99);
    EXPECT_EQ(bus.m.read(), 0xFF);  // nobody answers
    const std::string b = breaches(bus.board);
    EXPECT_NE(b.find("unknown ROM command 0x0A"), std::string::npos) << b;
    EXPECT_NE(b.find("unknown function command 0x99"), std::string::npos) << b;
}

TEST(Protocol, ResetCuttingAnAnswerShortIsNotABreach) {
    // The master may stop reading at any point; the next reset ends the answer.
    Bus bus;
    bus.board.add(std::make_unique<Gx2431>("tag", gx_at("slow")));
    bus.m.reset();
    bus.m.skip();
    bus.m.write(0xAA);
    bus.m.read(3);
    bus.m.read_bit();
    bus.m.reset();
    bus.m.write(0x33);
    bus.m.read(1);
    bus.m.reset();
    EXPECT_EQ(breaches(bus.board), "");
}

TEST(Protocol, AResetWhereALastBitWasDueCompletesNothing) {
    // Seven bits of 0x0A, then a reset pulse: sampled, the pulse reads as a
    // final 0, but it is a reset, so no command 0x0A is taken.
    Bus bus;
    auto& tag = bus.board.add(std::make_unique<Gx2431>("tag", gx_at("typical")));
    std::vector<std::string> story;
    tag.bus_events().listen([&](const BusEvent& e) { story.push_back(to_string(e)); });
    bus.m.reset();
    bus.m.skip();
    for (int i = 0; i < 7; ++i) bus.m.write_bit(((0x0A >> i) & 1) != 0);
    EXPECT_TRUE(bus.m.reset());
    EXPECT_EQ(story, (std::vector<std::string>{"reset", "presence", "data 0xCC written", "reset", "presence"}));
    EXPECT_EQ(breaches(bus.board), "");
}

// What the engine publishes, as a decoder on the line would tell it: the
// reset when its pulse ends, the presence pulse after the part's wait, and
// each byte with the side that sent it.
TEST(Protocol, BusEventsTellATransactionAsADecoderWould) {
    Bus bus;
    auto& d = bus.board.add(std::make_unique<OneWireDevice>("d", dev({0x28, 1, 2, 3, 4, 5, 6})));
    std::vector<BusEvent> seen;
    d.bus_events().listen([&](const BusEvent& e) { seen.push_back(e); });
    ASSERT_TRUE(bus.m.reset());
    EXPECT_EQ(bus.m.read_rom(), d.rom());
    std::vector<std::string> story;
    for (const BusEvent& e : seen) story.push_back(to_string(e));
    std::vector<std::string> expected{"reset", "presence", "data 0x33 written"};
    for (std::uint8_t b : d.rom()) expected.push_back("data " + pikit::sim::hex(static_cast<unsigned>(b), 2) + " read");
    EXPECT_EQ(story, expected);
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen[1].at - seen[0].at, d.timing().presence_wait);
    for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_LT(seen[i - 1].at, seen[i].at) << i;
}

TEST(Protocol, GenericDeviceAnswersRomCommandsOnly) {
    Bus bus;
    auto& d = bus.board.add(std::make_unique<OneWireDevice>("d", dev({0x28, 1, 2, 3, 4, 5, 6})));
    ASSERT_TRUE(bus.m.reset());
    EXPECT_EQ(bus.m.read_rom(), d.rom());
    bus.m.reset();
    bus.m.skip();
    bus.m.write({0xF0, 0x00, 0x00});
    EXPECT_EQ(bus.m.read(2), (std::vector<std::uint8_t>{0xFF, 0xFF}));
    EXPECT_EQ(breaches(bus.board), "");
    EXPECT_NE(texts(bus.board.reports_from("d")).find("ignores function command 0xF0"), std::string::npos);
}

}  // namespace
}  // namespace owtest
