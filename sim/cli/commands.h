// The pikit command's subcommands. Each registers its options on the CLI11
// app and returns what runs it once the command line is parsed.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

namespace pikit::cli {

// Exit statuses of the command, as tools people know use them.
constexpr int kOk = 0;
constexpr int kFailed = 1;  // pikit test: an expectation failed
constexpr int kUsage = 2;   // a bad command line or a bad scenario

using Runner = std::function<int()>;

// `program` holds what follows `--` on the command line (the program to run
// and its arguments), for the subcommands that run one.
Runner add_run(CLI::App& app, const std::vector<std::string>& program);
Runner add_test(CLI::App& app, const std::vector<std::string>& program);
Runner add_check(CLI::App& app);
Runner add_devices(CLI::App& app);

// Every problem of a scenario's text, each one line naming the file; none
// when it can be wired.
std::vector<std::string> scenario_problems(const std::string& text, const std::string& file);

// A refusal of the kit's run variables in the words of the command line:
// "environment: PIKIT_SIM_UNTIL: unparsable ..." -> "--until: unparsable ...".
std::string in_option_words(std::string message);

// "pikit <sub>: <message>" on standard error; returns kUsage.
int usage_error(const std::string& sub, const std::string& message);

}  // namespace pikit::cli
