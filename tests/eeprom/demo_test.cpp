// The three EEPROM demos run as processes against a simulated GX2431, with
// the chip's memory kept in a temporary state directory between runs, and
// that memory's safety when runs are killed, run at once or find something
// else in its place.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "crc.h"
#include "support/run_program.h"

namespace {

using pikit::test::run_program;
using pikit::test::RunResult;
using pikit::test::temp_dir;
using pikit::test::write_file;
using Memory = std::array<std::uint8_t, 128>;

const char* const kTag = "<Vexora>";
const std::string kWrote = "Successfully wrote data to address 0-7: 60 86 101 120 111 114 97 62 \n";
const std::string kFailed = "Failed wrote data to address 0-7! \n";
const std::string kNoDevice = "No GX2431 found on the 1-Wire bus. \n";
const std::string kInvalid = "A GX2431 was found but the serial number is invalid. \n";

// The chip of these tests.
std::array<std::uint8_t, 8> chip_rom() {
    std::array<std::uint8_t, 8> r = {0x2D, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0};
    r[7] = crc8_r(r.data(), 7);
    return r;
}
const char* const kRomText = "2D 10 20 30 40 50 60";

std::string state_file(const std::string& dir) {
    char name[64];
    const auto r = chip_rom();
    std::snprintf(name, sizeof name, "/gx2431-%02X%02X%02X%02X%02X%02X%02X%02X.mem", r[0], r[1], r[2], r[3], r[4], r[5], r[6],
                  r[7]);
    return dir + name;
}

Memory blank() {
    Memory m;
    m.fill(0xFF);
    return m;
}

Memory tagged(Memory m) {
    for (int i = 0; i < 8; ++i) m[i] = static_cast<std::uint8_t>(kTag[i]);
    return m;
}

void save_memory(const std::string& dir, const Memory& m) {
    std::ofstream(state_file(dir), std::ios::binary).write(reinterpret_cast<const char*>(m.data()), m.size());
}

Memory load_memory(const std::string& dir) {
    Memory m{};
    std::ifstream in(state_file(dir), std::ios::binary);
    EXPECT_TRUE(in.good()) << "no state file " << state_file(dir);
    in.read(reinterpret_cast<char*>(m.data()), m.size());
    return m;
}

std::string dump(const Memory& m) {
    std::string s;
    for (int i = 0; i < 128; ++i) {
        if (i % 8 == 0 && i != 0) s += "\n";
        s += " " + std::to_string(m[i]);
    }
    return s + "\n";
}

// Everything a demo prints for a chip holding `before`, whose write gives
// `after` and was reported as `wrote`.
std::string expected(const std::string& program, const Memory& before, const Memory& after, bool wrote) {
    std::string s;
    if (program != "eeprom-skip-demo") {
        s += "GX2431 found with serial number :";
        for (auto b : chip_rom()) s += std::to_string(b) + " ";
        s += "\n";
    }
    s += "Memory contents : \n" + dump(before);
    s += wrote ? kWrote : kFailed;
    s += "Reread memory contents : \n" + dump(after);
    s += "Our team:\xC2\xA0" + std::string(reinterpret_cast<const char*>(after.data()), 8) + "\n";
    return s;
}

std::string scenario(const std::string& dir, const std::string& extra, const std::string& name = "chip.yaml") {
    return write_file(dir, name,
                      "pulls: {27: up}\n"
                      "devices:\n"
                      "  - type: gx2431\n"
                      "    name: eeprom\n"
                      "    pin: 27\n"
                      "    rom: \"" +
                          std::string(kRomText) + "\"\n" + extra);
}

// A run that ends by itself: with status 0 when it wrote the tag, and 1
// after any failure it printed, so that a script can tell them apart.
RunResult run(const std::string& program, const std::string& state, const std::string& scenario_path = "",
              const std::string& log = "") {
    std::map<std::string, std::string> env = {{"PIKIT_SIM_STATE_DIR", state}};
    if (!scenario_path.empty()) env["PIKIT_SIM_SCENARIO"] = scenario_path;
    if (!log.empty()) env["PIKIT_SIM_LOG"] = log;
    RunResult r = run_program(program, env);
    EXPECT_FALSE(r.timed_out) << program;
    EXPECT_EQ(r.signal, 0) << program << "\n" << r.err;
    EXPECT_EQ(r.exit_code, r.out.find(kWrote) != std::string::npos ? 0 : 1) << program << "\n" << r.out << r.err;
    return r;
}

// Lines of the simulator log that report a protocol or timing breach, or
// the master and a device driving the line against each other.
std::string breaches(const std::string& log_path) {
    std::string out, line;
    std::ifstream in(log_path);
    EXPECT_TRUE(in.good()) << "no log " << log_path;
    while (std::getline(in, line))
        if (line.find(": breach: ") != std::string::npos || line.find("contention") != std::string::npos) out += line + "\n";
    return out;
}

class EepromDemo : public ::testing::TestWithParam<std::string> {};

INSTANTIATE_TEST_SUITE_P(Programs, EepromDemo, ::testing::Values("eeprom-search-demo", "eeprom-skip-demo", "eeprom-onefile-demo"),
                         [](const auto& info) {
                             std::string n = info.param;
                             for (auto& c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

TEST_P(EepromDemo, BlankChipGetsTheTagAndTheNextRunShowsIt) {
    const std::string dir = temp_dir();
    const std::string chip = scenario(dir, "");
    auto first = run(GetParam(), dir, chip);
    EXPECT_EQ(first.out, expected(GetParam(), blank(), tagged(blank()), true));
    EXPECT_EQ(load_memory(dir), tagged(blank()));

    auto second = run(GetParam(), dir, chip);
    EXPECT_EQ(second.out, expected(GetParam(), tagged(blank()), tagged(blank()), true));
}

TEST_P(EepromDemo, NoBreachAtEitherTimingCorner) {
    for (const char* corner : {"fast", "slow"}) {
        SCOPED_TRACE(corner);
        const std::string dir = temp_dir();
        const std::string log = dir + "/sim.log";
        auto r = run(GetParam(), dir, scenario(dir, std::string("    timing: ") + corner + "\n"), log);
        EXPECT_EQ(r.out, expected(GetParam(), blank(), tagged(blank()), true));
        EXPECT_EQ(breaches(log), "");
    }
}

TEST_P(EepromDemo, EmptyOrShortedBusPrintsOneLine) {
    const std::string dir = temp_dir();
    auto empty = run(GetParam(), dir, write_file(dir, "empty.yaml", "pulls: {27: up}\ndevices: []\n"));
    EXPECT_EQ(empty.out, kNoDevice);
    auto shorted = run(GetParam(), dir, scenario(dir, "    stuck_low: true\n"));
    EXPECT_EQ(shorted.out, kNoDevice);
}

TEST_P(EepromDemo, FailedWriteStillRereadsAndPrintsTheRowRaw) {
    const std::string dir = temp_dir();
    // Zero bytes and bytes above 0x7F in the first row go out unescaped.
    Memory old = blank();
    const std::uint8_t row[8] = {0x00, 'A', 0xC3, 0xA9, 0x0A, 0x7F, 0x80, 0x00};
    std::copy(row, row + 8, old.begin());
    save_memory(dir, old);
    auto r = run(GetParam(), dir, scenario(dir, "    copy_fails: always\n"));
    EXPECT_EQ(r.out, expected(GetParam(), old, old, false));
    EXPECT_EQ(load_memory(dir), old);
}

TEST(EepromSearchDemo, SearchWithoutAValidIdIsReportedInvalid) {
    const std::string dir = temp_dir();
    // The only device answering the search has an id whose CRC is wrong...
    const std::string bad_crc = write_file(dir, "bad.yaml",
                                           "pulls: {27: up}\n"
                                           "devices:\n"
                                           "  - {type: onewire-device, name: odd, pin: 27, rom: \"2D 01 02 03 04 05 06 00\"}\n");
    // ...or the chip drops off the bus halfway through the search.
    const std::string gone = scenario(dir, "    leave_after_search_bits: 20\n", "gone.yaml");
    for (const char* program : {"eeprom-search-demo", "eeprom-onefile-demo"}) {
        EXPECT_EQ(run(program, dir, bad_crc).out, kInvalid) << program;
        EXPECT_EQ(run(program, dir, gone).out, kInvalid) << program;
    }
}

TEST(EepromSearchDemo, DefaultScenarioWorksOnAFreshStateDir) {
    const std::string dir = temp_dir();
    auto r = run("eeprom-search-demo", dir);
    const std::string head = "GX2431 found with serial number :45 ";
    EXPECT_EQ(r.out.compare(0, head.size(), head), 0) << r.out;
    EXPECT_NE(r.out.find("Memory contents : \n" + dump(blank())), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(kWrote), std::string::npos);
    EXPECT_NE(r.out.find("Our team:\xC2\xA0<Vexora>\n"), std::string::npos);
}

TEST(EepromOnefileDemo, SameOutputAsTheSearchDemo) {
    for (const char* extra : {"", "    copy_fails: 1\n", "    flip_reply: [{command: 0x0F, byte: 0, bit: 2}]\n"}) {
        SCOPED_TRACE(extra);
        const std::string a = temp_dir(), b = temp_dir();
        for (int pass = 0; pass < 2; ++pass) {
            auto search = run("eeprom-search-demo", a, scenario(a, extra));
            auto onefile = run("eeprom-onefile-demo", b, scenario(b, extra));
            EXPECT_EQ(onefile.out, search.out) << "pass " << pass;
        }
    }
}

TEST(EepromOnefileDemo, SourceIsOneFileWithoutTheUnusedChecksums) {
    const std::string src = pikit::test::read_file(PIKIT_ONEFILE_SOURCE);
    for (const char* absent : {"crc8_t", "crc8_l", "dscrc2x16_table", "#include \""})
        EXPECT_EQ(src.find(absent), std::string::npos) << absent;
    for (const char* present :
         {"uint8_t crc8_r(", "uint32_t crc16(", "bool check_crc16(", "bool ow_search(", "bool eeprom_m_write(", "int main("})
        EXPECT_NE(src.find(present), std::string::npos) << present;
}

// Whatever goes wrong on the wire, a row of the EEPROM holds its old content
// or the whole tag, never a mixture, and success is only reported for the tag.
TEST(EepromDemos, NoFaultLeavesAPartlyWrittenRow) {
    const std::vector<std::string> faults = {
        "    flip_reply: [{command: 0x0F, byte: 1, bit: 7}]\n",
        "    flip_reply: [{command: 0xAA, byte: 2, bit: 0}]\n",
        "    flip_reply: [{command: 0x0F, byte: 0, bit: 0}, {command: 0xAA, byte: 6, bit: 4, times: 1}]\n",
        "    flip_reply: [{command: 0x0F, byte: 0, bit: 0}, {command: 0xAA, byte: 12, bit: 1, times: 2}]\n",
        "    flip_reply: [{command: 0xAA, byte: 0, bit: 3}]\n",
        "    flip_received: [{command: 0x0F, byte: 5, bit: 3}]\n",
        // A wrong byte in the scratchpad and both read-backs garbled: nothing
        // seen intact may be copied.
        "    flip_received: [{command: 0x0F, byte: 5, bit: 3}]\n"
        "    flip_reply: [{command: 0xAA, byte: 11, bit: 0, times: 2}]\n",
        "    flip_received: [{command: 0x0F, byte: 0, bit: 3}]\n",
        "    flip_received: [{command: 0x55, byte: 2, bit: 1}]\n",
        "    flip_received: [{command: 0x55, byte: 0, bit: 0}]\n",
        "    copy_fails: 1\n",
        "    flip_received: [{layer: rom, command: 0x55, byte: 3, bit: 0, after: 2}]\n",
    };
    std::vector<std::string> all = faults;
    for (int seed = 1; seed <= 12; ++seed) {
        all.push_back("    flip_random: {reply: 0.002, received: 0.002, seed: " + std::to_string(seed) + "}\n");
    }
    Memory old;
    for (int i = 0; i < 128; ++i) old[i] = static_cast<std::uint8_t>(0x30 + i % 64);
    int successes = 0;
    for (const char* program : {"eeprom-search-demo", "eeprom-skip-demo"})
        for (const auto& fault : all) {
            SCOPED_TRACE(std::string(program) + ": " + fault);
            const std::string dir = temp_dir();
            save_memory(dir, old);
            auto r = run(program, dir, scenario(dir, fault));
            const Memory now = load_memory(dir);
            for (int row = 0; row < 16; ++row) {
                const bool same = std::equal(now.begin() + row * 8, now.begin() + row * 8 + 8, old.begin() + row * 8);
                const bool tag = row == 0 && std::equal(now.begin(), now.begin() + 8, kTag);
                EXPECT_TRUE(same || tag) << "row " << row;
            }
            if (r.out.find(kWrote) != std::string::npos) {
                ++successes;
                EXPECT_TRUE(std::equal(now.begin(), now.begin() + 8, kTag)) << "success reported, tag not stored";
            }
        }
    EXPECT_GT(successes, 0);  // the faults do not simply stop every write
}

}  // namespace

namespace {

// The state directory's entries other than the chip's memory.
std::vector<std::string> litter(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path() != state_file(dir)) out.push_back(e.path().filename().string());
    return out;
}

}  // namespace

// A demo that ends by itself ends with its own status, whatever run limit is
// set as a safety net beyond that moment.
TEST(EepromDemos, AProgramsOwnEndWinsOverTheRunLimit) {
    const std::string dir = temp_dir();
    for (int i = 0; i < 5; ++i) {
        RunResult r = run_program("eeprom-search-demo", {{"PIKIT_SIM_STATE_DIR", dir}, {"PIKIT_SIM_UNTIL", "60s"}});
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_NE(r.out.find(kWrote), std::string::npos);
    }
}

// A file in the chip's place that is not its memory stops the run, and is
// never replaced; a link is never written through.
TEST(EepromDemos, AStateFileIsOnlyReplacedIfItHeldAChipsMemory) {
    const std::string dir = temp_dir();
    const std::string chip = scenario(dir, "");
    for (const std::string& content : {std::string(), std::string(37, 'x'), std::string(129, 'x')}) {
        std::ofstream(state_file(dir), std::ios::binary) << content;
        RunResult r = run_program("eeprom-skip-demo", {{"PIKIT_SIM_STATE_DIR", dir}, {"PIKIT_SIM_SCENARIO", chip}});
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "pikit-sim: " + state_file(dir) + ": not the memory of gx2431 'eeprom' (" +
                             std::to_string(content.size()) +
                             " bytes, not 128); it is left as it is: move it away or delete it to start with a "
                             "blank part\n");
        EXPECT_EQ(pikit::test::read_file(state_file(dir)), content);
        EXPECT_TRUE(litter(dir).empty() || litter(dir) == std::vector<std::string>{"chip.yaml"});
    }
    std::filesystem::remove(state_file(dir));
    std::filesystem::create_directory(state_file(dir));
    RunResult r = run_program("eeprom-skip-demo", {{"PIKIT_SIM_STATE_DIR", dir}, {"PIKIT_SIM_SCENARIO", chip}});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("(not a regular file)"), std::string::npos) << r.err;
    std::filesystem::remove(state_file(dir));

