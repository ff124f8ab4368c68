// The NEC remote and its receiver: what the output pin does, to the
// nanosecond, for frames, repeat codes, a drifting remote clock, a receiver
// that stretches bursts, glitches and a missing receiver.
#include <wiringPi.h>

#include <array>

#include "devices/nec_remote.h"
#include "core/plan.h"
#include "fixture.h"

namespace {

using namespace modeltest;

constexpr Time kBit = 562500;  // ns

// The line's history from `from` on as alternating lengths, from its first
// edge to `active` (LOW for the receiver's output, HIGH for the light):
// burst, space, burst, ... The last level, still held, is left out.
std::vector<Time> pulses(const Board& b, int line, Time from, Level active = Level::Low) {
    std::vector<Time> out;
    Time since = -1;
    const auto& h = b.history(line);
    Level last = h.empty() ? !active : h.front().level;  // where the line started
    for (const LineChange& c : h) {
        const bool edge = c.level != last;
        last = c.level;
        if (c.at < from || !edge) continue;
        if (since < 0 && c.level != active) continue;
        if (since >= 0) out.push_back(c.at - since);
        since = c.at;
    }
    return out;
}

// Burst and space lengths of one frame, as a remote sends them.
std::vector<Time> frame_lengths(const std::array<std::uint8_t, 4>& bytes, double scale, Time stretch) {
    auto s = [&](Time t) { return static_cast<Time>(std::llround(static_cast<double>(t) * scale)); };
    std::vector<Time> v{s(9000_us) + stretch, s(4500_us) - stretch};
    for (std::uint8_t byte : bytes)
        for (int bit = 0; bit < 8; ++bit) {
            v.push_back(s(kBit) + stretch);
            v.push_back(s((byte >> bit) & 1 ? 3 * kBit : kBit) - stretch);
        }
    v.push_back(s(kBit) + stretch);
    return v;
}

const char* kRemote = "devices:\n  - {type: nec-remote, name: remote, pin: 6}\n";

TEST(NecRemote, AFrameIsSentLeastSignificantBitFirstWithNecTiming) {
    Bench b(kRemote);
    auto& remote = b.device<NecRemote>("remote");
    EXPECT_TRUE(is_high(b.board.level(6))) << "the receiver idles HIGH";
    b.board.run_until(1_ms);
    b.board.apply([&] { remote.press(0x00, false, 0x45, 0); });
    b.board.run_until(200_ms);

    EXPECT_EQ(pulses(b.board, 6, 0), frame_lengths({0x00, 0xFF, 0x45, 0xBA}, 1.0, 0));
    EXPECT_EQ(b.board.history(6).back().at, 1_ms + 67500_us + kBit) << "the output rises after the final burst";
    Time total = 0;
    for (Time t : pulses(b.board, 6, 0)) total += t;
    EXPECT_EQ(total, 67500_us + kBit) << "16 ones and 16 zeros, whatever the bytes";
    EXPECT_EQ(pulses(b.board, remote.light_line(), 0, Level::High), pulses(b.board, 6, 0))
        << "an ideal receiver's output is the light, inverted";
    ASSERT_EQ(remote.transmissions().size(), 1u);
    EXPECT_EQ(remote.transmissions()[0].bytes, (std::array<std::uint8_t, 4>{0x00, 0xFF, 0x45, 0xBA}));
    EXPECT_EQ(b.board.shown("remote", "key")->number("command"), 0x45);
}

TEST(NecRemote, ExtendedAddressesAndRawFramesGoOutAsGiven) {
    Bench b(kRemote);
    auto& remote = b.device<NecRemote>("remote");
    b.board.apply([&] {
        remote.press(0x1234, true, 0x07, 0);
        remote.send_frame({0xDE, 0xAD, 0xBE, 0xEF});
        remote.press(0x12, true, 0x08, 0);  // a small address sent as 16 bits
    });
    b.board.run_until(400_ms);
    const auto& sent = remote.transmissions();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].bytes, (std::array<std::uint8_t, 4>{0x34, 0x12, 0x07, 0xF8}));
    EXPECT_EQ(sent[1].bytes, (std::array<std::uint8_t, 4>{0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(sent[2].bytes, (std::array<std::uint8_t, 4>{0x12, 0x00, 0x08, 0xF7}));
    // Asked for at once, they go out one frame period apart.
    EXPECT_EQ(sent[1].start, 108_ms);
    EXPECT_EQ(sent[2].start, 216_ms);
}

TEST(NecRemote, AHeldKeySendsRepeatCodesEvery108msUntilReleased) {
    Bench b(kRemote);
    auto& remote = b.device<NecRemote>("remote");
    b.board.apply([&] { remote.press(0x00, false, 0x16, 500_ms); });
    EXPECT_TRUE(remote.held());
    b.board.run_until(1_s);
    EXPECT_FALSE(remote.held());
    const auto& sent = remote.transmissions();
    ASSERT_EQ(sent.size(), 5u) << "the frame and repeats at 108, 216, 324 and 432 ms";
    for (std::size_t k = 1; k < sent.size(); ++k) {
        EXPECT_EQ(sent[k].kind, NecRemote::Kind::Repeat);
        EXPECT_EQ(sent[k].start, static_cast<Time>(k) * 108_ms);
    }
    EXPECT_EQ(pulses(b.board, 6, 108_ms), (std::vector<Time>{9000_us, 2250_us, kBit, 108_ms - 9000_us - 2250_us - kBit, 9000_us,
                                                             2250_us, kBit, 108_ms - 9000_us - 2250_us - kBit, 9000_us, 2250_us,
                                                             kBit, 108_ms - 9000_us - 2250_us - kBit, 9000_us, 2250_us, kBit}));
    auto held = b.values("remote", "held");
    ASSERT_EQ(held.size(), 2u) << "held from the start (the press's instant), then let go";
    EXPECT_TRUE(held[0].as_bool());
    EXPECT_EQ(b.board.shown_history("remote", "held")[1].at, 500_ms);

    // Another key pressed while one is held ends the first key's repeats.
    b.board.clear_records();
    b.board.apply([&] { remote.press(0x00, false, 0x01, 1_s); });
    b.board.run_until(1050_ms);
    b.board.apply([&] { remote.press(0x00, false, 0x02, 0); });
    b.board.run_until(2_s);
    EXPECT_EQ(remote.transmissions_sent(), 7u) << "frame 0x01, then frame 0x02 in the next slot, no repeats";
    EXPECT_EQ(remote.transmissions().back().bytes[2], 0x02);
    EXPECT_EQ(remote.transmissions().back().start, 1108_ms);
}

TEST(NecRemote, TheRemotesClockScalesEveryLengthAndTheReceiverStretchesBursts) {
    Bench b("devices:\n  - {type: nec-remote, name: remote, pin: 6, clock_error: -4.5, stretch: 80us}\n");
    auto& remote = b.device<NecRemote>("remote");
    b.board.apply([&] { remote.press(0x00, false, 0xAB, 200_ms); });
    b.board.run_until(300_ms);
    std::vector<Time> out = pulses(b.board, 6, 0);
    std::vector<Time> want = frame_lengths({0x00, 0xFF, 0xAB, 0x54}, 0.955, 80_us);
    ASSERT_GT(out.size(), want.size());
    EXPECT_EQ(std::vector<Time>(out.begin(), out.begin() + static_cast<long>(want.size())), want);
    EXPECT_EQ(remote.transmissions()[1].start, std::llround(108e6 * 0.955)) << "the repeat period drifts too";
    // The light itself is the remote's: not stretched.
    EXPECT_EQ(pulses(b.board, remote.light_line(), 0, Level::High)[0], std::llround(9e6 * 0.955));

    // A space shorter than the stretch vanishes: the bursts merge.
    b.board.clear_records();
    b.board.apply([&] {
        remote.set_clock_error(0);
        remote.set_stretch(600_us);
        remote.send_frame({0x00, 0x00, 0x00, 0x00});
    });
    b.board.run_until(600_ms);
    out = pulses(b.board, 6, 300_ms);
    ASSERT_EQ(out.size(), 3u) << "leader, then one burst: every 0 space swallowed";
    EXPECT_EQ(out[0], 9600_us);
    EXPECT_EQ(out[1], 3900_us);
    EXPECT_EQ(out[2], 65 * kBit + 600_us);
}

TEST(NecRemote, GlitchesInvertTheOutputAndRandomOnesRepeatForASeed) {
    Bench b(kRemote);
    auto& remote = b.device<NecRemote>("remote");
    b.board.apply([&] { remote.press(0x00, false, 0x45, 0); });
    b.board.run_until(9500_us);  // in the leader's space
    b.board.apply([&] { remote.glitch(100_us); });
    b.board.run_until(9550_us);
    EXPECT_FALSE(is_high(b.board.level(6))) << "a spurious burst in a space";
    b.board.run_until(13600_us);  // in the first bit's burst
    b.board.apply([&] { remote.glitch(50_us); });
    EXPECT_TRUE(is_high(b.board.level(6))) << "a drop-out in a burst";
    b.board.run_until(200_ms);
    std::vector<Time> out = pulses(b.board, 6, 0);
    EXPECT_EQ(std::vector<Time>(out.begin(), out.begin() + 6),
              (std::vector<Time>{9000_us, 500_us, 100_us, 3900_us, 100_us, 50_us}));
    EXPECT_EQ(remote.glitches(), 2u);
    EXPECT_EQ(b.board.reports(ReportKind::Fault).size(), 2u);

    auto glitch_times = [](std::uint32_t seed) {
        Bench r("devices:\n  - {type: nec-remote, name: remote, glitches: {every: 50ms, length: 20us, seed: " +
                std::to_string(seed) + "}}\n");
        r.board.run_until(10_s);
        std::vector<Time> falls;
        for (const LineChange& c : r.board.history(6))
            if (c.level == Level::Low) falls.push_back(c.at);
        return falls;
    };
    const std::vector<Time> a = glitch_times(7);
    EXPECT_EQ(a, glitch_times(7));
    EXPECT_NE(a, glitch_times(8));
    EXPECT_GT(a.size(), 150u) << "about 200 in 10 s at one every 50 ms";
    EXPECT_LT(a.size(), 250u);
}

TEST(NecRemote, WithoutAReceiverTheLineFollowsItsPullAlone) {
    Bench b("devices:\n  - {type: nec-remote, name: remote, absent: true}\n");
    auto& remote = b.device<NecRemote>("remote");
    EXPECT_FALSE(is_high(b.board.level(6))) << "BCM 25's power-on pull-down";
    pullUpDnControl(6, PUD_UP);
    EXPECT_TRUE(is_high(b.board.level(6)));
    pinMode(6, INPUT);
    pullUpDnControl(6, PUD_OFF);
    EXPECT_TRUE(b.board.floating(6));
    EXPECT_EQ(digitalRead(6), 0) << "a floating line reads LOW on the simulated Pi";
    b.board.apply([&] { remote.press(0x00, false, 0x45, 0); });
    b.board.run_until(100_ms);
    EXPECT_TRUE(b.board.floating(6)) << "the remote's light reaches nobody";
    EXPECT_EQ(pulses(b.board, remote.light_line(), 0, Level::High).size(), 67u);
}

// A key held as long as a person holds it: its frame, then a repeat code
// every 108 ms until it is let go.
TEST(NecRemote, AKeyHeldDownRepeatsUntilItIsLetGo) {
    Bench b(kRemote);
    auto& remote = b.device<NecRemote>("remote");
    b.board.run_until(1_ms);
    const Time t0 = *apply_action(b.board, "{device: remote, action: down, command: 0x16}");
    b.board.run_until(1_s);
    EXPECT_TRUE(remote.held());
    apply_action(b.board, "{device: remote, action: up}");
    b.board.run_until(2_s);
    EXPECT_FALSE(remote.held());
    const auto& sent = remote.transmissions();
    ASSERT_EQ(sent.size(), 10u) << "the frame at 1 ms, repeats at 109 ms ... 973 ms";
    EXPECT_EQ(sent[0].start, t0);
    EXPECT_EQ(sent[0].kind, NecRemote::Kind::Frame);
    EXPECT_EQ(sent[0].bytes, (std::array<std::uint8_t, 4>{0x00, 0xFF, 0x16, 0xE9}));
    for (std::size_t i = 1; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].kind, NecRemote::Kind::Repeat);
        EXPECT_EQ(sent[i].start, t0 + static_cast<Time>(i) * 108_ms);
    }
    auto held = b.values("remote", "held");
    EXPECT_EQ(held, (std::vector<Shown>{false, true, false}));
}

