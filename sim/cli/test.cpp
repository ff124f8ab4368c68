// pikit test: a program run under each scenario, with the scenario's
// expectations checked as the run goes (the kit does that in the program's
// own process when PIKIT_SIM_EXPECT names a results file), and a verdict per
// scenario, on the terminal and as a JUnit XML report for CI.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "core/environment.h"
#include "core/scenario.h"
#include "expect/expectation.h"
#include "junit.h"
#include "process.h"

namespace pikit::cli {

namespace fs = std::filesystem;
using sim::expect::Expectation;
using sim::expect::Kind;

namespace {

struct TestOptions {
    std::string junit, until, speed = "max", state_dir, output_dir;
    int jobs = 1;
    std::vector<std::string> scenarios;
};

// One scenario's run, from its start to its verdict.
struct Case {
    std::string file;
    std::string name;  // the file's name without .yaml
    std::vector<Expectation> expectations;
    std::vector<std::string> command;
    std::string problem;  // a bad scenario or program: not run
    fs::path dir;         // where its run leaves its files
    pid_t pid = -1;
    std::chrono::steady_clock::time_point started;
    double seconds = 0;
    Ending ending;
    TestCase report;
};

std::string slurp(const fs::path& p, std::size_t limit = 1 << 20) {
    std::ifstream in(p, std::ios::binary);
    std::string s;
    s.resize(limit);
    in.read(&s[0], static_cast<std::streamsize>(limit));
    s.resize(static_cast<std::size_t>(in.gcount()));
    return s;
}

std::string time_words(long long ns) { return sim::format_duration(ns); }

// Reads a scenario and decides what runs it; a problem leaves it not run.
void prepare(Case& c, const std::vector<std::string>& program) {
    c.name = fs::path(c.file).stem().string();
    std::string text;
    try {
        text = sim::read_scenario_file(c.file);
    } catch (const sim::ScenarioError& e) {
        c.problem = e.what();
        return;
    }
    const std::vector<std::string> problems = scenario_problems(text, c.file);
    if (!problems.empty()) {
        for (const auto& p : problems) c.problem += (c.problem.empty() ? "" : "\n") + p;
        return;
    }
    sim::Config root = sim::Config::parse(text, c.file);
    c.expectations = sim::expect::read_expectations(root);
    if (c.expectations.empty()) {
        c.problem = c.file + ": expect: the scenario expects nothing, so there is nothing to test (add an expect: list)";
        return;
    }
    c.command = program;
    if (c.command.empty()) {
        if (!root.has("program")) {
            c.problem = c.file + ": no program to run: give one after '--', or name it in the scenario (program: NAME)";
            return;
        }
        c.command.push_back(root.text("program"));
    }
    const auto path = find_program(c.command[0]);
    if (!path) {
        c.problem = c.file + ": no program '" + c.command[0] + "' (not a path to an executable, not beside pikit, not on PATH)";
        return;
    }
    c.command[0] = *path;
}

void start(Case& c, const TestOptions& o) {
    std::map<std::string, std::string> vars = {
        {"PIKIT_SIM_SCENARIO", fs::absolute(c.file).string()},
        {"PIKIT_SIM_EXPECT", (c.dir / "results.jsonl").string()},
        {"PIKIT_SIM_SPEED", o.speed},
        {"PIKIT_SIM_STATE_DIR", o.state_dir.empty() ? (c.dir / "state").string() : o.state_dir},
    };
    if (!o.until.empty()) vars["PIKIT_SIM_UNTIL"] = o.until;
    if (!o.output_dir.empty()) {
        vars["PIKIT_SIM_LOG"] = (c.dir / "log.txt").string();
        vars["PIKIT_SIM_EVENTS"] = (c.dir / "events.jsonl").string();
        vars["PIKIT_SIM_VCD"] = (c.dir / "trace.vcd").string();
    }
    // Nothing of the caller's own run variables: a test runs the same
    // everywhere.
    std::vector<std::string> unset;
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, "PIKIT_SIM_", 10) == 0) unset.emplace_back(std::string(*e).substr(0, std::strcspn(*e, "=")));
    c.started = std::chrono::steady_clock::now();
    const Spawned s =
        spawn(c.command, environment_with(vars, unset), (c.dir / "stdout.txt").string(), (c.dir / "stderr.txt").string(), true);
    if (s.pid < 0) c.problem = c.file + ": cannot start '" + c.command[0] + "': " + s.error;
    c.pid = s.pid;
}

