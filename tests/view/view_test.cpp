// The live view as a page or a script uses it: over HTTP, on a board built
// here or on a program of the kit running as a process.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "core/board.h"
#include "core/config.h"
#include "core/scenario.h"
#include "live_program.h"
#include "support/run_program.h"
#include "view/feed.h"
#include "view/inputs.h"
#include "view/saved_scenario.h"
#include "view/view.h"

namespace {

using namespace pikit::sim;
using namespace pikit::sim::view;
using nlohmann::json;
using pikit::test::LiveProgram;
using pikit::test::read_file;
using pikit::test::run_program;
using pikit::test::temp_dir;
using pikit::test::write_file;

// ---------------------------------------------------------------- the saved scenario

TEST(SavedScenario, InputsFollowTheScenariosOwnStimuliAndTheRestIsKept) {
    const std::vector<std::string> played{"{at: 5000000001ns, device: keypad, action: press, key: 7}",
                                          "{at: 5000000001ns, device: keypad, action: press, key: 8}"};
    struct Case {
        const char* what;
        std::string text;
        std::vector<std::string> own;  // the scenario's own stimuli's `at`, in order
    };
    const std::string devices = "devices:\n  - {type: bc7278, name: keypad}\n";
    const std::vector<Case> cases{
        {"no stimuli", devices, {}},
        {"a block list, then more keys and comments",
         devices + "stimuli:\n  - at: 1s\n    device: keypad\n    action: press\n    key: 1\n  # keep me\n"
                   "  - {at: 2s, device: keypad, action: press, key: 2}\n\n# and me\ndescription: after the list\n",
         {"1s", "2s"}},
        {"a list at the margin", devices + "stimuli:\n- {at: 3s, device: keypad, action: press, key: 3}\n", {"3s"}},
        {"a flow list", "stimuli: [{at: 4s, device: keypad, action: press, key: 4}]\n" + devices, {"4s"}},
        {"an empty list", "stimuli: []\n" + devices, {}},
        {"nothing after the key", devices + "stimuli:\n", {}},
        {"one flow mapping",
         "{devices: [{type: bc7278, name: keypad}], stimuli: [{at: 6s, device: keypad, action: press, key: 6}]}",
         {"6s"}},
    };
    for (const Case& c : cases) {
        const std::string out = with_stimuli(c.text, played);
        Config root = Config::parse(out, "saved.yaml");  // one document, no key twice...
        const YAML::Node list = root.node()["stimuli"];
        ASSERT_TRUE(list && list.IsSequence()) << c.what << ":\n" << out;
        ASSERT_EQ(list.size(), c.own.size() + played.size()) << c.what << ":\n" << out;
        for (std::size_t i = 0; i < c.own.size(); ++i) EXPECT_EQ(list[i]["at"].Scalar(), c.own[i]) << c.what;
        EXPECT_EQ(list[c.own.size()]["key"].Scalar(), "7") << c.what;
        EXPECT_EQ(list[c.own.size() + 1]["key"].Scalar(), "8") << c.what;
        EXPECT_EQ(root.node()["devices"][0]["name"].Scalar(), "keypad") << c.what;
        if (c.text.find("# keep me") != std::string::npos) {
            EXPECT_NE(out.find("  # keep me\n  - {at: 2s"), std::string::npos) << out;
            EXPECT_NE(out.find("# and me\ndescription: after the list"), std::string::npos) << out;
        }
    }
    EXPECT_EQ(with_stimuli(devices, {}), devices);
}

// ---------------------------------------------------------------- inputs

TEST(ViewInputs, AnInputBecomesTheStimulusAScenarioWouldWriteOrIsRefusedSayingWhy) {
    const YAML::Node e = stimulus_of(nlohmann::ordered_json::parse(
        R"({"device":"remote","action":"frame","args":{"bytes":[0,255,69,186],"hold":"20ms","extended":true,"x":1.5}})"));
    EXPECT_EQ(flow_line(e), "{device: remote, action: frame, bytes: [0, 255, 69, 186], hold: 20ms, extended: true, x: 1.5}");

    const std::vector<std::pair<const char*, const char*>> refused{
        {R"([1,2])", "expected a JSON object"},
        {R"({"device":"keypad"})", "'action' must be given"},
        {R"({"device":7,"action":"press"})", "'device' must be given as a string"},
        {R"({"device":"keypad","action":"press","args":[7]})", "'args' must be an object"},
        {R"({"device":"keypad","action":"press","args":{"at":"1s"}})", "args.at"},
        {R"({"device":"keypad","action":"press","args":{"key":null}})", "args.key: expected a value"},
        {R"({"device":"keypad","action":"press","args":{"k":[[[[[[[[[[1]]]]]]]]]]}})", "nested too deeply"},
        {R"({"device":"keypad","action":"press","when":"now"})", "unknown member 'when'"},
    };
    for (const auto& [input, why] : refused) {
        try {
            stimulus_of(nlohmann::ordered_json::parse(input));
            ADD_FAILURE() << input << " was accepted";
        } catch (const InputError& err) {
            EXPECT_NE(std::string(err.what()).find(why), std::string::npos) << input << ": " << err.what();
        }
    }
}

TEST(ViewFeed, APageTooFarBehindIsToldToStartAgainAndNothingIsKeptBeyondTheLimits) {
    Feed::Limits limits;
    limits.window_lines = 4;
    limits.reports = 2;
    limits.stdout_bytes = 40;
    Feed feed(limits);
    feed.on_event(0, "start", R"({"t_ns":0,"event":"start"})");
    for (int i = 1; i <= 6; ++i) {
        feed.on_event(i, "report", R"({"t_ns":)" + std::to_string(i) + R"(,"event":"report","text":"r"})");
        feed.on_event(i, "stdout", R"({"t_ns":)" + std::to_string(i) + R"(,"event":"stdout","text":"line"})");
    }
    std::vector<std::string> lines;
    std::uint64_t last = 0;
    EXPECT_FALSE(feed.read_after(2, 10, lines, last)) << "line 3 has left the window";
    EXPECT_TRUE(feed.read_after(9, 2, lines, last));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(last, 11u);
    EXPECT_NE(lines[0].find("\"t_ns\":5,\"event\":\"report\""), std::string::npos);
    EXPECT_NE(lines[1].find("\"t_ns\":5,\"event\":\"stdout\""), std::string::npos);
    const Feed::Cut cut = feed.cut();
    EXPECT_EQ(cut.seq, 13u);
    EXPECT_EQ(cut.reports.size(), 2u);
    EXPECT_EQ(cut.reports_total, 6u);
    EXPECT_EQ(cut.stdout_total, 6u);
    ASSERT_EQ(cut.stdout_lines.size(), 1u);
    EXPECT_NE(cut.stdout_lines[0].find("\"t_ns\":6"), std::string::npos);
    EXPECT_NE(cut.start.find("start"), std::string::npos);
    EXPECT_TRUE(cut.end.empty());
}

// ---------------------------------------------------------------- a view of a board built here

// A board of the test's own, served by a view on a free port of 127.0.0.1.
struct Served {
    explicit Served(const std::string& scenario, const std::string& events = "") : view(ViewAddress{}, "test.yaml", scenario) {
        Options o;
        o.pin_call_cost = 0;
        o.events_path = events;
        o.event_listeners.push_back(view.listener());
        view.bind();
        board = std::make_unique<Board>(o);
        load_scenario_text(*board, scenario, "test.yaml");
        view.serve(*board);
    }
    ~Served() {
        board->finish();
        view.stop();
    }
    httplib::Client client() const {
        httplib::Client c("127.0.0.1", view.port());
        c.set_read_timeout(20, 0);
        return c;
    }
    std::string host() const { return "127.0.0.1:" + std::to_string(view.port()); }