    // The memory kept elsewhere through a link: read, and the link replaced
    // by the new memory; the file it pointed to keeps its content.
    const std::string elsewhere = temp_dir() + "/outside.mem";
    Memory old = blank();
    old[100] = 0x42;
    std::ofstream(elsewhere, std::ios::binary).write(reinterpret_cast<const char*>(old.data()), old.size());
    std::filesystem::create_symlink(elsewhere, state_file(dir));
    EXPECT_EQ(run("eeprom-skip-demo", dir, chip).out, expected("eeprom-skip-demo", old, tagged(old), true));
    EXPECT_FALSE(std::filesystem::is_symlink(state_file(dir)));
    EXPECT_EQ(load_memory(dir), tagged(old));
    EXPECT_EQ(pikit::test::read_file(elsewhere), std::string(reinterpret_cast<const char*>(old.data()), old.size()));

    // A link planted where the lock goes is refused, not followed.
    const std::string victim = write_file(temp_dir(), "victim", "keep me");
    const std::string lock = state_file(dir).substr(0, state_file(dir).size() - 4) + ".lock";
    std::filesystem::create_symlink(victim, lock);
    r = run_program("eeprom-skip-demo", {{"PIKIT_SIM_STATE_DIR", dir}, {"PIKIT_SIM_SCENARIO", chip}});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err.rfind("pikit-sim: " + lock + ": cannot lock the memory of gx2431 'eeprom': ", 0), 0u) << r.err;
    EXPECT_EQ(pikit::test::read_file(victim), "keep me");
    EXPECT_EQ(load_memory(dir), tagged(old));
}

