// The public face of the simulated Pi: set-up, the device side, inspection
// for tests, and the calls the simulated libraries make. The machinery is in
// lines.cpp (electrical state) and clock.cpp (virtual time and threads).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "board_impl.h"

namespace pikit::sim {

Board* Board::current() { return g_current.load(); }

Board::Board(Options options) : options_(std::move(options)), impl_(std::make_unique<Impl>(*this)) {
    Impl& im = *impl_;
    im.generation = ++g_generation;
    for (int pin = 0; pin < kPins; ++pin) {
        Impl::Pin& p = im.pins[pin];
        // BCM2835 power-on pulls: GPIO 0-8 pulled up, 9-27 pulled down.
        int bcm = bcm_of(pin);
        p.internal = bcm < 0 ? Pull::None : (bcm <= 8 ? Pull::Up : Pull::Down);
        // The Pi board's own 1.8 kOhm pull-ups on the I2C pins.
        if (pin == 8 || pin == 9) p.external = Pull::Up;
        Pull pull = p.external != Pull::None ? p.external : p.internal;
        p.level = pull == Pull::Up ? Level::High : Level::Low;
        p.floating = pull == Pull::None;
        if (options_.record_history) p.history.push_back({0, p.level, p.floating});
    }
    if (!options_.vcd_path.empty()) {
        im.vcd = std::make_unique<VcdWriter>(options_.vcd_path);
        if (!im.vcd->ok()) throw OptionError("vcd_path", options_.vcd_path, "cannot write the trace: " + im.vcd->error());
        for (int pin = 0; pin < kPins; ++pin) {
            const Impl::Pin& p = im.pins[pin];
            im.vcd->initial(pin, p.floating ? 'z' : (is_high(p.level) ? '1' : '0'));
        }
    }
    if (!options_.log_path.empty()) {
        im.log = std::make_unique<LogWriter>(options_.log_path);
        if (!im.log->ok()) throw OptionError("log_path", options_.log_path, "cannot write the log: " + im.log->error());
    }
    if (!options_.events_path.empty() || !options_.event_listeners.empty()) {
        im.event_stream = std::make_unique<EventWriter>(options_.events_path, options_.event_listeners);
        if (!options_.events_path.empty() && !im.event_stream->ok())
            throw OptionError("events_path", options_.events_path, "cannot write the event stream: " + im.event_stream->error());
        const char* speed = options_.speed == Speed::Max ? "max" : options_.speed == Speed::Realtime ? "realtime" : "factor";
        std::string f = ",\"program\":" + json_string(options_.program) + ",\"scenario\":" + json_string(options_.scenario) +
                        ",\"speed\":\"" + speed + "\"";
        if (options_.speed == Speed::Factor) f += ",\"speed_factor\":" + Shown(options_.speed_factor).json();
        f += ",\"until_ns\":" + (options_.until == kNever ? std::string("null") : std::to_string(options_.until));
        f += ",\"pin_call_cost_ns\":" + std::to_string(options_.pin_call_cost);
        im.event_stream->write(0, "start", f);
    }
    im.state_dir = options_.state_dir;
    if (options_.start_date) {
        start_date_ = *options_.start_date;
    } else {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        start_date_ = static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    }
    im.start_held = options_.hold_until_started;
    // The thread that builds the board holds the clock, as a program's main
    // thread does from its first instruction.
    Impl::Thread* main = im.self();
    main->name = "main";
    main->st = Impl::St::Holder;
    im.holder = main;
    if (options_.until != kNever) im.schedule(options_.until, [&im] { im.run_limit(); });
    im.wall_origin = wall_time();
    g_current.store(this);
    // The supervisor is the kit's, not the program's: it blocks every
    // signal, so that a signal sent to the process goes to a program thread
    // (on a Pi there is no other), and a program that blocks a signal to
    // wait for it gets it.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    im.supervisor = std::thread([&im] { im.supervise(); });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

Board::~Board() {
    finish();
    {
        // Devices go first, while the board they may still call (a timer
        // cancelling its event) is whole.
        std::unique_lock<std::mutex> lk(impl_->m);
        impl_->devices.clear();
    }
    if (impl_->supervisor.joinable()) impl_->supervisor.join();
    for (auto& isr : impl_->isrs)
        if (isr->worker.joinable()) isr->worker.join();
    Board* self = this;
    g_current.compare_exchange_strong(self, nullptr);
}

std::uint64_t Board::impl_generation() const { return impl_->generation; }

void Board::thread_gone(void* rec) { impl_->thread_gone(static_cast<Impl::Thread*>(rec)); }

void Board::finish(bool release_threads, const char* reason) {
    {
        std::unique_lock<std::mutex> lk(impl_->m);
        if (impl_->finished) return;
        // A program that took the run limit's SIGTERM itself and then dies
        // of it (raising it again) ends the run the limit began.
        if (impl_->limit_reached && std::strcmp(reason, "SIGTERM") == 0) reason = "run limit";
        impl_->frozen = false;
        impl_->revoke_fast();
        impl_->release_on_finish = release_threads;
        impl_->finish_devices();
        impl_->finished = true;
        impl_->close_outputs(reason);
        for (auto& t : impl_->threads) impl_->unpark(t.get());
        impl_->supervisor_cv.notify_all();
    }
    if (impl_->supervisor.joinable() && impl_->supervisor.get_id() != std::this_thread::get_id())
        impl_->supervisor.join();
}

void Board::end_from_outside(const char* reason) {
    {
        std::unique_lock<std::mutex> lk(impl_->m);
        impl_->calls_held = true;
    }
    finish(false, reason);
}

Device& Board::add_device(std::unique_ptr<Device> device) {
    KitSection kit;  // also made by a library call on a program thread
    std::unique_lock<std::mutex> lk(impl_->m);
    for (const auto& d : impl_->devices)
        if (d->name() == device->name())
            throw std::invalid_argument("a device named '" + device->name() + "' is already wired");
    Device& ref = *device;
    ref.board_ = this;
    impl_->devices.push_back(std::move(device));
    try {
        ref.attach(*this);
    } catch (...) {
        for (auto& p : impl_->pins) {
            auto& a = p.attached;
            a.erase(std::remove_if(a.begin(), a.end(), [&](const Impl::Attachment& x) { return x.dev == &ref; }), a.end());
        }
        impl_->devices.pop_back();
        throw;
    }
    return ref;
}

Device* Board::find(const std::string& name) const {
    for (const auto& d : impl_->devices)
        if (d->name() == name) return d.get();
    return nullptr;
}

void Board::set_external_pull(int pin, Pull pull) {
    std::unique_lock<std::mutex> lk(impl_->m);
    if (!is_header_pin(pin)) throw std::invalid_argument("pin " + std::to_string(pin) + " is not on the header");
    impl_->pins[pin].external = pull;
    impl_->use_pin(pin);
    impl_->resolve(pin);
}

void Board::started() {
    std::unique_lock<std::mutex> lk(impl_->m);
    impl_->start_held = false;
    impl_->rewatch_holder = true;
}

void Board::set_pin_call_cost(Time cost) {
    std::unique_lock<std::mutex> lk(impl_->m);
    impl_->revoke_fast();
    options_.pin_call_cost = cost;
}

// ---- device side ----

void Board::attach(Device& device, int pin, PinRole role) {
    if (!impl_->is_line(pin))
        throw std::invalid_argument(device.label() + ": pin " + std::to_string(pin) + " is not a wiringPi pin of the header");
    Impl::Pin& p = impl_->pins[pin];
    if (role == PinRole::PushPull)
        for (const auto& a : p.attached)
            if (a.role == PinRole::PushPull)
                throw std::invalid_argument((pin < kPins ? "pin " + std::to_string(pin) : "net " + impl_->line_name(pin)) +
                                            " would be driven push-pull by both " + a.dev->label() + " and " + device.label());
    for (auto& a : p.attached)
        if (a.dev == &device) {
            // A part that listens to a line it drives itself (a shift register
            // fed from its own last output: a ring counter) is one connection,
            // with the role that drives: it sees each edge once, as any
            // connection does.
            if (static_cast<int>(role) > static_cast<int>(a.role)) a.role = role;
            return;
        }
    p.attached.push_back({&device, role, Drive::Release});
    impl_->use_pin(pin);
}

void Board::drive(Device& device, int pin, Drive d) {
    if (!impl_->is_line(pin)) throw std::logic_error(device.label() + " drives line " + std::to_string(pin) + ", which does not exist");
    Impl::Pin& p = impl_->pins[pin];
    for (auto& a : p.attached) {
        if (a.dev != &device) continue;
        if (a.role == PinRole::Input && d != Drive::Release)
            throw std::logic_error(device.label() + " drives " + pin_name(pin) + ", attached as an input");
        if (a.role == PinRole::OpenDrain && d == Drive::High)
            throw std::logic_error(device.label() + " drives " + pin_name(pin) + " HIGH, attached open-drain");
        if (a.drive == d) return;
        a.drive = d;
        impl_->resolve(pin);
        return;
    }
    throw std::logic_error(device.label() + " drives " + pin_name(pin) + ", which it is not attached to");
}

void Board::pull(Device& device, int pin, Pull pull) {
    if (!is_header_pin(pin)) throw std::logic_error(device.label() + " puts a resistor on line " + std::to_string(pin) + ", which is not a header pin");
    Impl::Pin& p = impl_->pins[pin];
    p.external = pull;
    impl_->use_pin(pin);
    impl_->resolve(pin);
}

Level Board::level(int pin) const { return impl_->is_line(pin) ? impl_->pins[pin].level : Level::Low; }
bool Board::floating(int pin) const { return impl_->is_line(pin) && impl_->pins[pin].floating; }
bool Board::master_output(int pin) const { return is_header_pin(pin) && impl_->pins[pin].mode == kModeOutput; }
Level Board::master_latch(int pin) const { return is_header_pin(pin) ? impl_->pins[pin].latch : Level::Low; }

Board::EventId Board::schedule(Time at, std::function<void()> fn) { return impl_->schedule(at, std::move(fn)); }
void Board::limit_now() {
    Impl* im = impl_.get();
    im->schedule(now(), [im] { im->run_limit(); });
}
Board::EventId Board::schedule_stimulus(Time at, std::function<void()> fn) {
    return impl_->schedule_stimulus(at, std::move(fn));
}
void Board::reserve_stimuli() {
    std::lock_guard<std::mutex> g(impl_->m);
    impl_->reserve_stimuli();
}
void Board::cancel(EventId id) { impl_->cancel(id); }

const Waveform& Board::waveform(int pin) const {
    static const Waveform none{};
    return is_header_pin(pin) ? impl_->pins[pin].wave : none;
}

void Board::report(const Device& from, ReportKind kind, const std::string& text) {
    impl_->add_report(kind, from.label(), text, &from);
}

namespace {
// Whether files can be made in `dir`: it is created if need be, and a
// scratch file made in it (permission bits alone say nothing to root, nor
// about a read-only file system). The scratch file has no name, so a kill
// at any moment leaves nothing behind; only where the file system cannot
// make one is a named file made and removed, and one that an earlier killed
// run left is removed first.
std::string unusable_dir(const std::filesystem::path& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!std::filesystem::is_directory(dir, ec)) return ec ? ec.message() : "not a directory";
    int fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
        return "";
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return std::strerror(errno);
    const std::string prefix = ".pikit-probe-";
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        if (e.path().filename().string().rfind(prefix, 0) == 0) std::filesystem::remove(e.path(), ec);
    std::string probe = (dir / (prefix + "XXXXXX")).string();
    fd = mkstemp(probe.data());
    if (fd < 0) return std::strerror(errno);
    ::close(fd);
    ::unlink(probe.c_str());
    return "";
}
}  // namespace

void Board::show(const Device& from, const std::string& key, Shown value) {
    Impl& im = *impl_;
    auto [it, fresh] = im.shown.try_emplace({from.name(), key});
    Impl::ShownState& st = it->second;
    if (!fresh && st.value == value) return;
    im.settle_if_over();
    st.from = &from;
    st.value = std::move(value);
    if (st.unsettled) return;
    st.unsettled = true;
    im.unsettled.emplace_back(&it->first.second, &st);
    im.unsettled_at = now();
}

void Board::Impl::settle_shown() {
    const Time at = unsettled_at;
    for (auto& [key, st] : unsettled) {
        st->unsettled = false;
        if (st->ever_published && st->published == st->value) continue;  // back where it was
        const Device& from = *st->from;
        if (log) log->line(at, from.label(), *key + ": " + st->value.text());
        if (event_stream)
            event_stream->write(at, "show", ",\"device\":" + json_string(from.name()) + ",\"type\":" + json_string(from.type()) +
                                                ",\"key\":" + json_string(*key) + ",\"value\":" + st->value.json());
        if (b.options_.record_history) st->history.push_back({at, st->value});
        st->published = st->value;
        st->ever_published = true;
    }
    unsettled.clear();
}

int Board::net(const std::string& name) {
    Impl& im = *impl_;
    for (std::size_t i = 0; i < im.net_names.size(); ++i)
        if (im.net_names[i] == name) return kPins + static_cast<int>(i);
    const auto dot = name.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size())
        throw std::invalid_argument("net name '" + name + "' is not of the form <device>.<output>");
    if (kPins + static_cast<int>(im.net_names.size()) >= kLines)
        throw std::invalid_argument("too many nets (at most " + std::to_string(kLines - kPins) + ")");
    const int line = kPins + static_cast<int>(im.net_names.size());
    im.net_names.push_back(name);
    Impl::Pin& p = im.pins[line];
    // A net nobody drives yet floats; it shows as 'z' until its driver acts.
    p.level = Level::Low;
    p.floating = true;
    if (options_.record_history) p.history.push_back({now(), p.level, true});
    if (im.vcd) im.vcd->initial(line, 'z');
    return line;
}

