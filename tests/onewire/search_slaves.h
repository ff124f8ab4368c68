// Test stand-in for any number of 1-Wire devices on one line that take part
// in ROM searches and nothing else. It answers as the wired-AND of all of
// them would: presence after a reset, the command byte sampled 30 us into
// each write slot, then per bit position the AND of the devices' bits, the
// AND of their complements, and the master's choice, which drops those that
// differ.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/board.h"

namespace pikit::test {

using Rom = std::array<std::uint8_t, 8>;

class SearchSlaves : public sim::Device {
public:
    struct Member {
        Rom rom;
        bool alarm = false;
    };

    SearchSlaves(int pin, std::vector<Member> members)
        : Device("search-slaves", "slaves"), pin_(pin), members_(std::move(members)) {}

    // All devices fall silent from this bit position (0-63) of every pass on.
    int leave_at = -1;
    // After the command byte the line is held low for good.
    bool jam_after_command = false;
    int passes = 0;  // search commands seen

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
            slot(b);
        } else if (std::exchange(master_fell_, false) && b.now() - fell_ >= 480_us) {
            state_ = State::Command;
            bits_ = 0;
            cmd_ = 0;
            b.schedule(b.now() + 30_us, [this, &b] { hold(b, 120_us); });
        }
    }

private:
    enum class State { Idle, Command, Id, Cmp, Choice };

    static bool bit_of(const Rom& r, int pos) { return (r[pos / 8] >> (pos % 8)) & 1; }

    void slot(sim::Board& b) {
        using namespace pikit::sim;
        switch (state_) {
        case State::Idle:
            break;
        case State::Command:
        case State::Choice:
            b.schedule(b.now() + 30_us, [this, &b] { sample(b, is_high(b.level(pin_))); });
            break;
        case State::Id:
        case State::Cmp: {
            // Wired-AND: one device sending 0 pulls the line low.
            bool low = false;
            for (std::size_t i = 0; i < members_.size(); ++i)
                if (active_[i] && bit_of(members_[i].rom, pos_) == (state_ == State::Cmp)) low = true;
            if (pos_ == leave_at) low = false;
            if (low) hold(b, 30_us);
            state_ = state_ == State::Id ? State::Cmp : State::Choice;
            break;
        }
        }
    }

    void sample(sim::Board& b, bool bit) {
        if (state_ == State::Command) {
            cmd_ |= bit << bits_;
            if (++bits_ < 8) return;
            if (cmd_ != 0xF0 && cmd_ != 0xEC) {
                state_ = State::Idle;
                return;
            }
            ++passes;
            active_.assign(members_.size(), false);
            for (std::size_t i = 0; i < members_.size(); ++i)
                active_[i] = cmd_ == 0xF0 || members_[i].alarm;
            pos_ = 0;
            state_ = State::Id;
            if (jam_after_command) {
                driving_ = true;
                b.drive(*this, pin_, sim::Drive::Low);
                state_ = State::Idle;
            }
            return;
        }
        for (std::size_t i = 0; i < members_.size(); ++i)
            if (bit_of(members_[i].rom, pos_) != bit) active_[i] = false;
        if (pos_ == leave_at) active_.assign(members_.size(), false);
        state_ = ++pos_ < 64 ? State::Id : State::Idle;
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
    std::vector<Member> members_;
    std::vector<bool> active_;
    State state_ = State::Idle;
    sim::Time fell_ = 0;
    bool master_fell_ = false;  // the line is low because the master pulled it
    bool driving_ = false;
    int bits_ = 0;
    unsigned cmd_ = 0;
    int pos_ = 0;
};

}  // namespace pikit::test