// What the kit wrote of one expectation: "held", "failed", "not checked",
// or still "pending" when the run ended without deciding it.
struct Outcome {
    std::string result = "pending";
    long long t_ns = 0;
    std::string detail;
};

// A run's results file: each expectation's outcome, and the run's end.
struct Results {
    std::vector<Outcome> outcomes;
    bool ended = false;    // the kit wrote the run's end
    bool stopped = false;  // ended early after a failed expectation
    std::string reason;    // why the run ended: "exit", "run limit", ...
    long long end_ns = 0;
};

Results read_results(const fs::path& file, std::size_t expectations) {
    Results r;
    r.outcomes.resize(expectations);
    std::istringstream lines(slurp(file));
    for (std::string line; std::getline(lines, line);) {
        const auto j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.is_object()) continue;
        if (j.contains("end")) {
            r.ended = true;
            r.reason = j.value("end", "");
            r.end_ns = j.value("t_ns", 0LL);
            r.stopped = j.value("stopped", false);
        } else if (j.contains("expectation")) {
            const std::size_t i = j.value("expectation", std::size_t(0));
            if (i < r.outcomes.size()) r.outcomes[i] = {j.value("result", ""), j.value("t_ns", 0LL), j.value("detail", "")};
        }
    }
    return r;
}

// An expectation on how the program ends is decided here, from how the
// process ended; `died` says how it died when the kit did not see it.
Outcome exit_outcome(const Expectation& e, const Results& r, const Ending& ending, const std::string& died) {
    const std::string status = std::to_string(ending.status);
    if (!r.ended)
        return {
            "failed", 0,
            died.empty() ? "the run did not end as the kit ends it (status " + status + ")" : died + " (status " + status + ")"};
    if (r.stopped) return {"not checked", r.end_ns, "the run was ended early after a failed expectation"};
    if (r.reason != "exit")
        return {"failed", r.end_ns,
                r.reason == "run limit" ? "the program was still running at the run limit (" + time_words(r.end_ns) + ")"
                                        : "the run was ended by " + r.reason + " at " + time_words(r.end_ns)};
    const std::string how = "the program ended at " + time_words(r.end_ns) + " with status " + status;
    return {e.status && ending.status != *e.status ? "failed" : "held", r.end_ns, how};
}

// The verdict of a finished run, from its results file and how it ended.
void judge(Case& c) {
    TestCase& r = c.report;
    r.name = c.name;
    r.classname = c.command.empty() ? "pikit" : fs::path(c.command[0]).filename().string();
    r.seconds = c.seconds;
    r.output = slurp(c.dir / "stdout.txt", 64 * 1024);
    r.errors = slurp(c.dir / "stderr.txt", 64 * 1024);

    Results res = read_results(c.dir / "results.jsonl", c.expectations.size());
    const bool refused =
        !res.ended && c.ending.signal == 0 && c.ending.status == kUsage && r.errors.compare(0, 10, "pikit-sim:") == 0;
    if (refused) {
        r.status = TestCase::Status::Error;
        r.message = r.errors.substr(0, r.errors.find('\n'));
        r.details = r.errors;
        return;
    }
    // A run the kit ended (its results end with the run's end) may still
    // die of SIGTERM: the run limit's, or the one that ends a decided run.
    // Only a death the kit did not see is a failure of its own.
    const std::string died =
        c.ending.signal && !res.ended ? "the program died of " + signal_name(c.ending.signal) + " before the run's end" : "";
    int failed = 0;
    std::string first;
    for (std::size_t i = 0; i < c.expectations.size(); ++i) {
        Outcome& o = res.outcomes[i];
        if (c.expectations[i].kind == Kind::Exit && o.result == "pending")
            o = exit_outcome(c.expectations[i], res, c.ending, died);
        if (o.result == "pending")
            o = {"failed", res.end_ns, died.empty() ? "not decided: the run ended without deciding it" : "not decided: " + died};
        const bool held = o.result == "held";
        r.details += std::string(held                   ? "held"
                                 : o.result == "failed" ? "FAILED"
                                                        : "not checked") +
                     ": " + c.expectations[i].name + ": " + o.detail + "\n";
        if (o.result == "failed") {
            ++failed;
            if (first.empty()) first = c.expectations[i].name + ": " + o.detail;
        }
    }
    if (failed || !died.empty()) {
        r.status = TestCase::Status::Failed;
        r.message = failed ? first + (failed > 1 ? " (and " + std::to_string(failed - 1) + " more)" : "") : died;
    }
}

