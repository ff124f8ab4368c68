// pikit devices: the device types a scenario can wire, printed from the
// models' own declarations (the same ones the scenario reader checks values
// against and docs/devices.md is generated from).
#include <cstdio>
#include <memory>

#include "commands.h"
#include "core/model.h"
#include "core/setting.h"

namespace pikit::cli {

namespace {

std::string default_words(const sim::Setting& s) {
    if (s.required) return "required";
    if (s.kind == sim::Kind::Group || s.kind == sim::Kind::List || s.default_text.empty()) return "";
    return "default " + s.default_text;
}

// One line per setting: key, what it takes, its default; its meaning below.
// A mapping's or a list's own settings follow, named by their path.
void print_settings(const std::vector<sim::Setting>& settings, const std::string& indent, const std::string& prefix = "") {
    for (const sim::Setting& s : settings) {
        const std::string d = default_words(s);
        std::printf("%s%s: %s%s\n", indent.c_str(), (prefix + s.key).c_str(), s.takes().c_str(),
                    d.empty() ? "" : ("; " + d).c_str());
        std::printf("%s    %s%s\n", indent.c_str(), s.meaning.c_str(), s.rule.empty() ? "" : (" (" + s.rule + ")").c_str());
        if (s.kind == sim::Kind::Group) print_settings(s.fields, indent, prefix + s.key + ".");
        if (s.kind == sim::Kind::List) print_settings(s.fields, indent, prefix + s.key + "[].");
    }
}

void print_model(const sim::Model& m) {
    std::printf("%s: %s\n\nsettings (besides type and name):\n", m.type.c_str(), m.summary.c_str());
    if (m.settings.empty()) std::printf("  none\n");
    print_settings(m.settings, "  ");
    std::printf("\nactions (a stimulus's action:, with its arguments besides at and device):\n");
    if (m.actions.empty()) std::printf("  none\n");
    for (const sim::Action& a : m.actions) {
        std::printf("  %s: %s\n", a.name.c_str(), a.meaning.c_str());
        print_settings(a.args, "      ");
    }
    std::printf("\nshows (what an expectation's shows: names):\n");
    if (m.shows.empty()) std::printf("  nothing\n");
    for (const sim::ShownKey& k : m.shows)
        std::printf("  %s (%s): %s\n", k.key.c_str(), sim::to_string(k.type), k.meaning.c_str());
}

int devices(const std::string& type) {
    if (type.empty()) {
        for (const sim::Model* m : sim::models()) std::printf("%-15s %s\n", m->type.c_str(), m->summary.c_str());
        std::printf("\n'pikit devices TYPE' for a type's settings, actions and shown values; all of them: docs/devices.md\n");
        return kOk;
    }
    const sim::Model* m = sim::find_model(type);
    if (!m) return usage_error("devices", "no device type '" + type + "' (known: " + sim::known_device_types() + ")");
    print_model(*m);
    return kOk;
}

}  // namespace

Runner add_devices(CLI::App& app) {
    auto type = std::make_shared<std::string>();
    CLI::App* sub = app.add_subcommand("devices", "List the device types a scenario can wire");
    sub->footer(
        "Without TYPE: every device type with the module it is. With TYPE: its settings (what each takes,\n"
        "its default or range), the actions a stimulus gives it, and the values it shows, which\n"
        "expectations look at. The same declarations check scenarios; docs/devices.md lists them all.");
    sub->add_option("type", *type, "Only this type, in full");
    return [type] { return devices(*type); };
}

}  // namespace pikit::cli
