#include "junit.h"

#include <cstdio>

namespace pikit::cli {

namespace {

// Length of the well-formed UTF-8 sequence at s[i], or 0.
std::size_t utf8_length(const std::string& s, std::size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(s[i + k]) >> 6) != 0x2) return 0;
    return n;
}

std::string seconds_text(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", s);
    return buf;
}

}  // namespace

std::string xml_escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        const std::size_t n = utf8_length(text, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD for a byte that is not UTF-8
            ++i;
            continue;
        }
        if (n == 1) {
            switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t' && c != '\r') out += "\xEF\xBF\xBD";
                else out += c;
            }
        } else {
            out.append(text, i, n);
        }
        i += n;
    }
    return out;
}

std::string junit_xml(const std::string& suite, const std::vector<TestCase>& cases, double seconds,
                      const std::string& timestamp) {
    int failures = 0, errors = 0;
    for (const TestCase& c : cases) {
        failures += c.status == TestCase::Status::Failed;
        errors += c.status == TestCase::Status::Error;
    }
    const std::string counts = " tests=\"" + std::to_string(cases.size()) + "\" failures=\"" + std::to_string(failures) +
                               "\" errors=\"" + std::to_string(errors) + "\" skipped=\"0\"";
    std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    x += "<testsuites name=\"" + xml_escape(suite) + "\"" + counts + " time=\"" + seconds_text(seconds) + "\">\n";
    x += "  <testsuite name=\"" + xml_escape(suite) + "\"" + counts + " time=\"" + seconds_text(seconds) + "\" timestamp=\"" +
         xml_escape(timestamp) + "\">\n";
    for (const TestCase& c : cases) {
        const char* status = c.status == TestCase::Status::Passed ? "run" : "fail";
        x += "    <testcase name=\"" + xml_escape(c.name) + "\" classname=\"" + xml_escape(c.classname) + "\" time=\"" +
             seconds_text(c.seconds) + "\" status=\"" + status + "\">\n";
        if (c.status != TestCase::Status::Passed) {
            const char* tag = c.status == TestCase::Status::Failed ? "failure" : "error";
            x += std::string("      <") + tag + " message=\"" + xml_escape(c.message) + "\" type=\"" +
                 (c.status == TestCase::Status::Failed ? "expectation" : "scenario") + "\">" + xml_escape(c.details) + "</" +
                 tag + ">\n";
        }
        std::string out = c.status == TestCase::Status::Passed ? c.details + c.output : c.output;
        if (!out.empty()) x += "      <system-out>" + xml_escape(out) + "</system-out>\n";
        if (!c.errors.empty()) x += "      <system-err>" + xml_escape(c.errors) + "</system-err>\n";
        x += "    </testcase>\n";
    }
    x += "  </testsuite>\n</testsuites>\n";
    return x;
}

}  // namespace pikit::cli