int Board::line(const LineRef& ref) { return ref.pin >= 0 ? ref.pin : net(ref.net); }

std::filesystem::path Board::state_dir() {
    Impl& im = *impl_;
    if (im.state_dir_checked) return im.state_dir;
    const bool given = !im.state_dir.empty();
    if (!given) {
        const char* xdg = std::getenv("XDG_STATE_HOME");
        const char* home = std::getenv("HOME");
        if (xdg && *xdg) im.state_dir = std::filesystem::path(xdg) / "pikit-sim";
        else if (home && *home) im.state_dir = std::filesystem::path(home) / ".local" / "state" / "pikit-sim";
        else im.state_dir = std::filesystem::temp_directory_path() / "pikit-sim";
    }
    const std::string why = unusable_dir(im.state_dir);
    if (given && !why.empty()) throw OptionError("state_dir", im.state_dir.string(), "cannot be used as the state directory: " + why);
    im.state_dir_checked = true;
    if (why.empty()) return im.state_dir;
    std::fprintf(stderr, "pikit-sim: warning: state directory %s cannot be used (%s); state will not outlive this run\n",
                 im.state_dir.string().c_str(), why.c_str());
    im.state_dir.clear();
    return im.state_dir;
}

// ---- inspection ----

const std::vector<LineChange>& Board::history(int pin) const {
    static const std::vector<LineChange> none;
    return impl_->is_line(pin) ? impl_->pins[pin].history : none;
}

