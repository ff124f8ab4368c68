// The buzzer: the notes a soft tone generator plays, the pitch of a line
// toggled by hand, and the WAV file of what the line did.
#include <sndfile.h>

#include <softTone.h>
#include <wiringPi.h>

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

}  // namespace
