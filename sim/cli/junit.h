// A JUnit XML report, as `ctest --output-junit` writes one and CI services
// (GitHub Actions' test reporters, GitLab's `artifacts:reports:junit`,
// Jenkins) read: one <testsuite> in a <testsuites>, one <testcase> per
// scenario, a <failure> with its message for each that failed.
#pragma once

#include <string>
#include <vector>

namespace pikit::cli {

struct TestCase {
    std::string name;       // the scenario's name
    std::string classname;  // the program
    double seconds = 0;     // wall time of its run
    enum class Status { Passed, Failed, Error } status = Status::Passed;
    std::string message;  // one line: why it failed
    std::string details;  // every expectation's outcome, one a line
    std::string output;   // what the program wrote (standard output)
    std::string errors;   // its standard error
};

// The whole document.
std::string junit_xml(const std::string& suite, const std::vector<TestCase>& cases, double seconds, const std::string& timestamp);

// Text made safe for XML: the five special characters escaped, and bytes an
// XML document cannot hold (control characters, broken UTF-8) replaced.
std::string xml_escape(const std::string& text);

}  // namespace pikit::cli