int Board::find_net(const std::string& name) const {
    std::lock_guard<std::mutex> g(impl_->m);
    for (std::size_t i = 0; i < impl_->net_names.size(); ++i)
        if (impl_->net_names[i] == name) return kPins + static_cast<int>(i);
    return -1;
}

std::string Board::line_name(int line) const { return impl_->line_name(line); }

std::optional<Shown> Board::shown(const std::string& device, const std::string& key) const {
    std::lock_guard<std::mutex> g(impl_->m);
    auto it = impl_->shown.find({device, key});
    if (it == impl_->shown.end()) return std::nullopt;
    return it->second.value;
}

std::vector<ShownChange> Board::shown_history(const std::string& device, const std::string& key) const {
    std::lock_guard<std::mutex> g(impl_->m);
    auto it = impl_->shown.find({device, key});
    if (it == impl_->shown.end()) return {};
    // The instant under way counts with the value it has so far.
    const Impl::ShownState& st = it->second;
    std::vector<ShownChange> out = st.history;
    if (st.unsettled && options_.record_history && !(st.ever_published && st.published == st.value))
        out.push_back({impl_->unsettled_at, st.value});
    return out;
}

std::vector<std::string> Board::undriven_nets() const {
    std::lock_guard<std::mutex> g(impl_->m);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < impl_->net_names.size(); ++i) {
        const auto& att = impl_->pins[kPins + i].attached;
        bool driven = std::any_of(att.begin(), att.end(), [](const Impl::Attachment& a) { return a.role != PinRole::Input; });
        if (!driven) out.push_back(impl_->net_names[i]);
    }
    return out;
}