    View view;
    std::unique_ptr<Board> board;
};

const char* const kButton = "devices:\n  - {type: button, name: button, pin: 22, bounce_edges: 0}\n";

httplib::Result post(httplib::Client& c, const std::string& body, const httplib::Headers& headers = {}) {
    return c.Post("/input", headers, body, "application/json");
}

TEST(ViewServer, AnInputHappensJustAfterTheCurrentInstantAndABadOneChangesNothing) {
    Served s(kButton);
    s.board->run_until(10'000'000);
    auto c = s.client();
    auto r = post(c, R"({"device":"button","action":"press","args":{"hold":"50ms"}})");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    const Time at = json::parse(r->body)["at_ns"].get<Time>();
    EXPECT_GT(at, 10'000'000);

    for (const char* bad : {R"({"device":"button","action":"press","args":{"hold":"-1ms"}})",
                            R"({"device":"button","action":"push"})", R"({"device":"buton","action":"press"})",
                            R"({"device":"button","action":"press","args":{"holdd":"1s"}})", "press the button"}) {
        auto b = post(c, bad);
        ASSERT_TRUE(b);
        EXPECT_EQ(b->status, 400) << bad;
        EXPECT_TRUE(json::parse(b->body).contains("error")) << b->body;
    }
    auto b = post(c, R"({"device":"button","action":"press","args":{"holdd":"1s"}})");
    EXPECT_NE(json::parse(b->body)["error"].get<std::string>().find("input: button.holdd: unknown setting"), std::string::npos)
        << b->body;

    s.board->run_until(at + 200'000'000);
    const auto pressed = s.board->shown_history("button", "pressed");
    ASSERT_EQ(pressed.size(), 3u) << "one press, nothing from the refused inputs";
    EXPECT_EQ(pressed[1].at, at);
    EXPECT_TRUE(pressed[1].value.as_bool());
    EXPECT_EQ(pressed[2].at, at + 50'000'000);

    auto saved = c.Get("/scenario");
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->body, std::string(kButton) + "stimuli:\n  - {at: " + std::to_string(at) +
                               "ns, device: button, action: press, hold: 50ms}\n");
}

