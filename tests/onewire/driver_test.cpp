// The EEPROM driver's transactions on the wire and what ends up in the chip,
// for a clean write and for each way the write can go wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "GX2431.h"
#include "OneWire.h"
#include "core/board.h"
#include "crc.h"
#include "devices/gx2431.h"
#include "wire_log.h"

namespace {

using namespace pikit::sim;
using pikit::test::decode_transactions;
using pikit::test::describe;
using pikit::test::Transaction;
using Bytes = std::vector<std::uint8_t>;

constexpr int kPin = 27;
const std::uint8_t kTag[8] = {'<', 'V', 'e', 'x', 'o', 'r', 'a', '>'};

using Rom = std::array<std::uint8_t, 8>;

Rom chip_rom() {
    Rom r = {0x2D, 0x5C, 0x31, 0x07, 0x00, 0x00, 0x00, 0};
    r[7] = crc8_r(r.data(), 7);
    return r;
}

Gx2431& add_chip(Board& board, const Rom& rom) {
    Gx2431Settings s;
    s.pin = kPin;
    s.rom = rom;
    s.persist = false;
    return board.add(std::make_unique<Gx2431>("chip", s));
}

// Bit `bit` of byte `byte` of what the chip sends (or takes in) for a memory
// command, in `times` transactions with it (0: every one).
FlipRule flip(std::uint8_t command, int byte, int bit, int times = 0) {
    return {FlipRule::Layer::Function, command, byte, bit, 0, times};
}

// One chip on the line; the old content of every row is a pattern, so that
// any byte a faulty write leaves behind shows.
struct Rig {
    Board board;
    Gx2431* chip;
    std::array<std::uint8_t, 128> before;

