// Independent decoding of the kit's VCD traces with sigrok's protocol
// decoders (Debian sigrok-cli): evidence from a tool that shares no code with
// the kit that what the wires carry is what a program meant to send.
//
// A decode test starts with PIKIT_NEED_SIGROK(), which reports the test as
// skipped (never passed) where sigrok-cli is missing, and fails it instead
// when PIKIT_REQUIRE_SIGROK=1 is set (CI sets it). See docs/decoding.md for
// how to add a decode of another bus.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace pikit::test {

// Why decode tests cannot run here (sigrok-cli not on PATH), or nullptr.
const char* sigrok_missing();
// Whether a missing sigrok-cli is a failure (PIKIT_REQUIRE_SIGROK=1).
bool sigrok_required();

#define PIKIT_NEED_SIGROK()                                             \
    do {                                                                \
        if (const char* pikit_why_ = ::pikit::test::sigrok_missing()) { \
            if (::pikit::test::sigrok_required()) FAIL() << pikit_why_; \
            GTEST_SKIP() << pikit_why_;                                 \
        }                                                               \
    } while (0)

// The name of a header pin's signal in the kit's VCD ("wpi8_BCM2_P3"), as a
// decoder's channel option wants it.
std::string vcd_channel(int pin);

// The trace sampled every this many nanoseconds for the decoders (10 MHz):
// the kit's edges fall on 100 ns steps at the default pin-call cost, and the
// decoders' own tolerances are microseconds; sampling each nanosecond only
// makes them slower.
constexpr std::int64_t kDecodeStepNs = 100;

// One annotation of a decoder, in the order the decoders made them.
struct Annotation {
    std::string decoder;  // "i2c", "onewire_link", ...
    std::string row;      // the decoder's annotation row: "Address/Data", "Warnings", ...
    std::int64_t start_ns = 0;
    std::int64_t end_ns = 0;
    std::string text;  // "Data write: AC"
};

// Runs sigrok-cli on the trace with a decoder stack as its -P option takes it
// ("i2c:scl=wpi9_BCM3_P5:sda=wpi8_BCM2_P3", "onewire_link:owr=...,onewire_network").
// With `squeeze_idle`, every stretch of more than 1 ms without a change is
// cut to 1 ms before decoding: a long run decodes in a fraction of the time,
// for buses whose decoders do not time anything that long (I2C, SPI), but
// the annotations' times are no longer the trace's.
// Throws std::runtime_error with sigrok-cli's message when it fails.
std::vector<Annotation> sigrok_decode(const std::string& vcd_path, const std::string& stack, bool squeeze_idle = false);

// A copy of a VCD that starts at `from_ns` (with every signal's value then as
// its start value, and times counted from there), written beside it.
std::string vcd_from(const std::string& vcd_path, std::int64_t from_ns);

// The level changes of one signal of a VCD: (time in ns, '0', '1', 'z' or 'x'),
// the start value first. For checking what a decoder says against the trace.
std::vector<std::pair<std::int64_t, char>> vcd_signal(const std::string& vcd_path, const std::string& name);

// ---- I2C (decoder "i2c") ----

struct I2cTransfer {
    int address = -1;  // 7-bit
    bool read = false;
    bool address_acked = false;
    std::vector<std::uint8_t> bytes;  // data bytes after the address
    std::vector<bool> acked;          // for each data byte: ACK (true) or NACK
    bool stop = false;                // ended by STOP; false: by a repeated START or the trace's end
    bool operator==(const I2cTransfer& o) const;
};
std::ostream& operator<<(std::ostream& os, const I2cTransfer& t);

// What a master means by a write of `bytes`: all acknowledged, then STOP.
I2cTransfer i2c_write(int address, std::vector<std::uint8_t> bytes);
// A read of `bytes`: the master acknowledges all but the last, then STOP.
I2cTransfer i2c_read(int address, std::vector<std::uint8_t> bytes);

