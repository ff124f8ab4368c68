// A passive buzzer (a small magnetic sounder) between a pin and ground: it
// sounds at the frequency of the square wave on its line, and is silent while
// the line stays still.
//
// What it plays: on a pin with a soft tone generator, the generator's
// frequency (the pitch the program asks for; the generator's whole-microsecond
// half period makes the sound a little sharp or flat, 441 Hz comes out as
// 441.3 Hz); on a line toggled by hand or by soft PWM, the frequency measured
// from its edges.
//
// The note timeline: every stretch of one pitch the program plays, in order,
// with its start and end in virtual time. A note ends when the program sets
// silence or another pitch, even if the next note follows in the same instant
// with the same pitch (so 441, 0, 441 are two notes, though a person hears
// one long tone: a generator never sees a silence that short). Kept when the
// board keeps history (tests); a program's long run keeps nothing in memory.
//
// For people: `wav: <file>` writes what the buzzer does to a WAV file (16-bit
// mono, `sample_rate`), made from the line itself: a square wave while it
// toggles, silence while it is still, with the clicks a real sounder makes.
// It is written as the run goes, and stays a valid file if the run is
// killed. It is written beside its name and takes the name with the run's
// first sample, so a file that cannot be written is refused when the
// scenario is loaded, and so is a name that is a directory, the scenario
// file, a device node or FIFO (it would be replaced), or the same file as
// the trace, the log, the event stream or another buzzer's sound. If the
// name cannot be taken after all, an error report says where the sound is.
//
// Settings: `pin` (default 1), `wav` (none), `sample_rate` (44100 Hz,
// 8000 to 192000).
//
// Shows:
//   frequency  the pitch sounding now, in Hz; 0 when silent
//   note       the nearest note of the equal-tempered scale with A4 = 440 Hz
//              ("A4", "C#5"), or "silence"
// Every change is shown, also a silence of no length between two notes (441,
// 0, 441 at one instant), which a person does not hear: the event stream
// then tells each note the program plays, as the timeline does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/device.h"
#include "core/timers.h"

namespace pikit::sim {

class Buzzer final : public Device {
public:
    struct Settings {
        int pin = 1;
        std::string wav;  // empty: none
        int sample_rate = 44100;
    };
    struct Note {
        Time start;
        Time end;  // kNever while it sounds
        int frequency;
    };

    class Wav;

    Buzzer(std::string name, Settings settings, std::unique_ptr<Wav> wav = nullptr);
    ~Buzzer() override;

    void attach(Board& board) override;
    void on_edge(int pin, Level level) override;
    void on_waveform(int pin) override;
    void finish() override;

    // ---- inspection (tests) ----
    const Settings& settings() const { return settings_; }
    int frequency() const { return frequency_; }
    const std::vector<Note>& timeline() const { return timeline_; }
    // Nearest note name of a frequency ("A4"), "silence" for 0.
    static std::string note_name(int frequency);

private:
    void set_frequency(int hz);
    void show(int hz);

    Settings settings_;
    std::unique_ptr<Wav> wav_;
    LineMeter meter_;
    int frequency_ = 0;
    std::vector<Note> timeline_;
};

}  // namespace pikit::sim
