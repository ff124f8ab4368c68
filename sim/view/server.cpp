// The live view's HTTP server: the page, the event stream as Server-Sent
// Events, the snapshot, inputs, the saved scenario; and who may use them.
#include <arpa/inet.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <httplib.h>
#include <stdexcept>
#include <thread>

#include "core/config.h"
#include "core/scenario.h"
#include "view/feed.h"
#include "view/inputs.h"
#include "view/page.h"
#include "view/saved_scenario.h"
#include "view/snapshot.h"
#include "view/view.h"

namespace pikit::sim::view {

namespace {

using Clock = std::chrono::steady_clock;

// Pages open at once: each holds one of the server's threads while open.
constexpr int kMaxPages = 4;
// A page is sent what happened at most this often: at real time, a click
// shows well within what a person notices; in a run at full speed, the
// changes of each interval go out together.
constexpr std::chrono::milliseconds kSendInterval{15};
// A page further behind than this many lines is sent a fresh snapshot
// instead (a run at full speed makes changes faster than a page can draw)...
constexpr std::uint64_t kMaxBacklog = 1000;
// ...at most this often.
constexpr std::chrono::milliseconds kResyncInterval{200};
// The clock and the header's pins are looked at this often while a page is open.
constexpr std::chrono::milliseconds kSampleInterval{40};
constexpr std::chrono::seconds kKeepAlive{10};
constexpr std::size_t kMaxBody = 64 * 1024;

// Starts a thread that takes no signal: a signal sent to the process must
// reach a program thread, as on a Pi, where there is no other.
std::thread quiet_thread(std::function<void()> body) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    std::thread t(std::move(body));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return t;
}

bool wildcard(const std::string& host) { return host == "0.0.0.0" || host == "::"; }

bool ip_literal(const std::string& host) {
    in_addr v4{};
    in6_addr v6{};
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &v6) == 1;
    return inet_pton(AF_INET, host.c_str(), &v4) == 1;
}

void json_reply(httplib::Response& res, int status, const nlohmann::json& body) {
    res.status = status;
    res.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), "application/json");
}

}  // namespace

struct View::Impl {
    ViewAddress where;
    std::string scenario_name;
    std::string scenario_text;
    nlohmann::json settings;
    Feed feed;
    Inputs inputs;
    httplib::Server server;
    Board* board = nullptr;
    int port = 0;
    bool bound = false;
    std::atomic<bool> stopping{false};
    std::thread listener_thread;
    std::thread sampler_thread;

    // The last look at the clock and the header, for the pages.
    std::mutex sample_m;
    std::condition_variable sample_cv;
    std::string sample;  // "event: pins" data
    std::uint64_t sample_version = 0;

    Impl(const ViewAddress& w, std::string name, std::string text)
        : where(w), scenario_name(std::move(name)), scenario_text(std::move(text)), settings(scenario_devices(scenario_text)) {}

    std::string host_part() const { return where.host.find(':') != std::string::npos ? "[" + where.host + "]" : where.host; }