// Where the state cannot be kept: given explicitly, bad input; the default
// place, a warning and a run whose memory does not outlive it.
TEST(EepromDemos, AnUnusableStateDirectory) {
    const std::string dir = temp_dir();
    const std::string plain = write_file(dir, "plain", "x");
    RunResult r = run_program("eeprom-skip-demo", {{"PIKIT_SIM_STATE_DIR", plain}});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err.rfind("pikit-sim: environment: PIKIT_SIM_STATE_DIR: cannot be used as the state directory: ", 0), 0u)
        << r.err;
    EXPECT_EQ(r.out, "");

    r = run_program("eeprom-skip-demo", {{"XDG_STATE_HOME", plain}});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "pikit-sim: warning: state directory " + plain +
                         "/pikit-sim cannot be used (Not a directory); state will not outlive this run\n");
    EXPECT_NE(r.out.find(kWrote), std::string::npos);
    EXPECT_EQ(pikit::test::read_file(plain), "x");
}

// Demos started together on one chip: each either runs whole or is refused
// with one line, and the memory is always a whole image with the tag.
TEST(EepromDemos, RunsAtOnceOnOneChipNeverLoseOrTearItsMemory) {
    const std::string dir = temp_dir();
    const std::string chip = scenario(dir, "");
    Memory old = blank();
    for (int i = 8; i < 128; ++i) old[i] = static_cast<std::uint8_t>(i);
    save_memory(dir, old);
    int refused = 0, ran = 0;
    for (int round = 0; round < 10; ++round) {
        std::vector<RunResult> results(4);
        std::vector<std::thread> threads;
        for (auto& res : results)
            threads.emplace_back([&res, &dir, &chip] {
                res = run_program("eeprom-skip-demo", {{"PIKIT_SIM_STATE_DIR", dir}, {"PIKIT_SIM_SCENARIO", chip}});
            });
        for (auto& t : threads) t.join();
        for (const RunResult& r : results) {
            ASSERT_FALSE(r.timed_out);
            if (r.exit_code == 2) {
                ++refused;
                EXPECT_EQ(r.err, "pikit-sim: " + state_file(dir) +
                                     ": the memory of gx2431 'eeprom' is in use by another run; one run at a time per "
                                     "chip: wait for it to end, or give this run its own PIKIT_SIM_STATE_DIR\n");
            } else {
                ++ran;
                EXPECT_EQ(r.exit_code, 0) << r.err;
                EXPECT_EQ(r.out, expected("eeprom-skip-demo", r.out.find(dump(old)) != std::string::npos ? old : tagged(old),
                                          tagged(old), true));
            }
        }
        EXPECT_EQ(load_memory(dir), tagged(old));
    }
    EXPECT_GT(ran, 0);
    EXPECT_TRUE(litter(dir) == std::vector<std::string>{"chip.yaml"});
    std::printf("[ concurrent ] %d runs, %d refused while another held the chip\n", ran, refused);
}

