#include "devices/buzzer.h"

#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "core/board.h"
#include "core/model.h"

namespace pikit::sim {

// The sound of the line, as a WAV file written while the run goes on. The
// line's level (0 or 1) goes through a first-order high-pass filter at 20 Hz,
// the way a sounder's membrane only answers to changes: a toggling line is a
// square wave around zero, a still line fades to silence, and every start
// and stop is the click it is on a real buzzer.
class Buzzer::Wav {
public:
    // The sound goes to a new file beside `path` first, which takes the
    // name once the run makes its first sample: a scenario refused while it
    // is still being wired (a later entry's typo) leaves an earlier recording
    // of that name as it was.
    static std::unique_ptr<Wav> open(const std::string& path, int rate, std::string& error) {
        std::string temp = path + ".XXXXXX";
        const int fd = mkstemp(temp.data());
        if (fd < 0) {
            error = std::strerror(errno);
            return nullptr;
        }
        const mode_t mask = umask(0);  // as any new file: 0666 less the umask
        umask(mask);
        fchmod(fd, 0666 & ~mask);
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
        if (!f) {
            error = sf_strerror(nullptr);
            ::close(fd);
            unlink(temp.c_str());
            return nullptr;
        }
        // The header is kept up to date after each block, so a run that is
        // killed still leaves a file that plays.
        sf_command(f, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
        return std::unique_ptr<Wav>(new Wav(f, rate, path, temp));
    }

    ~Wav() { close(); }

    // Told once if the file cannot take its name; the sound then stays in
    // the file beside it, whose name it gives.
    std::function<void(const std::string&)> on_error;

    // The line went to `level` at virtual time `at`.
    void edge(Time at, Level level) {
        render(at);
        x_ = is_high(level) ? 1.0 : 0.0;
    }

    // Everything up to `t` is rendered and on disk.
    void close_at(Time t) {
        render(t);
        close();
    }

private:
    Wav(SNDFILE* f, int rate, std::string path, std::string temp)
        : file_(f), rate_(rate), path_(std::move(path)), temp_(std::move(temp)) {
        const double pi = 3.14159265358979323846;
        const double rc = 1.0 / (2.0 * pi * 20.0), dt = 1.0 / rate;
        a_ = rc / (rc + dt);
        buffer_.reserve(kBlock);
    }

    static constexpr std::size_t kBlock = 4096;

    // Samples up to (not including) the one at or after `t`.
    void render(Time t) {
        if (!file_) return;
        const std::int64_t end = (t / 1000000000) * rate_ + (t % 1000000000) * rate_ / 1000000000;
        if (end > next_ && !temp_.empty() && !kept_) {
            if (std::rename(temp_.c_str(), path_.c_str()) == 0) {
                temp_.clear();
            } else {
                const std::string why = std::strerror(errno);
                kept_ = true;
                if (on_error) on_error("cannot write the sound to " + path_ + ": " + why + "; it is in " + temp_);
            }
        }
        for (; next_ < end; ++next_) {
            y_ = a_ * (y_ + x_ - x_prev_);
            x_prev_ = x_;
            const double v = std::clamp(y_ * 0.5, -1.0, 1.0) * 32767.0;
            buffer_.push_back(static_cast<short>(std::lround(v)));
            if (buffer_.size() == kBlock) write();
        }
    }

    void write() {
        if (file_ && !buffer_.empty()) sf_write_short(file_, buffer_.data(), static_cast<sf_count_t>(buffer_.size()));
        buffer_.clear();
    }

    void close() {
        write();
        if (file_) sf_close(file_);
        file_ = nullptr;
        if (!temp_.empty() && !kept_) unlink(temp_.c_str());  // no run, no sound
        temp_.clear();
    }

    SNDFILE* file_;
    int rate_;
    std::string path_;
    std::string temp_;   // while the file has not taken its name yet
    bool kept_ = false;  // the name could not be taken: the sound stays in temp_
    double a_ = 0;
    double x_ = 0, x_prev_ = 0, y_ = 0;
    std::int64_t next_ = 0;  // index of the next sample
    std::vector<short> buffer_;
};

Buzzer::Buzzer(std::string name, Settings settings, std::unique_ptr<Wav> wav)
    : Device("buzzer", std::move(name)), settings_(std::move(settings)), wav_(std::move(wav)) {}

Buzzer::~Buzzer() = default;

std::string Buzzer::note_name(int frequency) {
    if (frequency <= 0) return "silence";
    static const char* const names[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    const long n = std::lround(12.0 * std::log2(frequency / 440.0)) + 69;  // MIDI note number
    const long octave = (n >= 0 ? n / 12 : (n - 11) / 12) - 1;
    return std::string(names[((n % 12) + 12) % 12]) + std::to_string(octave);
}

void Buzzer::attach(Board& board) {
    // The sounder is a load on the line, nothing more.
    board.attach(*this, settings_.pin, PinRole::Input);
    meter_.bind(board, settings_.pin, [this] {
        if (this->board()->waveform(settings_.pin).kind != Waveform::Kind::Tone)
            set_frequency(meter_.steady() ? 0 : static_cast<int>(std::lround(meter_.frequency())));
    });
    if (wav_) {
        wav_->on_error = [this](const std::string& text) { this->board()->report(*this, ReportKind::Error, text); };
        wav_->edge(board.now(), board.level(settings_.pin));
    }
    show(0);
}

void Buzzer::on_edge(int pin, Level level) {
    if (pin != settings_.pin) return;
    if (wav_) wav_->edge(board()->now(), level);
    meter_.edge(level);
}

void Buzzer::on_waveform(int pin) {
    if (pin != settings_.pin) return;
    meter_.waveform_changed();
    const Waveform& w = board()->waveform(pin);
    if (w.kind == Waveform::Kind::Tone) set_frequency(w.freq);
    else set_frequency(meter_.steady() ? 0 : static_cast<int>(std::lround(meter_.frequency())));
}

void Buzzer::set_frequency(int hz) {
    if (hz == frequency_) return;
    const Time now = board()->now();
    if (board()->options().record_history) {
        if (frequency_ > 0 && !timeline_.empty()) timeline_.back().end = now;
        if (hz > 0) timeline_.push_back({now, kNever, hz});
    }
    frequency_ = hz;
    show(hz);
}

void Buzzer::show(int hz) {
    // The board passes on changes only.
    board()->show(*this, "frequency", hz);
    board()->show(*this, "note", note_name(hz));
}

void Buzzer::finish() {
    if (wav_) wav_->close_at(board()->now());
}

namespace {

using S = Buzzer::Settings;

std::unique_ptr<Buzzer> make_buzzer(const std::string& name, const S& s, const Config& c) {
    std::unique_ptr<Buzzer::Wav> wav;
    if (!s.wav.empty()) {
        std::string error;
        wav = Buzzer::Wav::open(s.wav, s.sample_rate, error);
        if (!wav) c.fail("wav", "cannot write the sound file: " + error);
    }
    return std::make_unique<Buzzer>(name, s, std::move(wav));
}

const DeviceRegistrar registrar{
    ModelOf<Buzzer, S>(
        "buzzer", "passive buzzer between a pin and ground: sounds at the frequency of its line",
        Fields<S>()
            .pin("pin", &S::pin, "the buzzer's line")
            .file("wav", &S::wav, "the buzzer's sound", "a WAV file of what it plays (16-bit mono), written as the run goes")
            .integer("sample_rate", &S::sample_rate, 8000, 192000, "samples per second of the WAV file")
            .unit("Hz"),
        make_buzzer)
        .shows("frequency", ShownType::Integer, "the pitch sounding now, in Hz; 0 when silent")
        .shows("note", ShownType::Text, "the nearest note of the scale with A4 = 440 Hz (\"A4\", \"C#5\"), or \"silence\"")};

}  // namespace

}  // namespace pikit::sim
