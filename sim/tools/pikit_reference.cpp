// pikit-reference: writes what is generated from the device models'
// declarations into the source tree, or checks that what is there is
// current:
//   pikit-reference --write SOURCE_DIR   docs/devices.md, docs/scenario.schema.json
//   pikit-reference --check SOURCE_DIR   status 1 (saying what to run) when either is stale
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "core/reference.h"

namespace {

const char* const kUsage =
    "usage: pikit-reference --write SOURCE_DIR | --check SOURCE_DIR | --print devices|schema\n"
    "\n"
    "Generates the device reference (docs/devices.md) and the scenario's JSON Schema\n"
    "(docs/scenario.schema.json) from the device models' declarations.\n"
    "  --write DIR   writes both under DIR (the source tree)\n"
    "  --check DIR   exit status 1 when either file under DIR differs from what\n"
    "                --write would write\n"
    "  --print WHAT  writes one of them to standard output\n";

std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Generated {
    const char* path;  // relative to the source tree
    std::string text;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc != 3) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string mode = argv[1], where = argv[2];
    if (mode == "--print") {
        if (where != "devices" && where != "schema") {
            std::fputs(kUsage, stderr);
            return 2;
        }
        std::fputs((where == "devices" ? pikit::sim::device_reference() : pikit::sim::scenario_schema()).c_str(), stdout);
        return 0;
    }
    if (mode != "--write" && mode != "--check") {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const Generated files[] = {{"docs/devices.md", pikit::sim::device_reference()},
                               {"docs/scenario.schema.json", pikit::sim::scenario_schema()}};
    int status = 0;
    for (const Generated& f : files) {
        const std::string path = where + "/" + f.path;
        if (mode == "--check") {
            if (read(path) != f.text) {
                std::fprintf(stderr,
                             "pikit-reference: %s is stale: the device models' declarations say otherwise; "
                             "regenerate it with: build/bin/pikit-reference --write .\n",
                             path.c_str());
                status = 1;
            }
            continue;
        }
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << f.text;
        out.close();
        if (!out) {
            std::fprintf(stderr, "pikit-reference: cannot write %s\n", path.c_str());
            status = 2;
        }
    }
    return status;
}
