#include "view/saved_scenario.h"

#include <algorithm>

namespace pikit::sim::view {

namespace {

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    while (from < text.size()) {
        const std::size_t nl = text.find('\n', from);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(from));
            break;
        }
        lines.push_back(text.substr(from, nl - from));
        from = nl + 1;
    }
    return lines;
}

std::string join(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += l + "\n";
    return out;
}

// What a line holds for YAML: nothing (blank, or a comment only).
bool empty_for_yaml(const std::string& line) {
    const auto first = line.find_first_not_of(" \t\r");
    return first == std::string::npos || line[first] == '#';
}

std::string list_of(const std::vector<std::string>& items) {
    std::string out = "stimuli:\n";
    for (const auto& e : items) out += "  - " + e + "\n";
    return out;
}

}  // namespace

std::string flow_line(const YAML::Node& entry) {
    YAML::Emitter e;
    e.SetMapFormat(YAML::Flow);
    e.SetSeqFormat(YAML::Flow);
    e << entry;
    return e.c_str();
}

std::string with_stimuli(const std::string& text, const std::vector<std::string>& entries) {
    if (entries.empty()) return text;
    YAML::Node root = YAML::Load(text);
    if (!root || root.IsNull()) return list_of(entries);
    if (!root.IsMap() || root.Style() == YAML::EmitterStyle::Flow) {
        // A scenario written as one flow mapping: written anew, in full.
        YAML::Node copy = YAML::Clone(root);
        for (const auto& e : entries) copy["stimuli"].push_back(YAML::Load(e));
        return YAML::Dump(copy) + "\n";
    }
    std::vector<std::string> lines = split_lines(text);
    // Where the top-level `stimuli:` is, and where the next key begins.
    int key_line = -1;
    int next_line = static_cast<int>(lines.size());
    YAML::Node list;
    for (const auto& kv : root) {
        if (kv.first.Scalar() == "stimuli") {
            key_line = kv.first.Mark().line;
            list = kv.second;
        }
    }
    if (key_line >= 0)
        for (const auto& kv : root)
            if (kv.first.Mark().line > key_line) next_line = std::min(next_line, kv.first.Mark().line);
    if (key_line < 0) return join(lines) + list_of(entries);

    if (list.IsSequence() && list.size() > 0 && list.Style() != YAML::EmitterStyle::Flow) {
        // A block list: the new items go after its last one, at the column of its dashes.
        std::string indent;
        int last = key_line;
        for (int i = key_line + 1; i < next_line; ++i) {
            if (empty_for_yaml(lines[static_cast<std::size_t>(i)])) continue;
            last = i;
            const std::string& l = lines[static_cast<std::size_t>(i)];
            const auto first = l.find_first_not_of(' ');
            if (indent.empty() && first != std::string::npos && l[first] == '-') indent = l.substr(0, first);
        }
        std::vector<std::string> added;
        for (const auto& e : entries) added.push_back(indent + "- " + e);
        lines.insert(lines.begin() + last + 1, added.begin(), added.end());
        return join(lines);
    }
    // Empty, null or a flow list: the list is written anew at the end.
    std::vector<std::string> items;
    if (list.IsSequence())
        for (const auto& item : list) items.push_back(flow_line(item));
    items.insert(items.end(), entries.begin(), entries.end());
    lines.erase(lines.begin() + key_line, lines.begin() + next_line);
    return join(lines) + list_of(items);
}

}  // namespace pikit::sim::view
