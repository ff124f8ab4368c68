// GX2431: a 1-Wire EEPROM, family code 0x2D, with 128 bytes of data memory
// in 16 rows of 8 bytes, written through an 8-byte scratchpad.
//
// Memory functions (after a ROM command has selected the part):
//   0x0F Write Scratchpad  TA1 TA2 data...   -> ~CRC-16 (2 bytes) once offset 7 is written
//   0xAA Read Scratchpad                     -> TA1 TA2 E/S data[T..E] ~CRC-16
//   0x55 Copy Scratchpad   TA1 TA2 E/S       -> programs the row after tPROG, then AA AA ...
//   0xF0 Read Memory       TA1 TA2           -> memory bytes from the address on (0xFF past the end)
// E/S: bit 7 AA (copy done), bit 5 PF (partial write), bits 2..0 ending offset.
// Copy Scratchpad only programs when the master echoes TA1, TA2 and E/S
// exactly and PF is clear; the part is powered from the line while it
// programs, so the master must hold the line high for the whole time.
//
// The data memory is kept in <state dir>/gx2431-<rom id>.mem, so the next run
// (another Board, another process) sees what was programmed. A run holds the
// chip (a lock on gx2431-<rom id>.lock) from the moment it is wired: a second
// run of the same chip is refused, not raced. A file there that is not a
// chip's memory stops the run and is never replaced.
//
// Settings (the 1-Wire keys every part has, the programming time, whether
// the memory is kept, the faults), actions and what it shows, with defaults
// and ranges: docs/devices.md. It shows its memory and the row last written,
// though a person cannot see into a chip: its memory is what the demos are
// about.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "onewire_slave.h"

namespace pikit::sim {

struct Gx2431Settings : OneWireSettings {
    Time program_time = 7_ms;  // tPROG, at most 10 ms
    bool persist = true;
    std::uint8_t fill = 0xFF;  // blank part
    long copy_fails = 0;       // Copy Scratchpads that fail; -1: every one

    Gx2431Settings();  // default ROM id 2D 5A 3C 19 00 00 00 + CRC
    // Timing corners of the whole part (1-Wire windows and programming time).
    static Gx2431Settings at_corner(const std::string& corner);  // typical | fast | slow
};

class Gx2431 final : public OneWireSlave {
public:
    static constexpr std::uint8_t kFamily = 0x2D;
    static constexpr int kMemorySize = 128;
    static constexpr std::uint8_t kAA = 0x80;  // E/S: authorisation accepted (copy done)
    static constexpr std::uint8_t kPF = 0x20;  // E/S: partial flag

    Gx2431(std::string name, Gx2431Settings settings = {});
    ~Gx2431() override;

    // ---- for tests (from the test thread, between program calls; see the
    //      note on the fault controls in onewire_slave.h) ----
    const std::array<std::uint8_t, kMemorySize>& memory() const { return mem_; }
    void set_memory(const std::array<std::uint8_t, kMemorySize>& m);  // saved if persisting
    const std::array<std::uint8_t, 8>& scratchpad() const { return scratch_; }
    std::uint16_t target_address() const { return ta_; }
    std::uint8_t es() const { return es_; }
    void set_copy_fails(long n) { g_.copy_fails = n; }          // -1: every copy fails
    long copies_done() const { return copies_; }                // rows programmed so far
    std::filesystem::path state_file() const { return file_; }  // empty before attach or without persist

    void attach(Board& board) override;
    void finish() override;

private:
    enum class Op : unsigned char { None, WriteScratch, ReadScratch, Copy, ReadMemory, Programmed };

    void function_command(std::uint8_t cmd) override;
    void function_byte(std::uint8_t b) override;
    void function_byte_sent() override;
    void bus_reset() override;
    void busy_done(bool powered) override;
    void copy_request();
    void send_reply(int len);
    void save();
    // The stored memory at power-up: the state file's, a preset one, or the fill.
    void load_memory(Board& board);
    // What the memory holds, for a person: 128 bytes in hex.
    void show_memory();
    void lock(const std::filesystem::path& path);
    void unlock();
    void remove_stale_temporaries();
    // The stored memory: false when there is none yet; throws ScenarioError
    // for a file that is not a chip's memory.
    bool read_state(std::array<std::uint8_t, kMemorySize>& out) const;
    // Locks this process holds, so a clash with another part of the same
    // run is told apart from one with another run.
    static std::vector<std::pair<dev_t, ino_t>>& held();
    static std::mutex& held_mutex();

    Gx2431Settings g_;
    std::array<std::uint8_t, kMemorySize> mem_{};
    std::array<std::uint8_t, 8> scratch_{};
    std::uint16_t ta_ = 0;
    std::uint8_t es_ = kPF;  // nothing valid in the scratchpad at power-up

    Op op_ = Op::None;
    std::array<std::uint8_t, 3> args_{};  // TA1 TA2 [E/S] as received
    int offset_ = 0;                      // next scratchpad offset (write / read)
    std::uint16_t crc_ = 0;
    std::array<std::uint8_t, 13> reply_{};  // Read Scratchpad answer / Write Scratchpad CRC
    int reply_len_ = 0;
    int reply_index_ = 0;
    bool preset_ = false;  // set_memory() before attach: wins over the state file
    std::uint16_t read_start_ = 0;
    std::uint16_t read_addr_ = 0;
    long copies_ = 0;
    long copy_requests_ = 0;
    std::filesystem::path file_;
    int lock_fd_ = -1;
    std::filesystem::path lock_path_;
    std::pair<dev_t, ino_t> lock_id_{};
};

}  // namespace pikit::sim
