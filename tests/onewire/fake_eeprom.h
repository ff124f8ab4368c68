// A test-local EEPROM chip at byte level, with knobs for exactly the faults a
// driver test wants to force on one particular exchange: a corrupted CRC
// reply, a scratchpad that received a wrong bit, a copy that never completes.
// Slots: the chip samples a write slot 30 us after the falling edge and sends
// a 0 in a read slot by holding the line low for 30 us. It answers Skip ROM
// and Match ROM only; searches are left to SearchSlaves.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "core/board.h"
#include "crc.h"

namespace pikit::test {

class FakeEeprom : public sim::Device {
public:
    FakeEeprom(int pin, std::array<std::uint8_t, 8> rom) : Device("fake-eeprom", "chip"), pin_(pin), rom_(rom) {
        memory.fill(0xFF);
    }

    std::array<std::uint8_t, 128> memory;
    std::array<std::uint8_t, 8> scratchpad{};
    // Faults.
    bool write_crc_bad = false;    // every Write Scratchpad CRC reply has a flipped bit
    int readback_crc_bad = 0;      // this many Read Scratchpad CRC replies get a flipped bit
    int receive_flip_byte = -1;    // data byte (0-7) received with bit 0 flipped
    bool copy_fails = false;       // a copy programs nothing and is not answered
    // What happened.
    int copies = 0;                // completed copies into the memory
    int copy_commands = 0;         // Copy Scratchpad commands received

    void attach(sim::Board& b) override { b.attach(*this, pin_, sim::PinRole::OpenDrain); }

    void on_edge(int, sim::Level level) override {
        using namespace pikit::sim;
        Board& b = *board();
        if (driving_) return;  // our own pulse
        if (level == Level::Low) {
            // Only the master starts a slot or a reset; another device's pulse
            // (a presence answer, a 0 being sent) is not one.
            if (!b.master_output(pin_) || b.master_latch(pin_) != Level::Low) return;
            fell_ = b.now();
            master_fell_ = true;
            if (state_ == State::Idle) return;
            if (!tx_.empty() || refill()) {
                const bool bit = (tx_.front() >> tx_bit_) & 1;
                if (++tx_bit_ == 8) {
                    tx_bit_ = 0;
                    tx_.pop_front();
                }
                if (!bit) hold(b, 30_us);
            } else {
                b.schedule(b.now() + 30_us, [this, &b] { sample(is_high(b.level(pin_))); });
            }
        } else if (std::exchange(master_fell_, false) && b.now() - fell_ >= 480_us) {
            state_ = State::RomCommand;
            rx_.clear();
            rx_bits_ = rx_byte_ = 0;
            tx_.clear();
            tx_bit_ = 0;
            reading_memory_ = false;
            b.schedule(b.now() + 30_us, [this, &b] { hold(b, 120_us); });
        }
    }

private:
    enum class State { Idle, RomCommand, MatchRom, Function, WriteScratch, CopyScratch, ReadMem, Sending };

    // Read Memory streams bytes for as long as the master reads.
    bool refill() {
        if (!reading_memory_) return false;
        tx_.push_back(address_ < 128 ? memory[address_] : 0xFF);
        ++address_;
        return true;
    }

    void sample(bool bit) {
        rx_byte_ |= bit << rx_bits_;
        if (++rx_bits_ < 8) return;
        const std::uint8_t byte = static_cast<std::uint8_t>(rx_byte_);
        rx_bits_ = rx_byte_ = 0;
        rx_.push_back(byte);
        on_byte(byte);
    }

    void send(std::initializer_list<std::uint8_t> bytes) {
        for (auto v : bytes) tx_.push_back(v);
        state_ = State::Sending;
    }

