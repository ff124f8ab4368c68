// The ROM search against buses of several devices: the order it enumerates
// them in, targeting a family, and how a pass ends when the bus misbehaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "OneWire.h"
#include "core/board.h"
#include "core/scenario.h"
#include "crc.h"
#include "devices/onewire_device.h"
#include "wire_log.h"

namespace {

using namespace pikit::sim;
using Rom = std::array<std::uint8_t, 8>;

constexpr int kPin = 27;

// The order the search defines: bit positions from the family code's least
// significant bit upward, 0 before 1.
std::string order_key(const Rom& r) {
    std::string k;
    for (int pos = 0; pos < 64; ++pos) k += ((r[pos / 8] >> (pos % 8)) & 1) ? '1' : '0';
    return k;
}

std::vector<Rom> sorted(std::vector<Rom> roms) {
    std::sort(roms.begin(), roms.end(), [](const Rom& a, const Rom& b) { return order_key(a) < order_key(b); });
    return roms;
}

std::string hex(const Rom& r) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02X%02X%02X%02X%02X%02X%02X%02X", r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7]);
    return buf;
}

Rom random_rom(std::mt19937& rng, int family = -1) {
    Rom r;
    for (auto& b : r) b = static_cast<std::uint8_t>(rng());
    if (family >= 0) r[0] = static_cast<std::uint8_t>(family);
    if (r[0] == 0) r[0] = 1;
    if (rng() % 4) r[7] = crc8_r(r.data(), 7);  // now and then a bad CRC: searched all the same
    return r;
}

struct Member {
    Rom rom;
    bool alarm = false;
};

// Plain 1-Wire devices sharing the line, which the core resolves as the
// wired-AND it is.
struct Bus {
    Board board;
    std::vector<OneWireDevice*> devices;
    explicit Bus(const std::vector<Member>& members) : board(options()) {
        board.set_external_pull(kPin, Pull::Up);
        for (const Member& m : members) {
            OneWireSettings s;
            s.pin = kPin;
            s.rom = m.rom;
            s.alarm = m.alarm;
            devices.push_back(&board.add(std::make_unique<OneWireDevice>("d" + std::to_string(devices.size()), s)));
        }
        ow_begin(kPin);
    }
    static Options options() {
        Options o;
        o.record_calls = true;
        return o;
    }
    // Search passes the master began: a reset followed by a search command.
    int passes() const {
        int n = 0;
        for (const auto& t : pikit::test::decode_transactions(board.calls(), kPin)) {
            if (!t.reset || t.bits.size() < 8) continue;
            int cmd = 0;
            for (int b = 0; b < 8; ++b) cmd |= (t.bits[b].written ? t.bits[b].value : 2) << b;
            if (cmd == 0xF0 || cmd == 0xEC) ++n;
        }
        return n;
    }
    std::string breaches() const {
        std::string s;
        for (const auto& r : board.reports(ReportKind::Breach)) s += r.source + ": " + r.text + "\n";
        return s;
    }
};

std::vector<Member> members_of(const std::vector<Rom>& roms) {
    std::vector<Member> m;
    for (const Rom& r : roms) m.push_back({r, false});
    return m;
}

// Runs searches until one fails (at most `limit`), returning what was found.
std::vector<Rom> enumerate(int limit = 20) {
    std::vector<Rom> found;
    for (int i = 0; i < limit; ++i) {
        Rom r;
        if (!ow_search(r.data(), 1)) break;
        found.push_back(r);
    }
    return found;
}

TEST(OneWireSearch, RandomBusesEnumerateInIdOrderEachDeviceOnce) {
    std::mt19937 rng(0x2D);
    for (int round = 0; round < 12; ++round) {
        std::vector<Rom> roms;
        const int n = 1 + static_cast<int>(rng() % 7);
        // Shared family codes make the tree fork late as well as early.
        for (int i = 0; i < n; ++i) roms.push_back(random_rom(rng, i % 2 ? 0x2D : -1));
        SCOPED_TRACE("round " + std::to_string(round));
        Bus bus(members_of(roms));

        const auto expect = sorted(roms);
        auto found = enumerate();
        ASSERT_EQ(found.size(), expect.size());
        for (std::size_t i = 0; i < found.size(); ++i) EXPECT_EQ(hex(found[i]), hex(expect[i])) << i;
        EXPECT_EQ(bus.passes(), n);  // the failing call after the last costs no pass
        EXPECT_EQ(bus.breaches(), "");
        EXPECT_EQ(ow.last_discrepancy, 0);
        EXPECT_FALSE(ow.last_device_flag);

        // And a new enumeration starts from the first device again.
        Rom again;
        ASSERT_TRUE(ow_search(again.data(), 1));
        EXPECT_EQ(hex(again), hex(expect[0]));
    }
}