std::vector<Report> Board::reports() const {
    std::lock_guard<std::mutex> g(impl_->m);
    return impl_->reports;
}

std::vector<Report> Board::reports(ReportKind kind) const {
    std::lock_guard<std::mutex> g(impl_->m);
    std::vector<Report> out;
    for (const auto& r : impl_->reports)
        if (r.kind == kind) out.push_back(r);
    return out;
}

std::vector<Report> Board::reports_from(const std::string& device_name) const {
    std::lock_guard<std::mutex> g(impl_->m);
    std::vector<Report> out;
    const Device* d = find(device_name);
    if (!d) return out;
    std::string label = d->label();
    for (const auto& r : impl_->reports)
        if (r.source == label) out.push_back(r);
    return out;
}

std::vector<Contention> Board::contentions() const {
    std::lock_guard<std::mutex> g(impl_->m);
    return impl_->contentions;
}

const std::vector<Call>& Board::calls() const { return impl_->calls; }

void Board::clear_records() {
    std::lock_guard<std::mutex> g(impl_->m);
    if (!impl_->unsettled.empty()) impl_->settle_shown();
    impl_->reports.clear();
    impl_->calls.clear();
    impl_->contentions.clear();
    for (int pin = 0; pin < kPins + static_cast<int>(impl_->net_names.size()); ++pin) {
        auto& p = impl_->pins[pin];
        p.contention = -1;  // a fight still going on is not listed again
        p.history.clear();
        if (options_.record_history) p.history.push_back({now(), p.level, p.floating});
    }
    for (auto& kv : impl_->shown) {
        kv.second.history.clear();
        if (options_.record_history) kv.second.history.push_back({now(), kv.second.value});
    }
}

