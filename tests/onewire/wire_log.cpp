#include "wire_log.h"

#include <cstdio>
#include <stdexcept>

namespace pikit::test {

using sim::Call;
using sim::CallKind;

std::vector<Transaction> decode_transactions(const std::vector<Call>& calls, int pin) {
    std::vector<Transaction> out;
    out.emplace_back();
    // Where in a slot the master is, judged from its delays after pulling low.
    enum class Phase { Idle, Low, ReadWait, AfterReset } phase = Phase::Idle;
    for (const Call& c : calls) {
        if (c.pin != -1 && c.pin != pin) continue;
        switch (c.kind) {
        case CallKind::Write: phase = c.value == 0 ? Phase::Low : Phase::Idle; break;
        case CallKind::DelayUs:
            if (phase == Phase::Low && c.value == 480) {
                if (!out.back().bits.empty() || out.back().reset) out.emplace_back();
                out.back().reset = true;
                out.back().begin = c.at;
                phase = Phase::AfterReset;
            } else if (phase == Phase::Low && c.value == 3) {
                phase = Phase::ReadWait;
            } else if (phase == Phase::Low && (c.value == 10 || c.value == 65)) {
                out.back().bits.push_back({true, c.value == 10 ? 1 : 0});
                phase = Phase::Idle;
            }
            break;
        case CallKind::Read:
            if (phase == Phase::ReadWait) {
                out.back().bits.push_back({false, c.value});
                phase = Phase::Idle;
            } else if (phase == Phase::AfterReset) {
                out.back().presence = c.value == 0;
                phase = Phase::Idle;
            }
            break;
        default: break;
        }
    }
    if (out.front().bits.empty() && !out.front().reset) out.erase(out.begin());
    return out;
}

std::vector<int> Transaction::bytes() const {
    std::vector<int> r;
    for (std::size_t i = 0; i + 8 <= bits.size(); i += 8) {
        int v = 0;
        for (int b = 0; b < 8; ++b) {
            if (bits[i + b].written != bits[i].written)
                throw std::logic_error("byte mixes written and read bits: " + describe(*this));
            v |= bits[i + b].value << b;
        }
        r.push_back(bits[i].written ? v : 0x100 | v);
    }
    return r;
}

std::vector<std::uint8_t> Transaction::written() const {
    std::vector<std::uint8_t> r;
    for (int b : bytes())
        if (b < 0x100) r.push_back(static_cast<std::uint8_t>(b));
    return r;
}

std::vector<std::uint8_t> Transaction::read() const {
    std::vector<std::uint8_t> r;
    for (int b : bytes())
        if (b >= 0x100) r.push_back(static_cast<std::uint8_t>(b));
    return r;
}

std::string describe(const Transaction& t) {
    std::string s = t.reset ? (t.presence ? "[reset+presence]" : "[reset]") : "[no reset]";
    bool last_written = true;
    bool first = true;
    char buf[8];
    for (std::size_t i = 0; i + 8 <= t.bits.size(); i += 8) {
        bool w = t.bits[i].written;
        int v = 0;
        bool mixed = false;
        for (int b = 0; b < 8; ++b) {
            mixed |= t.bits[i + b].written != w;
            v |= t.bits[i + b].value << b;
        }
        if (first || w != last_written) s += w ? " W:" : " R:";
        std::snprintf(buf, sizeof buf, mixed ? " ??" : " %02X", v);
        s += buf;
        last_written = w;
        first = false;
    }
    if (t.bits.size() % 8) s += " +" + std::to_string(t.bits.size() % 8) + " bits";
    return s;
}

}  // namespace pikit::test
