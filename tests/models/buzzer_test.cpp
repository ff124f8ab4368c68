// The buzzer: the notes a soft tone generator plays, the pitch of a line
// toggled by hand, and the WAV file of what the line did.
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <softTone.h>
#include <wiringPi.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "devices/buzzer.h"
#include "fixture.h"

namespace {

using namespace modeltest;

TEST(Buzzer, KeepsEachNoteThatIsPlayedAndShowsItsPitch) {
    Bench b("devices:\n  - {type: buzzer, name: bz, pin: 1}\n");
    auto& bz = b.device<Buzzer>("bz");
    ASSERT_EQ(softToneCreate(1), 0);
    softToneWrite(1, 441);
    delay(250);
    softToneWrite(1, 0);
    softToneWrite(1, 441);  // the same pitch again at once: a second note
    delay(250);
    softToneWrite(1, 0);
    softToneWrite(1, -1);  // a rest: negative is silence
    delay(125);
    softToneWrite(1, 556);
    softToneWrite(1, 556);  // the same pitch written twice is one note
    delay(375);
    softToneWrite(1, 0);
    delay(10);

    const auto& t = bz.timeline();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].start, 0);
    EXPECT_EQ(t[0].end, 250_ms);
    EXPECT_EQ(t[0].frequency, 441);
    EXPECT_EQ(t[1].start, 250_ms);
    EXPECT_EQ(t[1].end, 500_ms);
    EXPECT_EQ(t[2].start, 625_ms);
    EXPECT_EQ(t[2].end, 1000_ms);
    EXPECT_EQ(t[2].frequency, 556);
    EXPECT_EQ(bz.frequency(), 0);

    std::vector<std::string> notes;
    for (const auto& c : b.board.shown_history("bz", "note")) notes.push_back(c.value.as_text());
    // Shown once per instant: the silence at power-up and between the two
    // A4s lasts no time, and is never shown.
    EXPECT_EQ(notes, (std::vector<std::string>{"A4", "silence", "C#5", "silence"}));
}

TEST(Buzzer, NamesTheNearestNoteOfTheScale) {
    EXPECT_EQ(Buzzer::note_name(262), "C4");
    EXPECT_EQ(Buzzer::note_name(294), "D4");
    EXPECT_EQ(Buzzer::note_name(330), "E4");
    EXPECT_EQ(Buzzer::note_name(350), "F4");
    EXPECT_EQ(Buzzer::note_name(393), "G4");
    EXPECT_EQ(Buzzer::note_name(495), "B4");
    EXPECT_EQ(Buzzer::note_name(624), "D#5");
    EXPECT_EQ(Buzzer::note_name(5000), "D#8");
    EXPECT_EQ(Buzzer::note_name(27), "A0");
    EXPECT_EQ(Buzzer::note_name(0), "silence");
}

TEST(Buzzer, HearsTheFrequencyOfALineToggledByHand) {
    Bench b("devices:\n  - {type: buzzer, name: bz, pin: 1}\n");
    auto& bz = b.device<Buzzer>("bz");
    pinMode(1, OUTPUT);
    for (int i = 0; i < 100; ++i) {  // 1 ms high, 1 ms low: 500 Hz
        digitalWrite(1, HIGH);
        delay(1);
        digitalWrite(1, LOW);
        delay(1);
    }
    EXPECT_EQ(bz.frequency(), 500);
    delay(100);
    EXPECT_EQ(bz.frequency(), 0) << "a line that stops moving is silent";
    ASSERT_EQ(bz.timeline().size(), 1u);
    EXPECT_EQ(bz.timeline()[0].frequency, 500);
}

TEST(Buzzer, WritesWhatTheLineDoesToAWavFile) {
    const std::string path = pikit::test::temp_dir() + "/tone.wav";
    {
        Bench b("devices:\n  - {type: buzzer, name: bz, pin: 1, sample_rate: 8000, wav: " + path + "}\n");
        ASSERT_EQ(softToneCreate(1), 0);
        softToneWrite(1, 441);
        delay(500);
        softToneWrite(1, 0);
        delay(500);
        b.board.finish();
    }
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.samplerate, 8000);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    ASSERT_EQ(info.frames, 8000);
    std::vector<short> s(8000);
    ASSERT_EQ(sf_read_short(f, s.data(), 8000), 8000);
    sf_close(f);

    // The tone: 441.3 Hz (a half period of 1133 us), two sign changes a
    // period, loud; then, once the click of its end has died away, silence.
    int crossings = 0;
    double loud = 0, quiet = 0;
    for (int i = 1; i < 4000; ++i)
        if ((s[i - 1] < 0) != (s[i] < 0)) ++crossings;
    for (int i = 0; i < 4000; ++i) loud += std::abs(s[i]);
    for (int i = 4800; i < 8000; ++i) quiet = std::max<double>(quiet, std::abs(s[i]));
    EXPECT_NEAR(crossings, 441, 2);
    EXPECT_GT(loud / 4000, 5000);
    EXPECT_EQ(quiet, 0);
}

TEST(Buzzer, AWavFileThatCannotBeWrittenIsRefusedWithTheScenario) {
    const std::string m = refusal("devices:\n  - {type: buzzer, wav: /nonexistent/dir/x.wav}\n", "bz.yaml");
    EXPECT_EQ(m.rfind("bz.yaml: devices[0].wav: cannot write the sound file: ", 0), 0u) << m;
    EXPECT_NE(m.find("'/nonexistent/dir/x.wav'"), std::string::npos) << m;

    // A scenario refused after the buzzer was wired leaves an earlier
    // recording of that name as it was, and nothing beside it.
    const std::string dir = pikit::test::temp_dir();
    const std::string path = pikit::test::write_file(dir, "melody.wav", "an earlier recording");
    refusal("devices:\n  - {type: buzzer, wav: " + path + "}\n  - {type: buzzer, name: b2, volume: 11}\n", "bz.yaml");
    EXPECT_EQ(pikit::test::read_file(path), "an earlier recording");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 1);
}