    // DNS rebinding: a page of another site whose name was pointed at this
    // machine sends its own name as Host. Only this view's own address, or
    // localhost, with this port; any IP address when bound to all of them
    // (an address is never a name someone else controls).
    bool host_allowed(const std::string& host) const {
        const std::string suffix = ":" + std::to_string(port);
        if (host.size() <= suffix.size() || host.compare(host.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
        const std::string name = host.substr(0, host.size() - suffix.size());
        if (name == "localhost" || name == host_part()) return true;
        return wildcard(where.host) && ip_literal(name);
    }

    std::string snapshot(bool coalesced, std::uint64_t& seq) {
        Feed::Cut cut;
        const BoardSnapshot b = board->snapshot([&] { cut = feed.cut(); });
        seq = cut.seq;
        return snapshot_json(b, cut, settings, inputs.count(), coalesced);
    }

    void routes();
    // Answers only to its own address, and takes inputs from its own page only.
    void guard();
    void stream(httplib::Response& res);
    void pace(const httplib::Request& req, httplib::Response& res);
    void input(const httplib::Request& req, httplib::Response& res);
    void sample_loop();
};

View::View(const ViewAddress& where, std::string scenario_name, std::string scenario_text)
    : impl_(std::make_unique<Impl>(where, std::move(scenario_name), std::move(scenario_text))) {}

View::~View() { stop(); }

bool View::available() { return true; }

EventListener* View::listener() { return &impl_->feed; }

int View::port() const { return impl_->port; }

std::string View::url() const { return "http://" + impl_->host_part() + ":" + std::to_string(impl_->port) + "/"; }

void View::bind() {
    Impl& im = *impl_;
    // Only SO_REUSEADDR (a port just left by an earlier run can be taken
    // again), not the library's default SO_REUSEPORT, with which two runs
    // could both listen on one port and share its requests.
    im.server.set_socket_options([](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    if (im.where.host.find(':') != std::string::npos) im.server.set_address_family(AF_INET6);
    else im.server.set_address_family(AF_INET);
    errno = 0;
    if (im.where.port == 0) {
        im.port = im.server.bind_to_any_port(im.where.host);
        if (im.port <= 0)
            throw std::runtime_error(std::string("cannot listen on ") + im.where.host + ": " +
                                     (errno ? std::strerror(errno) : "no free port"));
    } else {
        if (!im.server.bind_to_port(im.where.host, im.where.port))
            throw std::runtime_error("cannot listen on " + im.host_part() + ":" + std::to_string(im.where.port) + ": " +
                                     (errno ? std::strerror(errno) : "refused"));
        im.port = im.where.port;
    }
    im.bound = true;
}

void View::serve(Board& board) {
    Impl& im = *impl_;
    if (!im.bound) bind();
    im.board = &board;
    im.routes();
    im.listener_thread = quiet_thread([&im] { im.server.listen_after_bind(); });
    im.sampler_thread = quiet_thread([&im] { im.sample_loop(); });
}

void View::stop() {
    Impl& im = *impl_;
    if (im.stopping.exchange(true)) return;
    im.feed.wake_all();
    {
        std::lock_guard<std::mutex> g(im.sample_m);
        im.sample_cv.notify_all();
    }
    if (im.bound) im.server.stop();
    if (im.listener_thread.joinable()) im.listener_thread.join();
    if (im.sampler_thread.joinable()) im.sampler_thread.join();
}

void View::Impl::sample_loop() {
    std::string last;
    while (!stopping.load()) {
        // Only while a page is open, and not once the run is over.
        if (feed.subscribers() > 0 && !feed.ended()) {
            const BoardSnapshot b = board->snapshot();
            nlohmann::json s{{"t_ns", b.now}, {"running", b.running}, {"pace", pace_name(b)}, {"pins", json_of_pins(b.pins)}};
            std::string text = s.dump();
            std::lock_guard<std::mutex> g(sample_m);
            if (text != sample) {
                sample = std::move(text);
                ++sample_version;
            }
        }
        std::unique_lock<std::mutex> lk(sample_m);
        sample_cv.wait_for(lk, kSampleInterval, [&] { return stopping.load(); });
    }
}

void View::Impl::stream(httplib::Response& res) {
    struct Page {
        int id = 0;
        bool started = false;
        std::uint64_t seq = 0;
        std::uint64_t sample_sent = 0;
        Clock::time_point last_write = Clock::now();
        Clock::time_point last_snapshot{};
    };
    auto page = std::make_shared<Page>();
    page->id = feed.subscribe();
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, page](std::size_t, httplib::DataSink& sink) {
            if (stopping.load()) return false;
            std::string out;
            if (!page->started) {
                page->started = true;
                out = "retry: 1000\nevent: snapshot\ndata: " + snapshot(false, page->seq) + "\n\n";
                page->last_snapshot = Clock::now();
            } else {
                feed.wait_for_more(page->seq, kSendInterval, stopping);
                if (stopping.load()) return false;
                std::vector<std::string> lines;
                std::uint64_t last = page->seq;
                const bool in_window = feed.read_after(page->seq, kMaxBacklog, lines, last);
                const bool behind = !in_window || feed.seq() - last > kMaxBacklog;
                if (behind && !feed.ended()) {
                    // Coalesced: the whole board as it is now, at most every
                    // kResyncInterval, instead of every change.
                    if (Clock::now() - page->last_snapshot >= kResyncInterval) {
                        out = "event: snapshot\ndata: " + snapshot(true, page->seq) + "\n\n";
                        page->last_snapshot = Clock::now();
                    }
                } else if (!in_window) {
                    out = "event: snapshot\ndata: " + snapshot(true, page->seq) + "\n\n";
                } else {
                    for (const auto& l : lines) out += "data: " + l + "\n\n";
                    page->seq = last;
                }
            }
            {
                std::lock_guard<std::mutex> g(sample_m);
                if (sample_version != page->sample_sent && !sample.empty()) {
                    out += "event: pins\ndata: " + sample + "\n\n";
                    page->sample_sent = sample_version;
                }
            }
            if (out.empty() && Clock::now() - page->last_write >= kKeepAlive) out = ": still here\n\n";
            if (!out.empty()) {
                if (!sink.write(out.data(), out.size())) return false;
                page->last_write = Clock::now();
                feed.sent(page->id, page->seq);
            }
            return true;
        },
        [this, page](bool) { feed.unsubscribe(page->id); });
}

void View::Impl::guard() {
    server.set_payload_max_length(kMaxBody);
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    server.set_tcp_nodelay(true);
    server.set_default_headers({
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"Content-Security-Policy",
         "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; base-uri 'none'; form-action 'none'"},
    });
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        const std::string host = req.get_header_value("Host");
        if (!host_allowed(host)) {
            res.status = 403;
            res.set_content("403: this view answers to its own address only, not to Host '" + host + "'\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        // Another site open in the person's browser must not press keys:
        // its requests carry its own origin.
        if (req.method == "POST" && req.has_header("Origin") && req.get_header_value("Origin") != "http://" + host) {
            res.status = 403;
            res.set_content(
                "403: inputs are taken from this view's own page only, not from '" + req.get_header_value("Origin") + "'\n",
                "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
}

void View::Impl::routes() {
    guard();
    for (const Asset& a : page_assets())
        server.Get(a.path, [a](const httplib::Request&, httplib::Response& res) {
            res.set_content(a.data, a.size, a.type);
            res.set_header("Cache-Control", "no-cache");
        });
    server.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
        if (feed.subscribers() >= kMaxPages) {
            json_reply(res, 503, {{"error", "too many pages open on this view (at most " + std::to_string(kMaxPages) + ")"}});
            return;
        }
        stream(res);
    });
    server.Get("/snapshot", [this](const httplib::Request&, httplib::Response& res) {
        std::uint64_t seq = 0;
        res.set_content(snapshot(false, seq), "application/json");
        res.set_header("Cache-Control", "no-store");
    });
    server.Get("/devices",
               [this](const httplib::Request&, httplib::Response& res) { res.set_content(settings.dump(), "application/json"); });
    server.Get("/scenario", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(with_stimuli(scenario_text, inputs.stimuli()), "application/yaml; charset=utf-8");
        res.set_header("Cache-Control", "no-store");
    });
    server.Post("/pace", [this](const httplib::Request& req, httplib::Response& res) { pace(req, res); });
    server.Post("/input", [this](const httplib::Request& req, httplib::Response& res) { input(req, res); });
}

// {"speed": "pause" | "realtime" | "max" | factor}
void View::Impl::pace(const httplib::Request& req, httplib::Response& res) {
    nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
    const nlohmann::json speed = body.is_object() && body.contains("speed") ? body["speed"] : nlohmann::json();
    std::string s = speed.is_string() ? speed.get<std::string>() : speed.is_number() ? speed.dump() : "";
    const std::optional<double> factor = parse_decimal(s);
    if (s == "pause") board->set_pace(Speed::Max, 1.0, true);
    else if (s == "max") board->set_pace(Speed::Max);
    else if (s == "realtime") board->set_pace(Speed::Realtime);
    else if (factor && *factor >= kMinSpeedFactor && *factor <= kMaxSpeedFactor && s.find_first_of("eE") == std::string::npos)
        board->set_pace(Speed::Factor, *factor);
    else {
        json_reply(res, 400,
                   {{"error",
                     "pace: expected {\"speed\": \"pause\", \"realtime\", \"max\" or a factor from 0.001 to "
                     "1000000000}, not " +
                         (body.is_discarded() ? std::string("that") : body.dump())}});
        return;
    }
    json_reply(res, 200, {{"speed", s}});
}

// One of the person's inputs, through the models' declared actions.
void View::Impl::input(const httplib::Request& req, httplib::Response& res) {
    nlohmann::ordered_json input;  // the person's order of settings, kept in the saved scenario
    try {
        input = nlohmann::ordered_json::parse(req.body);
    } catch (const nlohmann::ordered_json::exception& e) {
        json_reply(res, 400, {{"error", std::string("input: not JSON: ") + e.what()}});
        return;
    }
    try {
        const std::optional<Time> at = inputs.apply(*board, input);
        if (!at) {
            json_reply(res, 409, {{"error", "the run is over: nothing can happen any more"}});
            return;
        }
        json_reply(res, 200, {{"at_ns", *at}, {"inputs", inputs.count()}});
    } catch (const InputError& e) {
        json_reply(res, 400, {{"error", e.what()}});
    }
}

}  // namespace pikit::sim::view