TEST(ViewServer, OnlyThisViewsAddressAndItsOwnPageAreServed) {
    Served s(kButton);
    auto c = s.client();
    const std::string port = std::to_string(s.view.port());
    for (const std::string& host :
         std::vector<std::string>{"evil.example:" + port, "127.0.0.1:1", "localhost.evil.example:" + port, ""}) {
        auto r = c.Get("/snapshot", {{"Host", host}});
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 403) << host;
        auto p = post(c, R"({"device":"button","action":"press"})", {{"Host", host}});
        ASSERT_TRUE(p);
        EXPECT_EQ(p->status, 403) << host;
    }
    for (const char* origin : {"http://evil.example", "null", "http://127.0.0.1:1"}) {
        auto p = post(c, R"({"device":"button","action":"press"})", {{"Origin", origin}});
        ASSERT_TRUE(p);
        EXPECT_EQ(p->status, 403) << origin;
    }
    EXPECT_EQ(c.Get("/scenario")->body, kButton) << "nothing refused was applied";
    EXPECT_EQ(c.Get("/", {{"Host", "localhost:" + port}})->status, 200);
    auto own = post(c, R"({"device":"button","action":"press"})", {{"Origin", "http://" + s.host()}});
    ASSERT_TRUE(own);
    EXPECT_EQ(own->status, 200) << own->body;
    EXPECT_EQ(c.Get("/snapshot")->status, 200);
    auto page = c.Get("/");
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find("<script src=\"/view.js\""), std::string::npos);
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'self'"), std::string::npos);
}