// The sound is a file of its own, like the trace and the log: every name
// that would overwrite or replace something else is refused before anything
// is written, naming the key and the value.
TEST(Buzzer, AWavThatIsNotAFileOfItsOwnIsRefusedAndNothingIsWritten) {
    namespace fs = std::filesystem;
    const std::string dir = pikit::test::temp_dir();
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string node = dir + "/node";  // a character device, as /dev/null is
    const bool have_node = mknod(node.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    const std::string old_wav = pikit::test::write_file(dir, "old.wav", "an earlier recording");
    ASSERT_EQ(symlink(old_wav.c_str(), (dir + "/alias.wav").c_str()), 0);
    auto listing = [&] {  // all but the run's own outputs
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir))
            if (e.path().filename().string().rfind("run.", 0) != 0) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };
    const std::vector<std::string> before = listing();

    Options o = exact();
    o.vcd_path = dir + "/run.vcd";
    o.log_path = dir + "/run.log";
    o.events_path = dir + "/run.jsonl";
    auto refused = [&](const std::string& devices) -> std::string {
        Board board(o);
        try {
            load_scenario_text(board, "devices:\n" + devices, "bz.yaml");
        } catch (const ScenarioError& e) {
            return e.what();
        }
        return "accepted";
    };
    auto one = [&](const std::string& wav) { return refused("  - {type: buzzer, wav: '" + wav + "'}\n"); };
    const std::string own = "; the buzzer's sound needs a file of its own '";
    EXPECT_EQ(one(dir), "bz.yaml: devices[0].wav: is a directory; the buzzer's sound needs a file name '" + dir + "'");
    EXPECT_EQ(one(fifo),
              "bz.yaml: devices[0].wav: is not a regular file (a device, a FIFO or a socket), which the "
              "buzzer's sound would replace '" +
                  fifo + "'");
    if (have_node) {
        EXPECT_EQ(one(node),
                  "bz.yaml: devices[0].wav: is not a regular file (a device, a FIFO or a socket), which "
                  "the buzzer's sound would replace '" +
                      node + "'");
    }
    EXPECT_EQ(one(dir + "/run.vcd"),
              "bz.yaml: devices[0].wav: is the same file as the trace (PIKIT_SIM_VCD)" + own + dir + "/run.vcd'");
    EXPECT_EQ(one(dir + "/run.vcd.body"),
              "bz.yaml: devices[0].wav: is the same file as the trace's working file "
              "(PIKIT_SIM_VCD)" +
                  own + dir + "/run.vcd.body'");
    EXPECT_EQ(one(dir + "/./run.log"),
              "bz.yaml: devices[0].wav: is the same file as the log (PIKIT_SIM_LOG)" + own + dir + "/./run.log'");
    EXPECT_EQ(one(dir + "/run.jsonl"),
              "bz.yaml: devices[0].wav: is the same file as the event stream "
              "(PIKIT_SIM_EVENTS)" +
                  own + dir + "/run.jsonl'");
    // Two buzzers on one file, under two names of it.
    EXPECT_EQ(refused("  - {type: buzzer, name: a, wav: '" + old_wav + "'}\n  - {type: buzzer, name: b, pin: 2, wav: '" + dir +
                      "/alias.wav'}\n"),
              "bz.yaml: devices[1].wav: is the same file as the buzzer's sound (devices[0].wav)" + own + dir + "/alias.wav'");

    EXPECT_EQ(listing(), before) << "nothing made, nothing replaced";
    EXPECT_EQ(pikit::test::read_file(old_wav), "an earlier recording");
    struct stat st {};
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    if (have_node) {
        ASSERT_EQ(lstat(node.c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
    }
}

// The name is taken with the first sample; if something has taken its place
// meanwhile, the sound is kept beside it and the run says where.
TEST(Buzzer, AWavThatCannotTakeItsNameIsKeptBesideItAndReported) {
    namespace fs = std::filesystem;
    const std::string dir = pikit::test::temp_dir();
    const std::string path = dir + "/tone.wav";
    std::string kept;
    {
        Bench b("devices:\n  - {type: buzzer, name: bz, pin: 1, sample_rate: 8000, wav: " + path + "}\n");
        fs::create_directory(path);
        ASSERT_EQ(softToneCreate(1), 0);
        softToneWrite(1, 441);
        delay(100);
        b.board.finish();
        const auto errors = b.board.reports(ReportKind::Error);
        ASSERT_EQ(errors.size(), 1u) << texts(b.board.reports());
        const std::string head = "cannot write the sound to " + path + ": ";
        EXPECT_EQ(errors[0].text.rfind(head, 0), 0u) << errors[0].text;
        const auto in = errors[0].text.find("; it is in ");
        ASSERT_NE(in, std::string::npos) << errors[0].text;
        kept = errors[0].text.substr(in + 11);
    }
    EXPECT_EQ(kept.rfind(path + ".", 0), 0u) << kept;
    SF_INFO info{};
    SNDFILE* f = sf_open(kept.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    sf_close(f);
    EXPECT_EQ(info.frames, 800) << "100 ms at 8000 Hz";
    EXPECT_TRUE(fs::is_directory(path)) << "left alone";
}

}  // namespace