void Board::run_until(Time t) { wait_until(t); }

// ---- program side ----

namespace {
// Holds the board lock for one library call and gives the caller the clock.
// A signal for one of the program's handlers that lands meanwhile waits until
// the lock is let go (KitSection, destroyed last).
struct CallScope {
    KitSection kit;
    Board::Impl& im;
    std::unique_lock<std::mutex> lk;
    Board::Impl::Thread* t = nullptr;
    bool live = false;
    bool nested = false;
    explicit CallScope(Board::Impl& impl) : im(impl), lk(impl.m) {
        ++t_in_call;
        im.hold_if_ending(lk);
        if (im.finished && im.release_on_finish) return;
        if (Board::Impl::nested_call()) {
            // A signal handler's call while this thread waits in another:
            // another thread may hold the clock and call without the lock.
            nested = true;
            im.revoke_fast();
            live = !im.finished;
            return;
        }
        t = im.enter(lk);
        live = !im.finished;
    }
    ~CallScope() {
        if (live && !nested && !im.finished) {
            im.advance_to(im.b.now());
            im.maybe_yield(lk, t);
            im.grant_fast(t);
        }
        --t_in_call;
    }
};

Level level_of(int value) { return value == 0 ? Level::Low : Level::High; }
Pull pull_of(int pud) { return pud == 2 ? Pull::Up : pud == 1 ? Pull::Down : Pull::None; }

// The locked paths of the pin calls. Kept out of line, so that the fast path
// in front of each is a leaf that saves no registers.

[[gnu::noinline]] void locked_pin_mode(Board::Impl& im, int pin, int mode) {
    CallScope c(im);
    if (!c.live) return;
    im.pin_call(c.lk);
    if (!im.check_pin(pin, "pinMode")) return;
    im.use_pin(pin);
    im.record(CallKind::PinMode, pin, mode);
    if (mode != kModeInput && mode != kModeOutput) {
        im.add_report(ReportKind::Error, "board", "pinMode(" + std::to_string(pin) + ", " + std::to_string(mode) +
                                                      "): only INPUT and OUTPUT are simulated; ignored");
        return;
    }
    im.pins[pin].mode = mode;
    im.resolve(pin);
}

[[gnu::noinline]] void locked_pull_control(Board::Impl& im, int pin, int pud) {
    CallScope c(im);
    if (!c.live) return;
    im.pin_call(c.lk);
    if (!im.check_pin(pin, "pullUpDnControl")) return;
    im.use_pin(pin);
    im.record(CallKind::PullControl, pin, pud);
    im.pins[pin].internal = pull_of(pud);
    im.resolve(pin);
}

[[gnu::noinline]] void locked_write(Board::Impl& im, int pin, int value) {
    CallScope c(im);
    if (!c.live) return;
    im.pin_call(c.lk);
    if (!im.check_pin(pin, "digitalWrite")) return;
    im.use_pin(pin);
    im.record(CallKind::Write, pin, value);
    im.set_latch(pin, level_of(value));
}

[[gnu::noinline]] int locked_read(Board::Impl& im, int pin) {
    CallScope c(im);
    if (!c.live) return 0;
    im.pin_call(c.lk);
    if (!im.check_pin(pin, "digitalRead")) return 0;
    im.use_pin(pin);
    int v = is_high(im.pins[pin].level) ? 1 : 0;
    im.record(CallKind::Read, pin, v);
    return v;
}
// What a fast call did when it left the pin as it is.
enum class Fast : unsigned char { NotTaken, Done, DoneSignalWaiting };

template <class Unchanged>
Fast fast_if_unchanged(Board::Impl& im, int pin, Unchanged unchanged) {
    Time end;
    if (Board::Impl::Pin* p = im.fast_begin(pin, end)) {
        if (unchanged(*p)) return im.fast_commit(end) ? Fast::DoneSignalWaiting : Fast::Done;
        Board::Impl::fast_end();
    }
    return Fast::NotTaken;
}

[[gnu::noinline]] int release_held_then(int value) {
    release_held();
    return value;
}
}  // namespace

