// pikit: the simulated kit's command. Runs a program on the kit, checks
// scenarios, lists the device types, and tests a program against the
// expectations of its scenarios for CI.
#include <cstdio>
#include <cstring>
#include <iostream>

#include "commands.h"

namespace pikit::cli {

int usage_error(const std::string& sub, const std::string& message) {
    std::fprintf(stderr, "pikit%s%s: %s\n", sub.empty() ? "" : " ", sub.c_str(), message.c_str());
    return kUsage;
}

}  // namespace pikit::cli

int main(int argc, char** argv) {
    using namespace pikit::cli;
    // What follows `--` is the program to run and its own arguments, never
    // pikit's options: split it off before CLI11 sees the line.
    std::vector<std::string> args, program;
    bool after = false;
    for (int i = 1; i < argc; ++i) {
        if (!after && std::strcmp(argv[i], "--") == 0) after = true;
        else (after ? program : args).emplace_back(argv[i]);
    }
    const bool dashes = after;

    CLI::App app{
        "pikit: run and test Raspberry Pi programs on the simulated kit.\n"
        "A program built against the kit runs as on a Pi with the modules its scenario wires;\n"
        "these commands set the kit's run variables for it and check scenarios and expectations."};
    app.name("pikit");
    bool version = false;
    app.add_flag("--version", version, "Print pikit's version and exit");
    // A subcommand is required, but --version alone is a whole command line.
    if (args.size() == 1 && args[0] == "--version") {
        std::printf("pikit 1.0.0\n");
        return kOk;
    }
    app.require_subcommand(1);
    app.footer(
        "Examples:\n"
        "  pikit run --until 5s -- build/bin/keypad-display-demo\n"
        "  pikit run --scenario my.yaml --set sensor.humidity=80 --log - -- ./my-program\n"
        "  pikit check my.yaml\n"
        "  pikit devices bc7278\n"
        "  pikit test --junit report.xml tests/*.yaml -- ./my-program\n"
        "Run 'pikit <command> --help' for a command's options. Documentation: docs/testing.md.");

    const Runner run = add_run(app, program);
    const Runner test = add_test(app, program);
    const Runner check = add_check(app);
    const Runner devices = add_devices(app);

    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::Success& e) {  // --help
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string sub;
        for (const CLI::App* s : app.get_subcommands()) sub = s->get_name();
        usage_error(sub, e.what());
        std::fprintf(stderr, "Run 'pikit%s%s --help' for its usage.\n", sub.empty() ? "" : " ", sub.c_str());
        return kUsage;
    }
    const CLI::App* chosen = app.get_subcommands().front();
    const std::string name = chosen->get_name();
    if (dashes && name != "run" && name != "test") return usage_error(name, "takes no program after '--'");
    if (name == "run") return run();
    if (name == "test") return test();
    if (name == "check") return check();
    return devices();
}