    explicit Rig(const Rom& rom = chip_rom()) : board(options()) {
        board.set_external_pull(kPin, Pull::Up);
        chip = &add_chip(board, rom);
        for (int i = 0; i < 128; ++i) before[i] = static_cast<std::uint8_t>(i * 3 + 1);
        chip->set_memory(before);
        EXPECT_EQ(eeprom_init(kPin), 1);
        board.clear_records();
    }
    // Whatever went wrong in the chip, the master kept to the protocol.
    ~Rig() {
        for (const auto& r : board.reports(ReportKind::Breach)) ADD_FAILURE() << r.source << ": " << r.text;
    }
    static Options options() {
        Options o;
        o.record_calls = true;
        return o;
    }
    std::vector<Transaction> traffic() const { return decode_transactions(board.calls(), kPin); }
};

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
const Bytes kTagBytes(kTag, kTag + 8);

std::string all(const std::vector<Transaction>& tx) {
    std::string s;
    for (const auto& t : tx) s += describe(t) + "\n";
    return s;
}

bool copy_on_wire(const std::vector<Transaction>& tx) {
    for (const auto& t : tx) {
        const auto w = t.written();
        if (w.size() >= 2 && w[1] == 0x55) return true;
    }
    return false;
}

TEST(EepromWrite, CleanWriteIsThreeTransactionsAndStoresTheRow) {
    Rig rig;
    EXPECT_TRUE(eeprom_m_write(0x10, kTag, 8));
    auto tx = rig.traffic();
    ASSERT_EQ(tx.size(), 3u) << all(tx);
    for (const auto& t : tx) EXPECT_TRUE(t.reset && t.presence);
    EXPECT_EQ(tx[0].written(), cat({0xCC, 0x0F, 0x10, 0x00}, kTagBytes));
    EXPECT_EQ(tx[0].read().size(), 2u);
    // Only TA1, TA2, E/S come back when the write looked right.
    EXPECT_EQ(tx[1].written(), Bytes({0xCC, 0xAA}));
    EXPECT_EQ(tx[1].read(), Bytes({0x10, 0x00, 0x07}));
    EXPECT_EQ(tx[2].written(), Bytes({0xCC, 0x55, 0x10, 0x00, 0x07}));
    EXPECT_EQ(tx[2].read(), Bytes({0xAA}));

    // The programming wait: 15 ms with the line driven high, not released.
    const auto& calls = rig.board.calls();
    auto wait = std::find_if(calls.begin(), calls.end(), [](const Call& c) { return c.kind == CallKind::DelayMs; });
    ASSERT_NE(wait, calls.end());
    EXPECT_EQ(wait->value, 15);
    auto last_pin_call = std::find_if(std::make_reverse_iterator(wait), calls.rend(),
                                      [](const Call& c) { return c.kind == CallKind::Write || c.kind == CallKind::PinMode; });
    ASSERT_NE(last_pin_call, calls.rend());
    EXPECT_EQ(last_pin_call->kind, CallKind::Write);
    EXPECT_EQ(last_pin_call->value, 1);

    for (int i = 0; i < 128; ++i) EXPECT_EQ(rig.chip->memory()[i], i >= 0x10 && i < 0x18 ? kTag[i - 0x10] : rig.before[i]) << i;
}

TEST(EepromWrite, RefusesBadAddressesAndLengthsWithoutTouchingTheBus) {
    Rig rig;
    std::uint8_t big[200] = {0};
    for (std::uint32_t address : {0x80u, 0x81u, 0x07u, 0x7Fu, 0x11u, 0x100u})
        EXPECT_FALSE(eeprom_m_write(address, kTag, 8)) << address;
    for (std::uint32_t len : {0u, 1u, 7u, 9u, 12u, 200u}) EXPECT_FALSE(eeprom_m_write(0x08, big, len)) << len;
    EXPECT_TRUE(rig.board.calls().empty());
    EXPECT_EQ(rig.chip->memory(), rig.before);

    EXPECT_TRUE(eeprom_m_write(0x78, kTag, 8));  // the last row
    EXPECT_EQ(rig.chip->memory()[0x78], '<');
    EXPECT_EQ(rig.chip->memory()[0x7F], '>');
}

TEST(EepromWrite, BadWriteCrcWithGoodReadBackStillCopies) {
    Rig rig;
    rig.chip->add_reply_flip(flip(0x0F, 0, 0));
    EXPECT_TRUE(eeprom_m_write(0x00, kTag, 8));
    auto tx = rig.traffic();
    ASSERT_EQ(tx.size(), 3u) << all(tx);
    // The whole scratchpad is read back and checked before the copy.
    EXPECT_EQ(tx[1].read(), cat({0x00, 0x00, 0x07}, cat(kTagBytes, {tx[1].read()[11], tx[1].read()[12]})));
    EXPECT_EQ(tx[2].written(), Bytes({0xCC, 0x55, 0x00, 0x00, 0x07}));
    EXPECT_EQ(rig.chip->copies_done(), 1);
    EXPECT_TRUE(std::equal(kTag, kTag + 8, rig.chip->memory().begin()));
}

TEST(EepromWrite, ScratchpadDifferingFromTheDataIsNeverCopied) {
    Rig rig;
    rig.chip->add_received_flip(flip(0x0F, 2 + 3, 0, 1));  // the chip took in a wrong bit
    EXPECT_FALSE(eeprom_m_write(0x08, kTag, 8));
    auto tx = rig.traffic();
    ASSERT_EQ(tx.size(), 2u) << all(tx);
    EXPECT_EQ(tx[1].read().size(), 13u);
    EXPECT_FALSE(copy_on_wire(tx));
    EXPECT_EQ(rig.chip->memory(), rig.before);
}

TEST(EepromWrite, OneGarbledReadBackIsRetried) {
    Rig rig;
    rig.chip->add_reply_flip(flip(0x0F, 0, 0));
    rig.chip->add_reply_flip(flip(0xAA, 11, 0, 1));
    EXPECT_TRUE(eeprom_m_write(0x20, kTag, 8));
    auto tx = rig.traffic();
    ASSERT_EQ(tx.size(), 4u) << all(tx);
    EXPECT_EQ(tx[1].written(), Bytes({0xCC, 0xAA}));
    EXPECT_EQ(tx[2].written(), Bytes({0xCC, 0xAA}));
    EXPECT_EQ(tx[2].read().size(), 13u);
    EXPECT_EQ(tx[3].written(), Bytes({0xCC, 0x55, 0x20, 0x00, 0x07}));
    EXPECT_EQ(rig.chip->memory()[0x20], '<');
}

TEST(EepromWrite, TwoGarbledReadBacksGiveUpWithoutCopying) {
    Rig rig;
    rig.chip->add_reply_flip(flip(0x0F, 0, 0));
    rig.chip->add_reply_flip(flip(0xAA, 11, 0, 2));
    EXPECT_FALSE(eeprom_m_write(0x00, kTag, 8));
    auto tx = rig.traffic();
    ASSERT_EQ(tx.size(), 3u) << all(tx);
    EXPECT_FALSE(copy_on_wire(tx));
    EXPECT_EQ(rig.chip->memory(), rig.before);
}

TEST(EepromWrite, CopyNotAnsweredFailsAndTheRowStays) {
    Rig rig;
    rig.chip->set_copy_fails(1);
    EXPECT_FALSE(eeprom_write(0x00, kTag, 8));
    EXPECT_TRUE(copy_on_wire(rig.traffic()));
    EXPECT_EQ(rig.chip->memory(), rig.before);
    EXPECT_FALSE(rig.board.master_output(kPin));  // eeprom_write releases the line
}

TEST(EepromWrite, ChipGoneDuringTheWriteFailsWithoutCopying) {
    Board board(Rig::options());
    board.set_external_pull(kPin, Pull::Up);
    EXPECT_EQ(eeprom_init(kPin), 0);
    board.clear_records();
    EXPECT_FALSE(eeprom_m_write(0x00, kTag, 8));
    auto tx = decode_transactions(board.calls(), kPin);
    EXPECT_FALSE(copy_on_wire(tx)) << all(tx);
}

TEST(EepromRead, ReadMemorySendsAddressAndReleasesTheLine) {
    Rig rig;
    std::uint8_t buf[4];
    eeprom_m_read(0x20, buf, 4);
    auto tx = rig.traffic();
    ASSERT_EQ(tx.size(), 1u);
    EXPECT_EQ(tx[0].written(), Bytes({0xCC, 0xF0, 0x20, 0x00}));
    EXPECT_EQ(Bytes(buf, buf + 4), Bytes(rig.before.begin() + 0x20, rig.before.begin() + 0x24));
    EXPECT_FALSE(rig.board.master_output(kPin));
    EXPECT_EQ(eeprom_read(0x7F), rig.before[0x7F]);
}

TEST(EepromBegin, FoundChipIsAddressedByItsIdFromThenOn) {
    Rig rig;
    Rom rom{};
    ASSERT_TRUE(eeprom_begin(rom.data()));
    EXPECT_EQ(rom, chip_rom());
    EXPECT_TRUE(std::equal(rom.begin(), rom.end(), serialNumber));
    EXPECT_EQ(skiprom, 0);

    rig.board.clear_records();
    EXPECT_EQ(eeprom_read(3), rig.before[3]);
    auto tx = rig.traffic();
    ASSERT_EQ(tx.size(), 1u);
    EXPECT_EQ(tx[0].written(), cat(cat({0x55}, Bytes(rom.begin(), rom.end())), {0xF0, 0x03, 0x00}));
}

TEST(EepromBegin, IdFailingItsCrcIsRefusedAndTheOldIdKept) {
    Rom bad = chip_rom();
    bad[7] ^= 0x40;
    Rig rig(bad);
    const Rom old = {0x2D, 1, 2, 3, 4, 5, 6, 7};
    std::copy(old.begin(), old.end(), serialNumber);
    skiprom = 1;

    Rom rom{};
    EXPECT_FALSE(eeprom_begin(rom.data()));
    EXPECT_EQ(rom, bad);  // the caller still sees what was found
    EXPECT_EQ(skiprom, 0);
    EXPECT_TRUE(std::equal(old.begin(), old.end(), serialNumber));

    // Later transactions address the old id, which nobody answers.
    rig.board.clear_records();
    std::uint8_t b;
    eeprom_m_read(0, &b, 1);
    EXPECT_EQ(b, 0xFF);
    EXPECT_EQ(rig.traffic().at(0).written().at(1), 0x2D);
}

}  // namespace