TEST(OneWireSearch, SingleDeviceThenNoTrafficThenSameDeviceAgain) {
    Rom rom = {0x2D, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0};
    rom[7] = crc8_r(rom.data(), 7);
    Bus bus({{rom, false}});

    Rom out;
    ASSERT_TRUE(ow_search(out.data(), 1));
    EXPECT_EQ(hex(out), hex(rom));
    EXPECT_TRUE(ow.last_device_flag);

    bus.board.clear_records();
    Rom untouched = {9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_FALSE(ow_search(untouched.data(), 1));
    EXPECT_TRUE(bus.board.calls().empty());
    EXPECT_EQ(untouched[0], 9);

    ASSERT_TRUE(ow_search(out.data(), 1));
    EXPECT_EQ(hex(out), hex(rom));
}

TEST(OneWireSearch, TwoIdsDifferingAtOnePosition) {
    for (int p : {1, 9, 40, 64}) {
        SCOPED_TRACE(p);
        Rom a = {0x2D, 0xF0, 0x0F, 0xAA, 0x55, 0x01, 0x80, 0x3C};
        a[(p - 1) / 8] &= static_cast<std::uint8_t>(~(1u << ((p - 1) % 8)));
        Rom b = a;
        b[(p - 1) / 8] |= static_cast<std::uint8_t>(1u << ((p - 1) % 8));
        Bus bus({{b, false}, {a, false}});

        Rom out;
        ASSERT_TRUE(ow_search(out.data(), 1));
        EXPECT_EQ(hex(out), hex(a));
        EXPECT_EQ(ow.last_discrepancy, p);
        EXPECT_EQ(ow.last_family_discrepancy, p <= 8 ? p : 0);
        ASSERT_TRUE(ow_search(out.data(), 1));
        EXPECT_EQ(hex(out), hex(b));
        EXPECT_TRUE(ow.last_device_flag);
    }
}

TEST(OneWireSearch, TargetedFamilyComesFirstThenTheDevicesAfterIt) {
    std::mt19937 rng(431);
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<Rom> roms;
        const int others = 1 + static_cast<int>(rng() % 5);
        for (int i = 0; i < others; ++i) {
            Rom r = random_rom(rng);
            if (r[0] == 0x2D) r[0] = 0x28;
            roms.push_back(r);
        }
        const int targets = 1 + static_cast<int>(rng() % 2);
        for (int i = 0; i < targets; ++i) roms.push_back(random_rom(rng, 0x2D));
        Bus bus(members_of(roms));

        const auto order = sorted(roms);
        const auto first = std::find_if(order.begin(), order.end(), [](const Rom& r) { return r[0] == 0x2D; });
        const std::vector<Rom> expect(first, order.end());

        ow_target_search(0x2D);
        EXPECT_EQ(ow.last_discrepancy, 64);
        auto found = enumerate();
        ASSERT_EQ(found.size(), expect.size());
        for (std::size_t i = 0; i < found.size(); ++i) EXPECT_EQ(hex(found[i]), hex(expect[i])) << i;
    }
}

TEST(OneWireSearch, TargetingAnAbsentFamilyStillFindsSomeDevice) {
    std::mt19937 rng(7);
    std::vector<Rom> roms = {random_rom(rng, 0x28), random_rom(rng, 0x10), random_rom(rng, 0x3B)};
    Bus bus(members_of(roms));
    ow_target_search(0x2D);
    auto found = enumerate();
    ASSERT_FALSE(found.empty());
    EXPECT_NE(found[0][0], 0x2D);
    // What follows is the tail of the full order from the device found, each once.
    const auto order = sorted(roms);
    const auto at = std::find(order.begin(), order.end(), found[0]);
    ASSERT_NE(at, order.end());
    EXPECT_EQ(found, std::vector<Rom>(at, order.end()));
}