// Each pin call first tries the fast path (clock.cpp): when the calling thread
// holds the clock and nothing is due, a call that changes nothing only costs
// its time. Anything else takes the lock.

void Board::pin_mode(int pin, int mode) {
    switch (fast_if_unchanged(*impl_, pin, [&](const Impl::Pin& p) { return p.mode == mode; })) {
        case Fast::Done: return;
        case Fast::DoneSignalWaiting: return release_held();
        case Fast::NotTaken: return locked_pin_mode(*impl_, pin, mode);
    }
}

void Board::pull_control(int pin, int pud) {
    switch (fast_if_unchanged(*impl_, pin, [&](const Impl::Pin& p) { return p.internal == pull_of(pud); })) {
        case Fast::Done: return;
        case Fast::DoneSignalWaiting: return release_held();
        case Fast::NotTaken: return locked_pull_control(*impl_, pin, pud);
    }
}

void Board::write(int pin, int value) {
    switch (fast_if_unchanged(*impl_, pin, [&](const Impl::Pin& p) { return p.latch == level_of(value); })) {
        case Fast::Done: return;
        case Fast::DoneSignalWaiting: return release_held();
        case Fast::NotTaken: return locked_write(*impl_, pin, value);
    }
}

int Board::read(int pin) {
    Time end;
    if (Impl::Pin* p = impl_->fast_begin(pin, end)) {
        const int v = is_high(p->level) ? 1 : 0;
        if (impl_->fast_commit(end)) return release_held_then(v);
        return v;
    }
    return locked_read(*impl_, pin);
}

void Board::wait_until(Time when) { impl_->wait(when, false); }

void Board::wait_for(Time duration) { impl_->wait(duration, true); }

void Board::apply(const std::function<void()>& fn, bool pin_call) {
    CallScope c(*impl_);
    if (!c.live) return;
    if (pin_call) impl_->pin_call(c.lk);
    fn();
}

void Board::give_to_peripheral(int pin) {
    if (!is_header_pin(pin)) return;
    impl_->use_pin(pin);
    impl_->pins[pin].mode = kModeInput;
    impl_->resolve(pin);
}

void Board::delay_ms(unsigned ms) {
    impl_->wait(add_time(static_cast<Time>(ms) * 1_ms, options_.sleep_overrun), true, CallKind::DelayMs,
                static_cast<int>(ms));
}

void Board::delay_us(unsigned us) {
    if (us == 0) {  // returns at once, as wiringPi's does
        KitSection kit;
        std::lock_guard<std::mutex> g(impl_->m);
        impl_->record(CallKind::DelayUs, -1, 0);
        return;
    }
    impl_->wait(add_time(static_cast<Time>(us) * 1_us, us >= 100 ? options_.sleep_overrun : 0), true,
                CallKind::DelayUs, static_cast<int>(us));
}

