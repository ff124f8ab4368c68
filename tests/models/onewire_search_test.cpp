// Many devices on one wired-AND line: searches, conditional searches and
// Match ROM, with devices at different timing corners side by side.
#include <wiringPi.h>

#include <algorithm>
#include <random>

#include "onewire_fixture.h"

namespace owtest {
namespace {

// Search order: ids compared bit by bit in bus order (bit 0 of byte 0 first), 0 before 1.
std::uint64_t bus_order_key(const RomId& r) {
    std::uint64_t k = 0;
    for (int pos = 0; pos < 64; ++pos)
        if ((r[pos / 8] >> (pos % 8)) & 1) k |= std::uint64_t{1} << (63 - pos);
    return k;
}

std::vector<RomId> sorted(std::vector<RomId> v) {
    std::sort(v.begin(), v.end(), [](const RomId& a, const RomId& b) { return bus_order_key(a) < bus_order_key(b); });
    return v;
}

OneWireTiming corner(int i) {
    switch (i % 3) {
    case 0: return OneWireTiming::fast();
    case 1: return OneWireTiming::slow();
    default: return OneWireTiming::typical();
    }
}

TEST(Search, RandomBusesAreEnumeratedOnceEachInBitOrder) {
    for (unsigned seed = 1; seed <= 5; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Bus bus;
        std::mt19937 rng(seed);
        std::vector<RomId> ids;
        Gx2431Settings g = gx_at("typical");
        g.rom = make_rom({0x2D, static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()), 0, 0, 0, 1});
        ids.push_back(g.rom);
        bus.board.add(std::make_unique<Gx2431>("gx", g));
        const int n = 2 + static_cast<int>(seed % 5);
        for (int i = 0; i < n; ++i) {
            std::vector<std::uint8_t> b;
            for (int k = 0; k < 8; ++k) b.push_back(static_cast<std::uint8_t>(rng()));
            if (i == 0) b[0] = 0x00;  // family 0x00: first in bus order
            if (i == 1) b[0] = 0x2D;  // same family as the EEPROM
            if (i != 2) b.resize(7);  // CRC computed; device 2 keeps a random CRC byte
            OneWireSettings s = dev(b);
            s.timing = corner(i + seed);
            ids.push_back(s.rom);
            bus.board.add(std::make_unique<OneWireDevice>("d" + std::to_string(i), s));
        }
        const auto found = bus.m.search_all();
        EXPECT_EQ(found, sorted(ids));
        EXPECT_EQ(breaches(bus.board), "");
        EXPECT_TRUE(bus.board.contentions().empty());
    }
}

TEST(Search, IdsThatDifferInTheLastBitOnly) {
    Bus bus;
    RomId a = make_rom({0x2D, 1, 2, 3, 4, 5, 6, 0x00});
    RomId b = a;
    b[7] = 0x80;
    bus.board.add(std::make_unique<OneWireDevice>("a", dev({a.begin(), a.end()})));
    bus.board.add(std::make_unique<OneWireDevice>("b", dev({b.begin(), b.end()})));
    EXPECT_EQ(bus.m.search_all(), (std::vector<RomId>{a, b}));
}

TEST(Search, ConditionalSearchFindsOnlyDevicesInAlarm) {
    Bus bus;
    OneWireSettings hot = dev({0x28, 9, 9, 9, 9, 9, 9});
    hot.alarm = true;
    bus.board.add(std::make_unique<OneWireDevice>("cold", dev({0x28, 1, 1, 1, 1, 1, 1})));
    bus.board.add(std::make_unique<OneWireDevice>("hot", hot));
    bus.board.add(std::make_unique<Gx2431>("gx", gx_at("slow")));
    EXPECT_EQ(bus.m.search_all(0xEC), std::vector<RomId>{hot.rom});
    EXPECT_EQ(bus.m.search_all(0xF0).size(), 3u);

    // The alarm condition can come and go during a run.
    Bus later;
    load_scenario_text(later.board, R"(
devices:
  - {type: onewire-device, name: probe, rom: "28 05 05 05 05 05 05"}
stimuli:
  - {at: 20ms, device: probe, action: alarm, on: true}
)");
    EXPECT_TRUE(later.m.search_all(0xEC).empty());
    delay(20);
    EXPECT_EQ(later.m.search_all(0xEC).size(), 1u);

    Bus quiet;
    quiet.board.add(std::make_unique<OneWireDevice>("cold", dev({0x28, 1, 1, 1, 1, 1, 1})));
    ASSERT_TRUE(quiet.m.reset());
    quiet.m.write(0xEC);
    EXPECT_TRUE(quiet.m.read_bit());
    EXPECT_TRUE(quiet.m.read_bit());
}

TEST(Search, MatchRomSelectsExactlyOneDevice) {
    Bus bus;
    auto& gx = bus.board.add(std::make_unique<Gx2431>("gx", gx_at("typical")));
    auto& other = bus.board.add(std::make_unique<OneWireDevice>("other", dev({0x2D, 1, 2, 3, 4, 5, 6})));
    std::array<std::uint8_t, 128> m{};
    m.fill(0x42);
    gx.set_memory(m);

    bus.m.reset();
    bus.m.match(gx.rom());
    bus.m.write({0xF0, 0x00, 0x00});
    EXPECT_EQ(bus.m.read(4), std::vector<std::uint8_t>(4, 0x42));

    RomId near = gx.rom();
    near[6] ^= 0x10;  // one bit off: nobody is selected
    bus.m.reset();
    bus.m.match(near);
    bus.m.write({0xF0, 0x00, 0x00});
    EXPECT_EQ(bus.m.read(2), std::vector<std::uint8_t>(2, 0xFF));

    bus.m.reset();
    bus.m.match(other.rom());
    bus.m.write({0xF0, 0x00, 0x00});
    EXPECT_EQ(bus.m.read(2), std::vector<std::uint8_t>(2, 0xFF));
    EXPECT_EQ(breaches(bus.board), "");
    EXPECT_TRUE(bus.board.contentions().empty());
}

}  // namespace
}  // namespace owtest