struct I2cDecode {
    std::vector<I2cTransfer> transfers;
    std::vector<std::string> problems;  // decoder warnings and anything not understood
};
I2cDecode decode_i2c(const std::string& vcd_path, int sda_pin, int scl_pin);

// ---- 1-Wire (decoders "onewire_link" and "onewire_network") ----

// Everything from one reset to the next.
struct OneWireTransaction {
    bool presence = false;
    int rom_command = -1;            // 0x33, 0x55, 0xCC, 0xF0, ...; -1 when none followed
    std::vector<std::uint8_t> rom;   // ROM id sent (Match ROM) or found (Search ROM), bus order
    std::vector<std::uint8_t> data;  // every byte after the ROM part, either direction
    bool operator==(const OneWireTransaction& o) const;
};
std::ostream& operator<<(std::ostream& os, const OneWireTransaction& t);

OneWireTransaction ow_reset_only();
OneWireTransaction ow_search(std::vector<std::uint8_t> rom);
OneWireTransaction ow_match(std::vector<std::uint8_t> rom, std::vector<std::uint8_t> data);
OneWireTransaction ow_skip(std::vector<std::uint8_t> data);

struct OneWireDecode {
    std::vector<OneWireTransaction> transactions;
    std::vector<std::string> problems;  // decoder warnings and anything not understood,
                                        // less the decoder's known quirks (decode.cpp)
};
OneWireDecode decode_onewire(const std::string& vcd_path, int pin);

// ---- SPI-like links (decoder "spi") ----

// How a clocked serial link is wired and clocked; pins are wiringPi numbers,
// -1 for a line the link does not have.
struct SpiLink {
    int clk = -1;
    int mosi = -1;  // data from the Pi
    int miso = -1;  // data to the Pi
    int cs = -1;    // a select or latch line that frames the words
    bool cs_active_low = true;
    int cpol = 0, cpha = 0;  // clock idle level; data sampled on the first (0) or second (1) edge
    bool msb_first = true;
    int word_bits = 8;
    // Decode from this virtual time on. A link without a select line is
    // framed by counting clock edges from the start of the trace, so an edge
    // before the first word (a clock going to its idle level at start-up)
    // must be left out.
    std::int64_t from_ns = 0;
};

struct SpiDecode {
    std::vector<std::uint32_t> mosi, miso;  // every word, in order
    std::vector<std::string> problems;      // decoder warnings and anything not understood
};
SpiDecode decode_spi(const std::string& vcd_path, const SpiLink& link);

std::string describe(const std::vector<std::uint8_t>& bytes);

// Where two transfers or transactions differ, in words ("data byte 43: 5B, expected 5A").
std::string difference(const I2cTransfer& got, const I2cTransfer& want);
std::string difference(const OneWireTransaction& got, const OneWireTransaction& want);

// EXPECT_TRUE(same_traffic(decoded, expected)): on a mismatch, says which
// transfer differs first and how, rather than printing two long lists.
template <class T>
::testing::AssertionResult same_traffic(const std::vector<T>& got, const std::vector<T>& want) {
    for (std::size_t i = 0; i < got.size() && i < want.size(); ++i) {
        if (got[i] == want[i]) continue;
        return ::testing::AssertionFailure()
               << "decoded item " << i << " of " << got.size() << " differs: " << difference(got[i], want[i])
               << "\n  decoded:  " << got[i] << "\n  expected: " << want[i];
    }
    if (got.size() != want.size()) {
        auto failure = ::testing::AssertionFailure();
        failure << "decoded " << got.size() << " items, expected " << want.size();
        for (std::size_t i = std::min(got.size(), want.size()); i < std::max(got.size(), want.size()); ++i)
            failure << "\n  " << (i < got.size() ? "extra:   " : "missing: ") << (i < got.size() ? got[i] : want[i]);
        return failure;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace pikit::test