TEST(NecRemote, BadSettingsAndActionsAreRefusedNamingTheKey) {
    auto refuse = [](const std::string& yaml, const std::string& message) { EXPECT_EQ(refusal(yaml, "ir.yaml"), message); };
    // Interference no receiver passes as glitches, which would also flood
    // the run with events that end nowhere.
    refuse("devices:\n  - {type: nec-remote, name: b, glitches: {every: 0ms}}\n",
           "ir.yaml: devices[0].glitches.every: out of range (1ms to 100000h) '0ms'");
    refuse("devices:\n  - {type: nec-remote, name: b, glitches: {every: 999999ns, length: 10us}}\n",
           "ir.yaml: devices[0].glitches.every: out of range (1ms to 100000h) '999999ns'");
    refuse("devices:\n  - {type: nec-remote, name: b, glitches: {every: 1ms, length: 9999ns}}\n",
           "ir.yaml: devices[0].glitches.length: out of range (10us to 10ms) '9999ns'");
    EXPECT_EQ(refusal("devices:\n  - {type: nec-remote, name: b, glitches: {every: 1ms, length: 10us}}\n", "ir.yaml"),
              "accepted");
    const std::string remote = "devices:\n  - {type: nec-remote, name: r}\nstimuli:\n";
    refuse(remote + "  - {at: 1s, device: r, action: press, address: 0x100, extended: false, command: 1}\n",
           "ir.yaml: stimuli[0].address: an 8-bit address is 0 to 255; this one needs extended: true '0x100'");
    refuse(remote + "  - {at: 1s, device: r, action: press, address: 1}\n",
           "ir.yaml: stimuli[0]: missing 'command' (a whole number, 0x00 to 0xFF)");
    refuse(remote + "  - {at: 1s, device: r, action: frame, bytes: \"00 FF 45\"}\n",
           "ir.yaml: stimuli[0].bytes: expected 4 bytes, not 3 '00 FF 45'");
    refuse(remote + "  - {at: 1s, device: r, action: press, command: 1, hold: 1s, repeat: 3}\n",
           "ir.yaml: stimuli[0].repeat: unknown setting (known: at, device, action, address, command, extended, hold)");
    refuse(remote + "  - {at: 1s, device: r, action: glitch, length: 1ns}\n",
           "ir.yaml: stimuli[0].length: out of range (10us to 10ms) '1ns'");
    refuse(
        remote + "  - {at: 1s, device: r, action: blink}\n",
        "ir.yaml: stimuli[0].action: unknown action of nec-remote (known: press, down, up, frame, repeat, glitch, set) 'blink'");
}

}  // namespace
