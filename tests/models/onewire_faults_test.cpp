// Injected faults: each one shows on the wire the way the master's checks
// must catch, and nothing else changes.
#include <wiringPi.h>

#include "onewire_fixture.h"

namespace owtest {
namespace {

const std::vector<std::uint8_t> kData{0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80};

std::vector<std::uint8_t> write_frame(unsigned addr) {
    std::vector<std::uint8_t> f{0x0F, static_cast<std::uint8_t>(addr), 0x00};
    f.insert(f.end(), kData.begin(), kData.end());
    return f;
}

bool readback_ok(const std::vector<std::uint8_t>& sp) {
    std::vector<std::uint8_t> f{0xAA};
    f.insert(f.end(), sp.begin(), sp.begin() + 11);
    return crc16_ok(f, sp[11], sp[12]);
}

std::vector<std::uint8_t> data_of(const std::vector<std::uint8_t>& sp) { return {sp.begin() + 3, sp.begin() + 11}; }

int faults(const Board& b) { return static_cast<int>(b.reports(ReportKind::Fault).size()); }

TEST(Faults, BadWriteCrcWithAGoodScratchpad) {
    Bus bus;
    Gx2431Settings g = gx_at("typical");
    g.flip_reply.push_back({FlipRule::Layer::Function, 0x0F, 0, 2, 0, 1});
    auto& gx = bus.board.add(std::make_unique<Gx2431>("tag", g));
    auto crc = write_scratchpad(bus.m, 0x00, kData);
    EXPECT_FALSE(crc16_ok(write_frame(0), crc[0], crc[1]));
    const auto sp = read_scratchpad(bus.m);
    EXPECT_TRUE(readback_ok(sp));
    EXPECT_EQ(data_of(sp), kData);
    crc = write_scratchpad(bus.m, 0x00, kData);
    EXPECT_TRUE(crc16_ok(write_frame(0), crc[0], crc[1])) << "times: 1 hits one write only";
    EXPECT_EQ(copy_scratchpad(bus.m, 0, 0, 0x07), 0xAA);
    EXPECT_EQ(row(gx, 0), kData);
    EXPECT_EQ(faults(bus.board), 1);
}

TEST(Faults, ReadBacksWithBadCrcThenAGoodOne) {
    Bus bus;
    Gx2431Settings g = gx_at("fast");
    g.flip_reply.push_back({FlipRule::Layer::Function, 0xAA, 5, 0, 0, 2});
    bus.board.add(std::make_unique<Gx2431>("tag", g));
    write_scratchpad(bus.m, 0x08, kData);
    EXPECT_FALSE(readback_ok(read_scratchpad(bus.m)));
    EXPECT_FALSE(readback_ok(read_scratchpad(bus.m)));
    const auto sp = read_scratchpad(bus.m);
    EXPECT_TRUE(readback_ok(sp));
    EXPECT_EQ(data_of(sp), kData);
}

TEST(Faults, ScratchpadTakesADifferentByteThanWritten) {
    Bus bus;
    Gx2431Settings g = gx_at("slow");
    g.flip_received.push_back({FlipRule::Layer::Function, 0x0F, 4, 3, 0, 1});  // data byte 2
    auto& gx = bus.board.add(std::make_unique<Gx2431>("tag", g));
    const auto crc = write_scratchpad(bus.m, 0x00, kData);
    EXPECT_FALSE(crc16_ok(write_frame(0), crc[0], crc[1]));
    const auto sp = read_scratchpad(bus.m);
    EXPECT_TRUE(readback_ok(sp)) << "the part's CRC covers what it holds";
    auto expected = kData;
    expected[2] ^= 0x08;
    EXPECT_EQ(data_of(sp), expected);
    EXPECT_EQ(gx.scratchpad()[2], expected[2]);
}

TEST(Faults, WhatAFlipMakesOfAGoodMasterIsNoBreach) {
    Bus bus;
    Gx2431Settings g = gx_at("typical");
    g.flip_received.push_back({FlipRule::Layer::Function, 0x0F, 0, 7, 0, 1});  // TA1 0x00 -> 0x80
    bus.board.add(std::make_unique<Gx2431>("tag", g));
    write_scratchpad(bus.m, 0x00, kData, 0);
    EXPECT_EQ(breaches(bus.board), "");
    EXPECT_NE(texts(bus.board.reports(ReportKind::Fault)).find("outside the data memory"), std::string::npos);
    write_scratchpad(bus.m, 0x80, kData, 0);  // the same from the master itself is its own breach
    EXPECT_NE(breaches(bus.board).find("outside the data memory"), std::string::npos);
}

TEST(Faults, CopyThatFailsAndCopyAnswerDamaged) {
    Bus bus;
    Gx2431Settings g = gx_at("typical");
    g.copy_fails = 1;
    g.flip_reply.push_back({FlipRule::Layer::Function, 0x55, 0, 0, 1, 1});  // the second copy's answer
    auto& gx = bus.board.add(std::make_unique<Gx2431>("tag", g));
    write_scratchpad(bus.m, 0x00, kData);
    EXPECT_EQ(copy_scratchpad(bus.m, 0, 0, 0x07), 0xFF);
    EXPECT_EQ(row(gx, 0), std::vector<std::uint8_t>(8, 0xFF));
    EXPECT_EQ(copy_scratchpad(bus.m, 0, 0, 0x07), 0xAB) << "programmed, answer garbled";
    EXPECT_EQ(row(gx, 0), kData);
    EXPECT_EQ(copy_scratchpad(bus.m, 0, 0, 0x87), 0xAA);
    EXPECT_EQ(faults(bus.board), 2);
}

TEST(Faults, RomLayerFlip) {
    Bus bus;
    Gx2431Settings g = gx_at("typical");
    g.flip_reply.push_back({FlipRule::Layer::Rom, 0x33, 7, 0, 0, 0});
    auto& gx = bus.board.add(std::make_unique<Gx2431>("tag", g));
    bus.m.reset();
    RomId r = bus.m.read_rom();
    EXPECT_EQ(r[7], gx.rom()[7] ^ 0x01);
    EXPECT_EQ(std::vector<std::uint8_t>(r.begin(), r.begin() + 7),
              std::vector<std::uint8_t>(gx.rom().begin(), gx.rom().begin() + 7));
}

TEST(Faults, RandomFlipsAreSeededAndCounted) {
    auto run = [](std::uint64_t seed, int* differing, int* reported) {
        Bus bus;
        Gx2431Settings g = gx_at("typical");
        g.fill = 0x5A;
        g.random = {0.02, 0.0, seed};
        bus.board.add(std::make_unique<Gx2431>("tag", g));
        const auto got = read_memory(bus.m, 0, 128);
        *differing = 0;
        for (auto b : got) *differing += __builtin_popcount(b ^ 0x5A);
        *reported = faults(bus.board);
        return got;
    };
    int d1, r1, d2, r2, d3, r3;
    const auto a = run(7, &d1, &r1);
    const auto b = run(7, &d2, &r2);
    const auto c = run(8, &d3, &r3);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_GT(d1, 0);
    EXPECT_EQ(d1, r1);  // every flipped bit is reported, and only those
    EXPECT_EQ(d3, r3);
}

TEST(Faults, StuckLineAndRelease) {
    Bus bus;
    load_scenario_text(bus.board, R"(
devices:
  - {type: gx2431, name: tag, persist: false}
stimuli:
  - {at: 1ms, device: tag, action: stuck-low}
  - {at: 5ms, device: tag, action: release}
)");
    EXPECT_TRUE(bus.m.reset());  // ends just after 1ms
    delay(1);
    EXPECT_EQ(digitalRead(27), 0);
    EXPECT_EQ(bus.m.read(), 0x00) << "a stuck line reads all zeros";
    delay(3);
    EXPECT_EQ(digitalRead(27), 1);
    ASSERT_TRUE(bus.m.reset());
    EXPECT_EQ(bus.m.read_rom()[0], 0x2D);
    EXPECT_EQ(faults(bus.board), 1);

    Bus stuck;
    Gx2431Settings g = gx_at("typical");
    g.stuck_low = true;
    stuck.board.add(std::make_unique<Gx2431>("tag", g));
    EXPECT_EQ(digitalRead(27), 0);
}

TEST(Faults, DeviceLeavesMidSearch) {
    // a and b share their first 30 bits; b leaves after 20 bit positions, so
    // the first pass finds a alone and the enumeration ends there.
    Bus bus;
    RomId a = make_rom({0x28, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    RomId b = make_rom({0x28, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00});
    OneWireSettings sb = dev({b.begin(), b.begin() + 7});
    sb.leave_after_search_bits = 20;
    bus.board.add(std::make_unique<OneWireDevice>("a", dev({a.begin(), a.begin() + 7})));
    auto& leaver = bus.board.add(std::make_unique<OneWireDevice>("b", sb));
    EXPECT_EQ(bus.m.search_all(), std::vector<RomId>{a});
    EXPECT_FALSE(leaver.on_bus());
    EXPECT_EQ(leaver.search_bits_done(), 20);
    EXPECT_NE(texts(bus.board.reports(ReportKind::Fault)).find("search bit position 21"), std::string::npos);

    // Leaving at a time, half-way through a pass: the master sees no device
    // answer (1 and 1) from then on.
    Bus timed;
    OneWireSettings st = dev({b.begin(), b.begin() + 7});
    st.leave_at = 3_ms;
    timed.board.add(std::make_unique<OneWireDevice>("b", st));
    EXPECT_TRUE(timed.m.search_all().empty());
    EXPECT_FALSE(timed.m.reset());
}

}  // namespace
}  // namespace owtest
