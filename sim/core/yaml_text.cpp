// Reading a scenario's YAML text into a Config: the hardening of what
// yaml-cpp takes without a word but a scenario must not contain (a second
// document, anchors and aliases, a key given twice, a quote never closed).
#include <yaml-cpp/eventhandler.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <sstream>

#include "config.h"

namespace pikit::sim {

namespace {

// yaml-cpp reads a quoted scalar that is never closed up to the end of the
// input and takes it as complete. Its mark points at the scalar (or at an
// anchor or tag before it); find the opening quote and check that it closes.
bool quote_closes(const std::string& text, std::size_t pos) {
    while (pos < text.size() && (text[pos] == '&' || text[pos] == '!')) {
        while (pos < text.size() && text[pos] != ' ' && text[pos] != '\t' && text[pos] != '\n') ++pos;
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n')) ++pos;
    }
    if (pos >= text.size() || (text[pos] != '"' && text[pos] != '\'')) return true;  // plain or block scalar
    const char q = text[pos];
    for (std::size_t i = pos + 1; i < text.size(); ++i) {
        if (q == '"' && text[i] == '\\') {
            ++i;
        } else if (text[i] == q) {
            if (q == '\'' && i + 1 < text.size() && text[i + 1] == '\'') ++i;  // '' is a quote inside
            else return true;
        }
    }
    return false;
}

// Everything yaml-cpp takes without a word but a scenario must not contain:
// a key given twice in one mapping (yaml-cpp keeps both, and a lookup sees
// only the first) and an unterminated quoted value.
void check_tree(const YAML::Node& n, const std::string& text, const std::string& file, const std::string& path) {
    const std::string here = path.empty() ? "top level" : path;
    if (n.IsScalar()) {
        if (n.Tag() == "!" && !quote_closes(text, static_cast<std::size_t>(std::max(0, n.Mark().pos))))
            throw ScenarioError(file + ": line " + std::to_string(n.Mark().line + 1) + ": " + here +
                                ": quoted value without its closing quote '" + flat_text(n) + "'");
    } else if (n.IsSequence()) {
        for (std::size_t i = 0; i < n.size(); ++i) check_tree(n[i], text, file, path + "[" + std::to_string(i) + "]");
    } else if (n.IsMap()) {
        std::vector<std::pair<std::string, int>> seen;  // key, line
        for (const auto& kv : n) {
            std::string key = kv.first.IsScalar() ? kv.first.Scalar() : flat_text(kv.first);
            std::string sub = path.empty() ? key : path + "." + key;
            for (const auto& s : seen)
                if (kv.first.IsScalar() && s.first == key)
                    throw ScenarioError(file + ": " + sub + ": given twice (lines " + std::to_string(s.second) + " and " +
                                        std::to_string(kv.first.Mark().line + 1) + ") '" + flat_text(kv.second) + "'");
            if (kv.first.IsScalar()) seen.emplace_back(key, kv.first.Mark().line + 1);
            check_tree(kv.first, text, file, sub);
            check_tree(kv.second, text, file, sub);
        }
    }
}

// One pass over the stream's events, before anything builds a tree from it:
// where each document starts, and the first anchor or alias. A scenario
// needs neither, and an alias is where YAML hides its size: a few lines of
// nested anchors, each alias list ten deep, stand for billions of values
// that every later walk of the tree would visit.
class StreamCheck final : public YAML::EventHandler {
public:
    std::vector<YAML::Mark> starts;
    std::optional<YAML::Mark> reference;  // the first anchor or alias
    void OnDocumentStart(const YAML::Mark& mark) override { starts.push_back(mark); }
    void OnDocumentEnd() override {}
    void OnNull(const YAML::Mark& mark, YAML::anchor_t anchor) override { anchored(mark, anchor); }
    void OnAlias(const YAML::Mark& mark, YAML::anchor_t) override { anchored(mark, 1); }
    void OnScalar(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor, const std::string&) override {
        anchored(mark, anchor);
    }
    void OnSequenceStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor, YAML::EmitterStyle::value) override {
        anchored(mark, anchor);
    }
    void OnSequenceEnd() override {}
    void OnMapStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor, YAML::EmitterStyle::value) override {
        anchored(mark, anchor);
    }
    void OnMapEnd() override {}

private:
    void anchored(const YAML::Mark& mark, YAML::anchor_t anchor) {
        if (anchor != YAML::NullAnchor && !reference) reference = mark;
    }
};

// The anchor (&name) or alias (*name) that a node's mark points at; a tag
// may come before an anchor ("!!str &a 5").
std::string reference_at(const std::string& text, std::size_t pos) {
    const auto blank = [&](std::size_t i) { return std::isspace(static_cast<unsigned char>(text[i])) != 0; };
    while (pos < text.size() && text[pos] == '!') {
        while (pos < text.size() && !blank(pos)) ++pos;
        while (pos < text.size() && blank(pos)) ++pos;
    }
    std::size_t end = pos;
    while (end < text.size() && !blank(end) && text[end] != ',' && text[end] != ']' && text[end] != '}') ++end;
    return text.substr(pos, end - pos);
}

// yaml-cpp's Load() reads the first document and ignores the rest, and its
// LoadAll() never returns for some malformed streams (", x"), finding empty
// documents without end. So count the documents ourselves, stopping at two;
// and refuse anchors and aliases before Load() resolves them.
void check_stream(const std::string& text, const std::string& file) {
    std::istringstream in(text);
    YAML::Parser parser(in);
    StreamCheck events;
    while (events.starts.size() < 2 && !events.reference && parser.HandleNextDocument(events)) {}
    if (events.reference)
        throw ScenarioError(file + ": line " + std::to_string(events.reference->line + 1) +
                            ": YAML anchors and aliases are refused; a scenario writes every value out '" +
                            reference_at(text, static_cast<std::size_t>(std::max(0, events.reference->pos))) + "'");
    if (events.starts.size() > 1)
        throw ScenarioError(file + ": line " + std::to_string(events.starts[1].line + 1) +
                            ": a second YAML document, or text after the first that belongs to none; a scenario "
                            "is one document");
}

}  // namespace

Config Config::parse(const std::string& text, const std::string& file) {
    try {
        check_stream(text, file);
        YAML::Node root = YAML::Load(text);
        if (root.IsNull()) root = YAML::Node(YAML::NodeType::Map);
        if (!root.IsMap()) throw ScenarioError(file + ": top level: expected a mapping of settings");
        check_tree(root, text, file, "");
        return Config(root, file, "");
    } catch (const YAML::Exception& e) {
        throw ScenarioError(file + ": line " + std::to_string(e.mark.line + 1) + ": " + e.msg);
    }
}

}  // namespace pikit::sim