int Board::isr(int pin, int mode, void (*handler)()) {
    CallScope c(*impl_);
    if (!c.live) return -1;
    impl_->record(CallKind::Isr, pin, mode);
    if (options_.isr_fails) {
        impl_->add_report(ReportKind::Fault, "board", "wiringPiISR(" + std::to_string(pin) + ") fails, as the scenario asks");
        return -1;
    }
    if (!impl_->check_pin(pin, "wiringPiISR") || !handler || mode < 0 || mode > 3) return -1;
    if (impl_->isr_of[pin]) {
        impl_->add_report(ReportKind::Error, "board", "a second wiringPiISR on " + pin_name(pin) + " refused");
        return -1;
    }
    impl_->use_pin(pin);
    auto isr = std::make_unique<Impl::Isr>();
    isr->pin = pin;
    isr->mode = mode;
    isr->handler = handler;
    isr->thread = impl_->add_thread("interrupt " + pin_name(pin));
    isr->thread->st = Impl::St::Waiting;
    isr->thread->wants_edge = true;
    Impl::Isr* raw = isr.get();
    impl_->isr_of[pin] = raw;
    impl_->isrs.push_back(std::move(isr));
    Impl* im = impl_.get();
    raw->worker = std::thread([im, raw] { im->isr_loop(raw); });
    return 0;
}

int Board::pwm_create(int pin, int value, int range) {
    CallScope c(*impl_);
    if (!c.live) return -1;
    if (!impl_->check_pin(pin, "softPwmCreate")) return -1;
    Impl::Pin& p = impl_->pins[pin];
    if (p.wave.kind == Waveform::Kind::Pwm || range <= 0) return -1;
    if (options_.pwm_fails >> pin & 1u) {
        // As when wiringPi cannot start the generator's thread: the pin has
        // been driven LOW and made an output, and no pulses follow.
        impl_->add_report(ReportKind::Fault, "board", "softPwmCreate(" + std::to_string(pin) + ") fails, as the scenario asks");
        impl_->master_output_low(pin, true);
        return EAGAIN;
    }
    impl_->start_wave(pin, Waveform{Waveform::Kind::Pwm, std::clamp(value, 0, range), range, 0, now()});
    return 0;
}

void Board::pwm_write(int pin, int value) {
    CallScope c(*impl_);
    if (!c.live || !impl_->check_pin(pin, "softPwmWrite")) return;
    Impl::Pin& p = impl_->pins[pin];
    impl_->record(CallKind::PwmWrite, pin, value);
    if (p.wave.kind != Waveform::Kind::Pwm) {
        // Harmless on a Pi (the value is kept for a thread that is not
        // there); reported once per pin, as a program may write in a loop.
        if (!p.wave_error_reported)
            impl_->add_report(ReportKind::Error, "board", "softPwmWrite on " + pin_name(pin) + ", which has no soft PWM");
        p.wave_error_reported = true;
        return;
    }
    p.wave.value = std::clamp(value, 0, p.wave.range);
    p.wave.since = now();
    impl_->waveform_changed(pin);
}

void Board::pwm_stop(int pin) {
    CallScope c(*impl_);
    if (!c.live || !impl_->check_pin(pin, "softPwmStop")) return;
    if (impl_->pins[pin].wave.kind == Waveform::Kind::Pwm) impl_->stop_wave(pin);
}

int Board::tone_create(int pin) {
    CallScope c(*impl_);
    if (!c.live) return -1;
    if (!impl_->check_pin(pin, "softToneCreate")) return -1;
    Impl::Pin& p = impl_->pins[pin];
    if (p.wave.kind == Waveform::Kind::Tone) return -1;
    if (options_.tone_fails >> pin & 1u) {
        impl_->add_report(ReportKind::Fault, "board", "softToneCreate(" + std::to_string(pin) + ") fails, as the scenario asks");
        impl_->master_output_low(pin, false);
        return EAGAIN;
    }
    impl_->start_wave(pin, Waveform{Waveform::Kind::Tone, 0, 0, 0, now()});
    return 0;
}

void Board::tone_write(int pin, int freq) {
    CallScope c(*impl_);
    if (!c.live || !impl_->check_pin(pin, "softToneWrite")) return;
    Impl::Pin& p = impl_->pins[pin];
    impl_->record(CallKind::ToneWrite, pin, freq);
    if (p.wave.kind != Waveform::Kind::Tone) {
        if (!p.wave_error_reported)
            impl_->add_report(ReportKind::Error, "board", "softToneWrite on " + pin_name(pin) + ", which has no soft tone");
        p.wave_error_reported = true;
        return;
    }
    p.wave.freq = std::clamp(freq, 0, 5000);
    p.wave.since = now();
    impl_->waveform_changed(pin);
}

void Board::tone_stop(int pin) {
    CallScope c(*impl_);
    if (!c.live || !impl_->check_pin(pin, "softToneStop")) return;
    if (impl_->pins[pin].wave.kind == Waveform::Kind::Tone) impl_->stop_wave(pin);
}

}  // namespace pikit::sim