// Killed at any moment, a run leaves the old memory or the whole new one,
// and whatever a kill left half-done is cleared by the next run.
TEST(EepromDemos, AKillAtAnyMomentLeavesTheOldOrTheNewMemory) {
    const std::string dir = temp_dir();
    const std::string chip = scenario(dir, "");
    Memory old = blank();
    for (int i = 0; i < 128; ++i) old[i] = static_cast<std::uint8_t>(255 - i);
    // Paced, so that the moments of a run spread over a wall time a kill can
    // hit. How long a whole run takes depends on how busy the machine is: it
    // is timed first, and the kills spread over it.
    const std::map<std::string, std::string> env{
        {"PIKIT_SIM_STATE_DIR", dir}, {"PIKIT_SIM_SCENARIO", chip}, {"PIKIT_SIM_SPEED", "2"}};
    save_memory(dir, old);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(run_program("eeprom-skip-demo", env, 10.0).exit_code, 0);
    const double whole_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::mt19937 rng(20240611);
    int kept = 0, replaced = 0;
    // A run that the machine slows down more than the timed one outlasts the
    // kills: while none has come late enough to find the new memory, the
    // window doubles, in rounds of twelve more.
    double window = std::max(0.13, whole_s);
    for (int i = 0; i < 36 || (replaced == 0 && i < 72); ++i) {
        if (i >= 36 && i % 12 == 0) window *= 2;
        save_memory(dir, old);
        pikit::test::Interrupt kill9;
        kill9.signal = SIGKILL;
        kill9.after_s = std::uniform_real_distribution<double>(0.0, window)(rng);
        RunResult r = run_program("eeprom-skip-demo", env, 10.0, kill9);
        const Memory now = load_memory(dir);
        if (now == old) ++kept;
        else if (now == tagged(old)) ++replaced;
        else ADD_FAILURE() << "torn memory after a kill at " << kill9.after_s << " s:\n" << dump(now);
    }
    std::printf("[ kills      ] over up to %.3f s: %d kept the old memory, %d had the new one\n", window, kept, replaced);
    EXPECT_GT(kept, 0);
    EXPECT_GT(replaced, 0);
    run("eeprom-skip-demo", dir, chip);
    EXPECT_TRUE(litter(dir) == std::vector<std::string>{"chip.yaml"});
}