std::string now_iso() {
    const std::time_t t = std::time(nullptr);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", std::gmtime(&t));
    return buf;
}

void print_verdict(const Case& c, std::size_t done, std::size_t total) {
    const TestCase& r = c.report;
    const char* word = r.status == TestCase::Status::Passed   ? "passed"
                       : r.status == TestCase::Status::Failed ? "FAILED"
                                                              : "ERROR";
    std::printf("%zu/%zu %s (%s): %s, %zu expectation%s, %.2f s\n", done, total, c.name.c_str(), c.file.c_str(), word,
                c.expectations.size(), c.expectations.size() == 1 ? "" : "s", r.seconds);
    if (r.status != TestCase::Status::Passed) {
        std::istringstream lines(r.details);
        for (std::string line; std::getline(lines, line);) std::printf("    %s\n", line.c_str());
    }
    std::fflush(stdout);
}

// Where the runs leave their files: --output-dir, or a temporary directory
// removed at the end. Empty, with `error` set, when it cannot be made.
fs::path work_dir(const TestOptions& o, std::string& error) {
    std::error_code ec;
    if (o.output_dir.empty()) {
        std::string tmpl = (fs::temp_directory_path(ec) / "pikit-test-XXXXXX").string();
        if (!mkdtemp(&tmpl[0])) {
            error = "cannot make a temporary directory: " + std::string(std::strerror(errno));
            return {};
        }
        return tmpl;
    }
    fs::create_directories(o.output_dir, ec);
    if (ec) error = "--output-dir: " + ec.message() + " '" + o.output_dir + "'";
    return ec ? fs::path() : fs::path(o.output_dir);
}

// Runs the cases, at most `jobs` at a time, printing each verdict as it comes.
void run_cases(std::vector<Case>& cases, const TestOptions& o) {
    std::size_t next = 0, running = 0, done = 0;
    std::map<pid_t, std::size_t> by_pid;
    auto finish_unrun = [&](Case& c) {
        c.report.name = c.name;
        c.report.classname = c.command.empty() ? "pikit" : fs::path(c.command[0]).filename().string();
        c.report.status = TestCase::Status::Error;
        c.report.message = c.problem.substr(0, c.problem.find('\n'));
        c.report.details = c.problem + "\n";
        print_verdict(c, ++done, cases.size());
    };
    while (done < cases.size()) {
        while (running < static_cast<std::size_t>(o.jobs) && next < cases.size()) {
            Case& c = cases[next++];
            if (c.problem.empty()) start(c, o);
            if (!c.problem.empty()) {
                finish_unrun(c);
                continue;
            }
            by_pid[c.pid] = static_cast<std::size_t>(&c - cases.data());
            ++running;
        }
        if (running == 0) continue;
        int st = 0;
        const pid_t pid = waitpid(-1, &st, 0);
        if (pid < 0) {
            if (errno == EINTR) continue;
            break;
        }
        auto it = by_pid.find(pid);
        if (it == by_pid.end()) continue;
        Case& c = cases[it->second];
        by_pid.erase(it);
        --running;
        c.ending = ending_of(st);
        c.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - c.started).count();
        judge(c);
        print_verdict(c, ++done, cases.size());
    }
}