// The stream a page reads: what it has received so far.
struct Reader {
    std::mutex m;
    std::string text;
    httplib::Client client;
    std::thread thread;
    Reader(const Served& s, const std::string& path = "/events") : client("127.0.0.1", s.view.port()) {
        client.set_read_timeout(30, 0);
        thread = std::thread([this, path] {
            client.Get(path, [this](const char* data, std::size_t n) {
                std::lock_guard<std::mutex> g(m);
                text.append(data, n);
                return true;
            });
        });
    }
    ~Reader() {
        client.stop();
        thread.join();
    }
    bool wait_for(const std::string& what, double s = 20) {
        for (int i = 0; i < s * 200; ++i) {
            {
                std::lock_guard<std::mutex> g(m);
                if (text.find(what) != std::string::npos) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    std::string got() {
        std::lock_guard<std::mutex> g(m);
        return text;
    }
};

TEST(ViewServer, APageGetsTheBoardFirstThenTheEventStreamLineForLine) {
    const std::string dir = temp_dir();
    const std::string events = dir + "/events.jsonl";
    Served s(kButton, events);
    s.board->run_until(5'000'000);
    Reader page(s);
    ASSERT_TRUE(page.wait_for("event: snapshot\ndata: ")) << page.got();
    ASSERT_TRUE(page.wait_for("}\n\n"));
    auto c = s.client();
    ASSERT_EQ(post(c, R"({"device":"button","action":"press","args":{"hold":"30ms"}})")->status, 200);
    s.board->run_until(100'000'000);
    s.board->finish();
    ASSERT_TRUE(page.wait_for("\"event\":\"end\"")) << page.got();

    // The snapshot: the board as it was, where in the stream it stands.
    const std::string got = page.got();
    const auto start = got.find("data: ") + 6;
    const json snap = json::parse(got.substr(start, got.find("\n\n") - start));
    EXPECT_EQ(snap["t_ns"], 5'000'000);
    EXPECT_EQ(snap["devices"][0]["name"], "button");
    EXPECT_EQ(snap["devices"][0]["type"], "button");
    EXPECT_EQ(snap["devices"][0]["shown"]["pressed"], false);
    EXPECT_EQ(snap["devices"][0]["settings"]["pin"], "22");
    EXPECT_EQ(snap["start"]["event"], "start");
    EXPECT_TRUE(snap["end"].is_null());
    bool pin22 = false;
    for (const auto& p : snap["pins"])
        if (p["pin"] == 22) pin22 = p["level"] == 1 && p["header"] == 31 && p["bcm"] == 6 && p["output"] == false;
    EXPECT_TRUE(pin22) << snap["pins"].dump();

    // Then every line the event file got after it, in order.
    std::vector<std::string> streamed;
    for (std::size_t at = got.find("\n\n") + 2; at < got.size();) {
        const auto end = got.find("\n\n", at);
        if (end == std::string::npos) break;
        const std::string message = got.substr(at, end - at);
        if (message.rfind("data: ", 0) == 0) streamed.push_back(message.substr(6));
        at = end + 2;
    }
    const std::string file = read_file(events);
    std::vector<std::string> written;
    for (std::size_t at = 0, nl; (nl = file.find('\n', at)) != std::string::npos; at = nl + 1)
        written.push_back(file.substr(at, nl - at));
    const std::size_t seq = snap["seq"].get<std::size_t>();
    ASSERT_GE(written.size(), seq);
    EXPECT_EQ(streamed, std::vector<std::string>(written.begin() + static_cast<long>(seq), written.end()));
    EXPECT_NE(file.find("\"key\":\"pressed\",\"value\":true"), std::string::npos);
}

// ---------------------------------------------------------------- programs with a view

std::string post_input(int port, const std::string& body) {
    httplib::Client c("127.0.0.1", port);
    c.set_read_timeout(20, 0);
    auto r = c.Post("/input", body, "application/json");
    return r ? std::to_string(r->status) + " " + r->body : "no answer";
}

std::string lines_after_start(const std::string& events) { return events.substr(events.find('\n') + 1); }

TEST(ViewProcess, AKeyPressedOverHttpIsPrintedAndTheSavedScenarioReplaysTheRunAtFullSpeed) {
    const std::string dir = temp_dir();
    const std::string scenario = write_file(
        dir, "keys.yaml", "devices:\n  - {type: bc7278, name: keypad, clock: 14, data_in: 12, data_out: 13, interrupt: 21}\n");
    LiveProgram live("keypad-display-demo", {{"PIKIT_SIM_SCENARIO", scenario},
                                             {"PIKIT_SIM_SPEED", "4"},
                                             {"PIKIT_SIM_UNTIL", "3s"},
                                             {"PIKIT_SIM_VCD", dir + "/live.vcd"},
                                             {"PIKIT_SIM_LOG", dir + "/live.log"},
                                             {"PIKIT_SIM_EVENTS", dir + "/live.jsonl"}});
    const int port = live.port();
    ASSERT_NE(port, 0) << live.err();
    EXPECT_EQ(live.err().find("pikit-sim: view at http://127.0.0.1:"), 0u) << live.err();
    const std::string reply = post_input(port, R"({"device":"keypad","action":"press","args":{"key":7}})");
    ASSERT_EQ(reply.rfind("200 ", 0), 0u) << reply;
    EXPECT_TRUE(live.wait_for_output("Key value: 7 \n")) << live.out() << live.err();
    httplib::Client c("127.0.0.1", port);
    auto saved = c.Get("/scenario");
    ASSERT_TRUE(saved);
    const auto run = live.wait();
    EXPECT_EQ(run.signal, SIGTERM) << run.err;
    EXPECT_NE(saved->body.find("action: press, key: 7}"), std::string::npos) << saved->body;

    write_file(dir, "played.yaml", saved->body);
    const auto again = run_program("keypad-display-demo", {{"PIKIT_SIM_SCENARIO", dir + "/played.yaml"},
                                                           {"PIKIT_SIM_UNTIL", "3s"},
                                                           {"PIKIT_SIM_VCD", dir + "/again.vcd"},
                                                           {"PIKIT_SIM_LOG", dir + "/again.log"},
                                                           {"PIKIT_SIM_EVENTS", dir + "/again.jsonl"}});
    EXPECT_EQ(again.signal, SIGTERM) << again.err;
    EXPECT_EQ(again.out, run.out);
    EXPECT_TRUE(read_file(dir + "/again.vcd") == read_file(dir + "/live.vcd")) << "the traces differ";
    EXPECT_EQ(read_file(dir + "/again.log"), read_file(dir + "/live.log"));
    // The start line names the pacing and the scenario; every other line is the same.
    const std::string live_events = read_file(dir + "/live.jsonl");
    EXPECT_EQ(lines_after_start(read_file(dir + "/again.jsonl")), lines_after_start(live_events));
    EXPECT_NE(live_events.find("\"event\":\"stdout\",\"text\":\"Key value: 7 \\n\""), std::string::npos) << live_events;
}

TEST(ViewProcess, WhatARunLeavesIsTheSameWithAndWithoutTheViewAndWithAPageOpen) {
    const std::string dir = temp_dir();
    struct Left {
        std::string out, vcd, log, events;
        int signal;
    };
    auto run = [&](const std::string& tag, bool view, bool page) {
        std::map<std::string, std::string> env{{"PIKIT_SIM_SPEED", "8"},
                                               {"PIKIT_SIM_UNTIL", "3500ms"},
                                               {"PIKIT_SIM_VCD", dir + "/" + tag + ".vcd"},
                                               {"PIKIT_SIM_LOG", dir + "/" + tag + ".log"},
                                               {"PIKIT_SIM_EVENTS", dir + "/" + tag + ".jsonl"}};
        Left left;
        if (!view) {
            const auto r = run_program("keypad-display-demo", env);
            left.out = r.out;
            left.signal = r.signal;
        } else {
            LiveProgram live("keypad-display-demo", env);
            const int port = live.port();
            EXPECT_NE(port, 0) << live.err();
            std::atomic<bool> stop{false};
            std::thread reader;
            std::atomic<std::size_t> received{0};
            if (page) {
                reader = std::thread([&] {
                    httplib::Client c("127.0.0.1", port);
                    c.set_read_timeout(30, 0);
                    c.Get("/events", [&](const char*, std::size_t n) {
                        received += n;
                        return !stop.load();
                    });
                });
            }
            const auto r = live.wait();
            stop = true;
            if (reader.joinable()) reader.join();
            if (page) {
                EXPECT_GT(received.load(), 0u) << "the page was sent nothing";
            }
            left.out = r.out;
            left.signal = r.signal;
        }
        left.vcd = read_file(dir + "/" + tag + ".vcd");
        left.log = read_file(dir + "/" + tag + ".log");
        left.events = read_file(dir + "/" + tag + ".jsonl");
        return left;
    };
    const Left plain = run("plain", false, false);
    EXPECT_NE(plain.out.find("Key value: 31 "), std::string::npos) << "the scenario's last key";
    for (const auto& [tag, page] : {std::pair<const char*, bool>{"view", false}, {"page", true}}) {
        const Left l = run(tag, true, page);
        EXPECT_EQ(l.signal, plain.signal) << tag;
        EXPECT_EQ(l.out, plain.out) << tag;
        EXPECT_TRUE(l.vcd == plain.vcd) << tag << ": the traces differ";
        EXPECT_EQ(l.log, plain.log) << tag;
        EXPECT_EQ(l.events, plain.events) << tag;
    }
}

TEST(ViewProcess, PacingChangedWhileRunningChangesNothingButTheWallClock) {
    const std::string dir = temp_dir();
    auto env = [&](const std::string& tag, const std::string& speed) {
        return std::map<std::string, std::string>{{"PIKIT_SIM_SPEED", speed},
                                                  {"PIKIT_SIM_UNTIL", "3500ms"},
                                                  {"PIKIT_SIM_VCD", dir + "/" + tag + ".vcd"},
                                                  {"PIKIT_SIM_LOG", dir + "/" + tag + ".log"},
                                                  {"PIKIT_SIM_EVENTS", dir + "/" + tag + ".jsonl"}};
    };
    const auto plain = run_program("keypad-display-demo", env("plain", "max"));
    // The scenario's keys come at 1 s, 2 s and 3 s: pause before the first,
    // then every pacing in turn while the program runs.
    LiveProgram live("keypad-display-demo", env("paced", "8"));
    const int port = live.port();
    ASSERT_NE(port, 0) << live.err();
    httplib::Client c("127.0.0.1", port);
    auto pace = [&](const std::string& speed) {
        auto r = c.Post("/pace", "{\"speed\": " + speed + "}", "application/json");
        return r ? r->status : 0;
    };
    auto now = [&] {
        auto r = c.Get("/snapshot");
        return r ? json::parse(r->body)["t_ns"].get<Time>() : Time{-1};
    };
    EXPECT_EQ(pace("\"pause\""), 200);
    const Time paused_at = now();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(now(), paused_at) << "virtual time stands still while paused";
    EXPECT_EQ(json::parse(c.Get("/snapshot")->body)["pace"], "pause");
    for (const char* bad : {"\"fast\"", "0", "\"1e3\"", "-4", "null"}) EXPECT_EQ(pace(bad), 400) << bad;
    // The last one lets the run reach its limit.
    for (const char* speed : {"\"realtime\"", "\"max\"", "4", "\"0.5\"", "\"pause\"", "\"max\""}) {
        EXPECT_EQ(pace(speed), 200) << speed;
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
    const auto paced = live.wait();
    EXPECT_EQ(paced.signal, plain.signal) << paced.err;
    EXPECT_EQ(paced.out, plain.out);
    EXPECT_TRUE(read_file(dir + "/paced.vcd") == read_file(dir + "/plain.vcd")) << "the traces differ";
    EXPECT_EQ(read_file(dir + "/paced.log"), read_file(dir + "/plain.log"));
    EXPECT_EQ(lines_after_start(read_file(dir + "/paced.jsonl")), lines_after_start(read_file(dir + "/plain.jsonl")));
}

TEST(ViewProcess, AnAddressThatCannotBeUsedIsRefusedBeforeMain) {
    // A port some other program listens on.
    const int busy = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(busy, 1), 0);
    socklen_t len = sizeof a;
    getsockname(busy, reinterpret_cast<sockaddr*>(&a), &len);
    const std::string taken = std::to_string(ntohs(a.sin_port));

    for (const auto& [value, why] : std::vector<std::pair<std::string, std::string>>{
             {"web", "expected a port"},
             {"70000", "expected a port"},
             {"view.example:8080", "expected a port"},
             {"1.2.3.4.5:80", "expected a port"},
             {"127.0.0.1:" + taken, "Address already in use"},
         }) {
        const auto r = run_program("cast-demo", {{"PIKIT_SIM_VIEW", value}, {"PIKIT_SIM_UNTIL", "1s"}});
        EXPECT_EQ(r.exit_code, 2) << value << ": " << r.err;
        EXPECT_EQ(r.out, "") << value << ": main must not have run";
        EXPECT_EQ(r.err.rfind("pikit-sim: environment: PIKIT_SIM_VIEW: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("'" + value + "'\n"), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    close(busy);
}

}  // namespace