TEST(OneWireSearch, FamilyZeroIsNeverReportedAndEndsAFreshEnumeration) {
    std::mt19937 rng(5);
    Rom zero = random_rom(rng);
    zero[0] = 0x00;
    zero[7] = crc8_r(zero.data(), 7);
    Bus bus(members_of({random_rom(rng, 0x2D), zero, random_rom(rng, 0x28)}));

    Rom out = {7, 7, 7, 7, 7, 7, 7, 7};
    EXPECT_FALSE(ow_search(out.data(), 1));
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(ow.last_discrepancy, 0);
    EXPECT_FALSE(ow.last_device_flag);
    // Every fresh enumeration meets it first, so none gets any further.
    EXPECT_FALSE(ow_search(out.data(), 1));
    EXPECT_EQ(bus.passes(), 2);
}

TEST(OneWireSearch, EmptyBusFailsWithoutAPassAndLeavesTheBufferAlone) {
    Board board;
    board.set_external_pull(kPin, Pull::Up);
    ow_begin(kPin);
    ow_target_search(0x2D);
    Rom out = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_FALSE(ow_search(out.data(), 1));
    EXPECT_EQ(out, (Rom{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(ow.last_discrepancy, 0);
    EXPECT_EQ(ow.rom[0], 0x2D);  // a failed reset does not touch the path
}

TEST(OneWireSearch, ConditionalSearchSeesOnlyDevicesInAlarm) {
    std::mt19937 rng(11);
    Rom a = random_rom(rng, 0x2D), b = random_rom(rng, 0x28), c = random_rom(rng, 0x10);
    {
        Bus bus({{a, false}, {b, false}});
        Rom out;
        EXPECT_FALSE(ow_search(out.data(), 0));
        EXPECT_EQ(bus.passes(), 1);
        EXPECT_EQ(ow.last_discrepancy, 0);
    }
    {
        Bus bus({{a, true}, {b, false}, {c, true}});
        Rom out;
        std::vector<Rom> found;
        while (found.size() < 5 && ow_search(out.data(), 0)) found.push_back(out);
        EXPECT_EQ(found, sorted({a, c}));
    }
}

TEST(OneWireSearch, DevicesLeavingMidPassEndTheEnumeration) {
    std::mt19937 rng(3);
    Bus bus(members_of({random_rom(rng, 0x2D), random_rom(rng, 0x2D)}));
    for (auto* d : bus.devices) d->leave_after_search_bits(20);
    Rom out = {5, 5, 5, 5, 5, 5, 5, 5};
    EXPECT_FALSE(ow_search(out.data(), 1));
    EXPECT_EQ(out[0], 5);
    EXPECT_EQ(ow.last_discrepancy, 0);
    EXPECT_FALSE(ow.last_device_flag);
}

TEST(OneWireSearch, LineLowThroughThePassGivesNoDevice) {
    Board board(Bus::options());
    // The device's only 1 bit in the family code is at position 8; it gets
    // stuck holding the line low while the first position is being walked.
    load_scenario_text(board,
                       "pulls: {27: up}\n"
                       "devices: [{type: onewire-device, name: d, pin: 27, rom: \"80 01 02 03 04 05 06\"}]\n"
                       "stimuli: [{at: 1600us, device: d, action: stuck-low}]\n");
    ow_begin(kPin);
    Rom out = {5, 5, 5, 5, 5, 5, 5, 5};
    EXPECT_FALSE(ow_search(out.data(), 1));
    EXPECT_EQ(out[0], 5);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(ow.rom[i], 0) << i;  // the all-zero path was walked
    EXPECT_EQ(ow.last_discrepancy, 0);
    EXPECT_FALSE(ow.last_device_flag);
    // With the line still held low, the next search gets no reset out at all.
    const auto before = board.calls().size();
    EXPECT_FALSE(ow_search(out.data(), 1));
    for (auto i = before; i < board.calls().size(); ++i) EXPECT_NE(board.calls()[i].kind, CallKind::Write);
}

}  // namespace