int test(TestOptions o, const std::vector<std::string>& program) {
    if (o.scenarios.empty())
        return usage_error("test", "no scenario to test: pikit test [options] SCENARIO.yaml... [-- PROGRAM [ARGS]]");
    if (o.jobs < 1) return usage_error("test", "--jobs: expected at least 1 '" + std::to_string(o.jobs) + "'");
    // The options the kit reads are checked as the kit would check them.
    try {
        std::map<std::string, std::string> vars = {{"PIKIT_SIM_SPEED", o.speed}};
        if (!o.until.empty()) vars["PIKIT_SIM_UNTIL"] = o.until;
        sim::read_environment([&](const char* n) -> const char* {
            auto it = vars.find(n);
            return it == vars.end() ? nullptr : it->second.c_str();
        });
    } catch (const sim::ScenarioError& e) {
        return usage_error("test", in_option_words(e.what()));
    }
    std::string error;
    const fs::path work = work_dir(o, error);
    if (work.empty()) return usage_error("test", error);

    const auto t0 = std::chrono::steady_clock::now();
    std::vector<Case> cases(o.scenarios.size());
    std::map<std::string, int> seen;
    std::error_code ec;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        cases[i].file = o.scenarios[i];
        prepare(cases[i], program);
        // One directory per scenario, named after it (the same name twice gets a number).
        const int n = seen[cases[i].name]++;
        cases[i].dir = work / (cases[i].name + (n ? "-" + std::to_string(n + 1) : ""));
        fs::remove_all(cases[i].dir, ec);
        fs::create_directories(cases[i].dir, ec);
    }
    run_cases(cases, o);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    int passed = 0, failed = 0, errors = 0;
    std::vector<TestCase> reports;
    for (const Case& c : cases) {
        reports.push_back(c.report);
        passed += c.report.status == TestCase::Status::Passed;
        failed += c.report.status == TestCase::Status::Failed;
        errors += c.report.status == TestCase::Status::Error;
    }
    if (!o.junit.empty()) {
        std::ofstream out(o.junit, std::ios::binary | std::ios::trunc);
        out << junit_xml("pikit", reports, seconds, now_iso());
        if (!out.good()) return usage_error("test", "--junit: cannot write the report '" + o.junit + "'");
    }
    if (o.output_dir.empty()) fs::remove_all(work, ec);
    std::printf("\n%d passed, %d failed%s\n", passed, failed + errors,
                errors ? (", of which " + std::to_string(errors) + " could not run").c_str() : "");
    return errors ? kUsage : failed ? kFailed : kOk;
}

}  // namespace

Runner add_test(CLI::App& app, const std::vector<std::string>& program) {
    auto o = std::make_shared<TestOptions>();
    CLI::App* sub = app.add_subcommand("test", "Run a program under scenarios and check their expectations");
    sub->footer(
        "Run a program under each scenario at full speed and check the scenario's expectations (expect:)\n"
        "as the run goes; a failed one ends its run. Status 0 when every expectation held, 1 when one\n"
        "failed, 2 when a scenario could not be used. Without '-- PROGRAM', each scenario's program: key\n"
        "names the program (a name is looked for beside pikit, then on PATH).\n"
        "Example: pikit test --junit report.xml -j2 tests/*.yaml -- build/bin/my-program");
    sub->add_option("scenarios", o->scenarios, "Scenario files (YAML) with expectations")->required();
    sub->add_option("--junit", o->junit, "Write a JUnit XML report (one test case per scenario) for CI");
    sub->add_option("--jobs,-j", o->jobs, "Run this many scenarios at once (the report is the same)");
    sub->add_option("--until", o->until, "Run limit of each run, for programs that do not end by themselves (PIKIT_SIM_UNTIL)");
    sub->add_option("--speed", o->speed, "Pacing of each run (default max) (PIKIT_SIM_SPEED)");
    sub->add_option("--state-dir", o->state_dir,
                    "State kept between runs (the EEPROM's memory); default: a fresh directory for each run");
    sub->add_option("--output-dir", o->output_dir,
                    "Keep each run's standard output and error, log, event stream, trace and results in "
                    "DIR/<scenario>/");
    return [o, &program] { return test(*o, program); };
}

}  // namespace pikit::cli