    void on_byte(std::uint8_t byte) {
        switch (state_) {
        case State::RomCommand:
            rx_.clear();
            if (byte == 0xCC) state_ = State::Function;
            else if (byte == 0x55) state_ = State::MatchRom;
            else state_ = State::Idle;
            break;
        case State::MatchRom:
            if (rx_.size() < 8) break;
            state_ = std::equal(rx_.begin(), rx_.end(), rom_.begin()) ? State::Function : State::Idle;
            rx_.clear();
            break;
        case State::Function:
            rx_.clear();
            rx_.push_back(byte);
            if (byte == 0xF0) state_ = State::ReadMem;
            else if (byte == 0x0F) state_ = State::WriteScratch;
            else if (byte == 0x55) state_ = State::CopyScratch;
            else if (byte == 0xAA) read_scratchpad();
            else state_ = State::Idle;
            break;
        case State::ReadMem:
            if (rx_.size() < 3) break;
            address_ = rx_[1] | rx_[2] << 8;
            reading_memory_ = true;
            state_ = State::Sending;
            break;
        case State::WriteScratch:
            if (rx_.size() == 3) {
                ta_ = rx_[1] | rx_[2] << 8;
                offset_ = 0;
                es_ = 0;
            } else if (rx_.size() > 3 && offset_ < 8) {
                std::uint8_t v = byte;
                if (receive_flip_byte == offset_) v ^= 1;
                scratchpad[offset_] = v;
                rx_.back() = v;
                es_ = static_cast<std::uint8_t>(offset_);
                if (++offset_ == 8) {
                    std::uint16_t crc = static_cast<std::uint16_t>(~crc16(rx_.data(), 11));
                    if (write_crc_bad) crc ^= 0x0100;
                    send({static_cast<std::uint8_t>(crc & 0xFF), static_cast<std::uint8_t>(crc >> 8)});
                }
            }
            break;
        case State::CopyScratch:
            if (rx_.size() < 4) break;
            ++copy_commands;
            state_ = State::Idle;
            if (rx_[1] == (ta_ & 0xFF) && rx_[2] == (ta_ >> 8) && rx_[3] == es_ && !copy_fails && ta_ < 128) {
                for (int i = 0; i < 8; ++i) memory[(ta_ & ~7) + i] = scratchpad[i];
                es_ |= 0x80;
                ++copies;
                send({0xAA, 0xAA});
            }
            break;
        default:
            break;
        }
    }

    void read_scratchpad() {
        std::vector<std::uint8_t> frame = {0xAA, static_cast<std::uint8_t>(ta_ & 0xFF),
                                           static_cast<std::uint8_t>(ta_ >> 8), es_};
        frame.insert(frame.end(), scratchpad.begin(), scratchpad.end());
        std::uint16_t crc = static_cast<std::uint16_t>(~crc16(frame.data(), 12));
        if (readback_crc_bad > 0) {
            --readback_crc_bad;
            crc ^= 0x0001;
        }
        for (std::size_t i = 1; i < frame.size(); ++i) tx_.push_back(frame[i]);
        send({static_cast<std::uint8_t>(crc & 0xFF), static_cast<std::uint8_t>(crc >> 8)});
    }

    void hold(sim::Board& b, sim::Time len) {
        driving_ = true;
        b.drive(*this, pin_, sim::Drive::Low);
        b.schedule(b.now() + len, [this, &b] {
            b.drive(*this, pin_, sim::Drive::Release);
            driving_ = false;
        });
    }

    int pin_;
    std::array<std::uint8_t, 8> rom_;
    State state_ = State::Idle;
    sim::Time fell_ = 0;
    bool master_fell_ = false;  // the line is low because the master pulled it
    bool driving_ = false;
    std::vector<std::uint8_t> rx_;
    int rx_bits_ = 0;
    unsigned rx_byte_ = 0;
    std::deque<std::uint8_t> tx_;
    int tx_bit_ = 0;
    bool reading_memory_ = false;
    unsigned address_ = 0;
    unsigned ta_ = 0;
    int offset_ = 0;
    std::uint8_t es_ = 0;
};

}  // namespace pikit::test
