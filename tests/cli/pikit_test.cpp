// The pikit command as a user runs it: pikit test on expectations that hold
// and on each kind that fails, its JUnit report read back by an XML parser,
// the same report from one job and from two, bad scenarios and command lines
// (status 2); pikit run's --set and --timeout-status reaching the kit;
// pikit check; a misspelt run variable refused before main.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <map>

#include "support/run_program.h"

namespace {

using pikit::test::read_file;
using pikit::test::run_command;
using pikit::test::RunResult;
using pikit::test::source_path;
using pikit::test::temp_dir;
using pikit::test::write_file;

const std::string kPikit = std::string(PIKIT_BIN_DIR) + "/pikit";

RunResult pikit(std::vector<std::string> args, double wall_limit_s = 50) {
    args.insert(args.begin(), kPikit);
    return run_command(args, {"PATH=/usr/bin:/bin"}, wall_limit_s);
}

std::string bin(const std::string& program) { return std::string(PIKIT_BIN_DIR) + "/" + program; }

// A JUnit report as a CI service reads it: the suite's counts, and per
// test case its name, class and failure message.
struct Report {
    std::map<std::string, std::string> suite;  // attributes of <testsuite>
    struct Case {
        std::string name, classname, failure, error, out;
    };
    std::vector<Case> cases;
};

std::string attr(xmlNode* n, const char* name) {
    xmlChar* v = xmlGetProp(n, reinterpret_cast<const xmlChar*>(name));
    std::string s = v ? reinterpret_cast<const char*>(v) : "";
    xmlFree(v);
    return s;
}

bool is(xmlNode* n, const char* name) {
    return n->type == XML_ELEMENT_NODE && xmlStrcmp(n->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

Report parse_junit(const std::string& path) {
    Report r;
    xmlDoc* doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET);
    EXPECT_NE(doc, nullptr) << "not well-formed XML: " << path;
    if (!doc) return r;
    xmlNode* root = xmlDocGetRootElement(doc);
    EXPECT_TRUE(is(root, "testsuites"));
    for (xmlNode* s = root->children; s; s = s->next) {
        if (!is(s, "testsuite")) continue;
        for (const char* a : {"name", "tests", "failures", "errors", "skipped", "time", "timestamp"}) r.suite[a] = attr(s, a);
        for (xmlNode* c = s->children; c; c = c->next) {
            if (!is(c, "testcase")) continue;
            Report::Case tc{attr(c, "name"), attr(c, "classname"), "", "", ""};
            for (xmlNode* f = c->children; f; f = f->next) {
                if (is(f, "failure")) tc.failure = attr(f, "message");
                if (is(f, "error")) tc.error = attr(f, "message");
                if (is(f, "system-out")) {
                    xmlChar* t = xmlNodeGetContent(f);
                    tc.out = reinterpret_cast<const char*>(t);
                    xmlFree(t);
                }
            }
            r.cases.push_back(tc);
        }
    }
    xmlFreeDoc(doc);
    return r;
}

// The keypad demo's own scenario with other keys pressed, and the
// expectations given.
std::string keypad_scenario(const std::string& keys, const std::string& expect) {
    return "program: keypad-display-demo\n"
           "devices:\n  - {type: bc7278, name: keypad, clock: 14, data_in: 12, data_out: 13, interrupt: 21}\n"
           "stimuli:\n" +
           keys + "expect:\n" + expect;
}

const char* const kSeven = "  - {at: 1s, device: keypad, action: press, key: 7, hold: 150ms}\n";

TEST(PikitTest, ExpectationsThatHoldPassAndTheJUnitReportSaysSo) {
    const std::string dir = temp_dir();
    const std::string f = write_file(dir, "seven.yaml",
                                     keypad_scenario(kSeven,
                                                     "  - {stdout: \"Key value: 7 \\n\", within: [1s, 2s]}\n"
                                                     "  - {device: keypad, shows: display, value: \"  7.0\", at: 1.9s}\n"
                                                     "  - {pin: 21, level: high, at: 1.9s}\n"
                                                     "  - {no_report: [breach, contention], during: [0, 2s]}\n"));
    const RunResult r = pikit({"test", "--junit", dir + "/out.xml", f});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("1/1 seven (" + f + "): passed, 4 expectations"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 passed, 0 failed"), std::string::npos) << r.out;
    const Report rep = parse_junit(dir + "/out.xml");
    EXPECT_EQ(rep.suite.at("tests"), "1");
    EXPECT_EQ(rep.suite.at("failures"), "0");
    EXPECT_EQ(rep.suite.at("errors"), "0");
    ASSERT_EQ(rep.cases.size(), 1u);
    EXPECT_EQ(rep.cases[0].name, "seven");
    EXPECT_EQ(rep.cases[0].classname, "keypad-display-demo");
    EXPECT_EQ(rep.cases[0].failure, "");
    EXPECT_NE(rep.cases[0].out.find("Key value: 7 "), std::string::npos) << "the program's output is in the report";
}

// One scenario per kind of expectation, each failing; the message must name
// the expectation, the virtual time and what was seen instead.
struct Broken {
    const char* file;
    std::string text;
    std::vector<std::string> message;  // parts of the failure message, in order
};

std::vector<Broken> broken() {
    return {
        {"wrong-line.yaml",
         keypad_scenario(kSeven, "  - {stdout: \"Key value: 8 \\n\", by: 2s}\n"),
         {"standard output contains \"Key value: 8 \\n\" by 2s: not written by 2s; the last line it had written was "
          "\"Key value: 7 \""}},
        {"wrong-digit.yaml",
         keypad_scenario(kSeven, "  - {device: keypad, shows: display, value: \"  8.0\", at: 1.9s}\n"),
         {"keypad shows display \"  8.0\" at 1.9s: at 1.9s it showed \"  7.0\" (since 1.28"}},
        {"pin.yaml",
         keypad_scenario(kSeven, "  - {pin: 21, level: low, at: 1.9s}\n"),
         {"pin 21 low at 1.9s: wpi21/BCM5/P29 was high at 1.9s"}},
        {"exit.yaml",
         keypad_scenario(kSeven, "  - {exit: 0, by: 1.5s}\n"),
         {"the program ends with status 0 by 1.5s: the program was still running at 1.5s"}},
        {"report.yaml",
         "program: humidity-demo\n"
         "devices:\n  - {type: aht20, name: sensor, sda: 8, scl: 9, calibration_bits: 0x18}\n"
         "expect:\n  - {no_report: contention, during: [0, 2s]}\n",
         {"no contention reported until 2s: board reported a contention at 500.2114ms: wpi8/BCM2/P3: master drives "
          "HIGH, aht20 'sensor' pulls LOW"}},
        {"never.yaml",
         keypad_scenario(kSeven, "  - {stdout: \"Key value\", never: true}\n"),
         {"standard output never contains \"Key value\": written at 1.41"}},
    };
}

// The report without its wall-clock times, which differ from run to run.
std::string without_times(std::string xml) {
    for (const std::string attr : {" time=\"", " timestamp=\""}) {
        for (std::size_t at = xml.find(attr); at != std::string::npos; at = xml.find(attr, at)) {
            const std::size_t end = xml.find('"', at + attr.size());
            xml.erase(at, end + 1 - at);
        }
    }
    return xml;
}

TEST(PikitTest, EachKindThatFailsSaysWhatWhenAndWhatWasSeenAndJobsGiveTheSameReport) {
    const std::string dir = temp_dir();
    std::vector<std::string> args = {"test", "--junit", dir + "/two.xml", "--jobs", "2"};
    for (const Broken& b : broken()) args.push_back(write_file(dir, b.file, b.text));
    const RunResult two = pikit(args);
    EXPECT_EQ(two.exit_code, 1) << two.out << two.err;
    EXPECT_NE(two.out.find("0 passed, 6 failed"), std::string::npos) << two.out;
    const Report rep = parse_junit(dir + "/two.xml");
    EXPECT_EQ(rep.suite.at("tests"), "6");
    EXPECT_EQ(rep.suite.at("failures"), "6");
    ASSERT_EQ(rep.cases.size(), 6u);
    const auto expected = broken();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const std::string name = std::string(expected[i].file).substr(0, std::string(expected[i].file).size() - 5);
        EXPECT_EQ(rep.cases[i].name, name) << "in the order given, whatever order they ended in";
        for (const std::string& part : expected[i].message)
            EXPECT_NE(rep.cases[i].failure.find(part), std::string::npos)
                << name << ": '" << rep.cases[i].failure << "' lacks '" << part << "'";
    }

    args[2] = dir + "/one.xml";
    args[4] = "1";
    const RunResult one = pikit(args);
    EXPECT_EQ(one.exit_code, 1);
    EXPECT_EQ(without_times(read_file(dir + "/one.xml")), without_times(read_file(dir + "/two.xml")));
}

TEST(PikitTest, ABrokenDemoFailsItsOwnExpectationsInWordsAPersonFollows) {
    // The keypad demo's default scenario with another key pressed first: the
    // program prints and shows 1 where its documentation promises 7.
    std::string text = read_file(source_path("sim/scenarios/keypad-display-demo.yaml"));
    const std::string press = "action: press, key: 7,";
    ASSERT_NE(text.find(press), std::string::npos);
    text.replace(text.find(press), press.size(), "action: press, key: 1,");
    const std::string dir = temp_dir();
    const RunResult r = pikit({"test", write_file(dir, "keypad.yaml", text)});
    EXPECT_EQ(r.exit_code, 1);
    // The display is looked at first (1.9 s, before the text's window closes
    // at 2 s); its failure ends the run, and what was left is not checked.
    EXPECT_NE(r.out.find("FAILED: keypad shows display \"  7.0\" at 1.9s: at 1.9s it showed \"  1.0\" (since "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("not checked: standard output contains \"Key value: 7 \\n\" between 1s and 2s: the run was "
                         "ended at 1.9s after a failed expectation"),
              std::string::npos)
        << r.out;
}

TEST(PikitTest, ABadScenarioOrCommandLineIsStatusTwoNamingWhatIsWrong) {
    const std::string dir = temp_dir();
    const std::string bad = write_file(dir, "bad.yaml", keypad_scenario(kSeven, "  - {stdout: x, by: soon}\n"));
    const std::string none = write_file(dir, "none.yaml", "program: cast-demo\ndevices: []\n");
    const std::string good = write_file(dir, "good.yaml", keypad_scenario(kSeven, "  - {stdout: \"Key value: 7\", by: 2s}\n"));
    RunResult r = pikit({"test", "--junit", dir + "/r.xml", bad, none, good});
    EXPECT_EQ(r.exit_code, 2) << r.out << r.err;
    EXPECT_NE(r.out.find(bad + ": expect[0].by: unparsable duration"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("the scenario expects nothing"), std::string::npos) << r.out;
    const Report rep = parse_junit(dir + "/r.xml");
    EXPECT_EQ(rep.suite.at("errors"), "2");
    ASSERT_EQ(rep.cases.size(), 3u);
    EXPECT_NE(rep.cases[0].error.find("unparsable duration"), std::string::npos);
    EXPECT_EQ(rep.cases[2].error, "") << "the good one still ran";

    r = pikit({"test", "--until", "soon", good});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("pikit test: --until: unparsable duration 'soon'"), std::string::npos) << r.err;
    r = pikit({"test", good, "--", bin("no-such-program")});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.out.find("no program '" + bin("no-such-program") + "'"), std::string::npos) << r.out;
    r = pikit({"frobnicate"});
    EXPECT_EQ(r.exit_code, 2);
    r = pikit({"run", "--until", "5 secs", "--", bin("cast-demo")});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "pikit run: --until: unparsable duration '5 secs' (expected e.g. 500ms, 30s, 2min)\n");
    r = pikit({"run", "--speed", "max"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("no program to run"), std::string::npos);
}

TEST(PikitRun, SetChangesTheScenarioInForceAndTimeoutStatusReplacesTheLimitsSignal) {
    RunResult r = pikit({"run", "--speed", "max", "--until", "1700ms", "--set", "sensor.humidity=80", "--set",
                         "sensor.temperature=-5", "--", "humidity-demo"});
    EXPECT_EQ(r.exit_code, -1) << "died of the run limit's SIGTERM, as without pikit";
    EXPECT_EQ(r.signal, 15);
    EXPECT_EQ(r.out, "Humidity = 80.000%, Temperature = -5.000C \n");

    r = pikit({"run", "--speed", "max", "--until", "1700ms", "--timeout-status", "0", "--", "humidity-demo"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "Humidity = 48.200%, Temperature = 21.600C \n") << "the whole run, then the status asked for";

    // A setting the model does not have, a device the scenario does not have.
    r = pikit({"run", "--speed", "max", "--until", "1s", "--set", "sensor.humidty=80", "--", "humidity-demo"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("devices[0].humidty: unknown setting (known: "), std::string::npos) << r.err;
    r = pikit({"run", "--speed", "max", "--until", "1s", "--set", "sensr.humidity=80", "--", "humidity-demo"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err,
              "pikit-sim: environment: PIKIT_SIM_SET: no device 'sensr' in the scenario (devices: sensor; or board) "
              "'sensr.humidity=80'\n");
}

TEST(PikitRun, AMisspeltVariableIsRefusedBeforeMain) {
    const RunResult r = run_command({bin("cast-demo")}, {"PIKIT_SIM_UNTL=1s", "PIKIT_SIM_SPEED=max"}, 20);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "") << "main never ran";
    EXPECT_EQ(r.err.rfind("pikit-sim: environment: PIKIT_SIM_UNTL: unknown variable (known: PIKIT_SIM_SCENARIO, ", 0), 0u)
        << r.err;
    EXPECT_NE(r.err.find("PIKIT_SIM_UNTIL"), std::string::npos);
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line";
}

TEST(PikitCheck, GoodAndBadScenariosWithoutRunningAnything) {
    const std::string dir = temp_dir();
    const std::string good = write_file(dir, "good.yaml", keypad_scenario(kSeven, "  - {stdout: x}\n"));
    // A bad device and two bad expectations: all three are named at once.
    const std::string bad = write_file(dir, "bad.yaml",
                                       "devices:\n  - {type: led, name: lamp, pin: 40}\n"
                                       "expect:\n  - {stdout: x, by: soon}\n  - {pin: 0, level: high, at: 1s}\n"
                                       "  - {device: lamb, shows: on, value: true}\n");
    RunResult r = pikit({"check", good, bad});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, good + ": ok\n");
    EXPECT_EQ(r.err.rfind(bad + ": devices[0].pin: bad pin", 0), 0u) << r.err;
    EXPECT_NE(
        r.err.find("\n" + bad + ": expect[0].by: unparsable duration (expected e.g. 500ms, 2.5s, 2min, 80us, 100ns) 'soon'\n" +
                   bad + ": expect[2].device: no device of that name in the scenario 'lamb'\n"),
        std::string::npos)
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 3) << r.err;
    r = pikit({"check", source_path("sim/scenarios/keypad-display-demo.yaml")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

}  // namespace

namespace {

// pikit devices prints from the models' declarations: each type with the
// module it is, and for one type its settings (what each takes, its
// default), its actions with their arguments and what it shows.
TEST(PikitDevices, TypesAndOneTypeInFullFromTheDeclarations) {
    RunResult r = pikit({"devices"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("\nbc7278          display and keypad controller"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nled             "), std::string::npos) << r.out;

    r = pikit({"devices", "bc7278"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("bc7278: display and keypad controller", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("  bounce.falls: a whole number, 1 to 20; default 3\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  press: a key held down for `hold`, then let go\n      key: a whole number, 1 to 31; required\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  display (text): the four digits as a person reads them"), std::string::npos) << r.out;

    r = pikit({"devices", "bc727"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("no device type 'bc727' (known: aht20, bc7278, "), std::string::npos) << r.err;
}

}  // namespace
