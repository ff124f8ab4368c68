// The public face of the simulated Pi: set-up, the device side and
// inspection for tests. The program's calls are in program_calls.cpp; the
// machinery behind both is mapped in board_impl.h.
#include <signal.h>

#include <algorithm>

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
    im.open_outputs();
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
    im.start_run_limit();
    im.pacing.wall_origin = wall_time();
    g_current.store(this);
    // The supervisor is the kit's, not the program's: it blocks every
    // signal, so that a signal sent to the process goes to a program thread
    // (on a Pi there is no other), and a program that blocks a signal to
    // wait for it gets it.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    im.supervisor.thread = std::thread([&im] { im.supervise(); });
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
    if (impl_->supervisor.thread.joinable()) impl_->supervisor.thread.join();
    for (auto& isr : impl_->isrs)
        if (isr->worker.joinable()) isr->worker.join();
    Board* self = this;
    g_current.compare_exchange_strong(self, nullptr);
}

std::uint64_t Board::impl_generation() const { return impl_->generation; }

void Board::thread_gone(void* rec) { impl_->thread_gone(static_cast<Impl::Thread*>(rec)); }

Device& Board::add_device(std::unique_ptr<Device> device) {
    KitSection kit;  // also made by a library call on a program thread
    std::unique_lock<std::mutex> lk(impl_->m);
    for (const auto& d : impl_->devices)
        if (d->name() == device->name()) throw std::invalid_argument("a device named '" + device->name() + "' is already wired");
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
    impl_->fast.revoke(lk);
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
    if (!impl_->is_line(pin))
        throw std::logic_error(device.label() + " drives line " + std::to_string(pin) + ", which does not exist");
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
    if (!is_header_pin(pin))
        throw std::logic_error(device.label() + " puts a resistor on line " + std::to_string(pin) +
                               ", which is not a header pin");
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
Board::EventId Board::schedule_stimulus(Time at, std::function<void()> fn) { return impl_->schedule_stimulus(at, std::move(fn)); }
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

}  // namespace pikit::sim
