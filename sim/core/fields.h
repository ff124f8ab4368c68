// Settings declared once, bound to the members of a model's settings struct:
//
//   Fields<Button::Settings>()
//       .pin("pin", &S::pin, "the button's line")
//       .duration("bounce_time", &S::bounce_time, 100_us, 50_ms, "how long a contact bounces")
//
// Each entry is a Setting (key, kind, range, unit, meaning) and what reads it
// into the struct. The default is the struct's own: what a default-made
// struct holds is what the reference shows, so it is written in one place.
// Reading a mapping checks every key it holds against the declaration and
// collects every problem (a bad value, a missing or unknown key), not only
// the first, so that a scenario can be checked whole.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "config.h"
#include "problems.h"
#include "setting.h"
#include "shown.h"

namespace pikit::sim {

namespace fields_detail {
template <class T>
struct Plain {
    using type = T;
    static constexpr bool optional = false;
};
template <class T>
struct Plain<std::optional<T>> {
    using type = T;
    static constexpr bool optional = true;
};
}  // namespace fields_detail

template <class S>
class Fields {
public:
    // A member of S, or a part of one (one element of an array).
    template <class M>
    using Ref = std::function<M&(S&)>;

    struct Entry {
        Setting setting;
        // Reads the key, present in c, into s; a bad value throws ScenarioError.
        std::function<void(const Config& c, const Setting& d, S& s, Problems& p)> read;
        // The value s holds, as a scenario writes it and as JSON.
        std::function<Written(const S& s, const Setting& d)> value;
    };

    // ---- one value each; M may be std::optional<...> (absent: empty) ----
    template <class M>
    Fields& flag(const char* key, M S::*m, const char* meaning) {
        return flag(key, member(m), meaning);
    }
    template <class M>
    Fields& flag(const char* key, Ref<M> at, const char* meaning) {
        return scalar<M>(
            {key, Kind::Flag, meaning}, at, [](const Config& c, const Setting& s) { return read_flag(c, s); },
            [](bool v) { return written_flag(v); });
    }

    template <class M>
    Fields& integer(const char* key, M S::*m, double lo, double hi, const char* meaning) {
        return integer(key, member(m), lo, hi, meaning);
    }
    template <class M>
    Fields& integer(const char* key, Ref<M> at, double lo, double hi, const char* meaning) {
        using T = typename fields_detail::Plain<M>::type;
        Setting s{key, Kind::Integer, meaning};
        s.ranged = true;
        s.lo = lo;
        s.hi = hi;
        return scalar<M>(
            s, at, [](const Config& c, const Setting& d) { return static_cast<T>(read_integer(c, d)); },
            [](T v, const Setting& d) { return written_integer(static_cast<long long>(v), d.hex, d.hi); });
    }
    // A whole number, or one of a few words standing for values of their own
    // (copy_fails: 3 or always).
    template <class M>
    Fields& integer_or(const char* key, M S::*m, double lo, double hi, std::vector<std::pair<const char*, M>> words,
                       const char* meaning) {
        Setting s{key, Kind::Integer, meaning};
        s.ranged = true;
        s.lo = lo;
        s.hi = hi;
        for (const auto& w : words) s.words.emplace_back(w.first);
        return add(
            std::move(s),
            [m, words](const Config& c, const Setting& d, S& v, Problems&) {
                const long long n = read_integer(c, d);
                v.*m = n < 0 && d.words.size() > static_cast<std::size_t>(-1 - n) ? words[static_cast<std::size_t>(-1 - n)].second
                                                                                  : static_cast<M>(n);
            },
            [m, words](const S& v, const Setting&) {
                for (const auto& w : words)
                    if (v.*m == w.second) return written_text(w.first);
                return written_integer(static_cast<long long>(v.*m));
            });
    }

    template <class M>
    Fields& number(const char* key, M S::*m, double lo, double hi, const char* meaning) {
        return number(key, member(m), lo, hi, meaning);
    }
    template <class M>
    Fields& number(const char* key, Ref<M> at, double lo, double hi, const char* meaning) {
        Setting s{key, Kind::Number, meaning};
        s.ranged = true;
        s.lo = lo;
        s.hi = hi;
        return scalar<M>(
            s, at, [](const Config& c, const Setting& d) { return read_number(c, d); },
            [](double v) { return written_number(v); });
    }

    template <class M>
    Fields& duration(const char* key, M S::*m, Time lo, Time hi, const char* meaning) {
        return duration(key, member(m), lo, hi, meaning);
    }
    template <class M>
    Fields& duration(const char* key, Ref<M> at, Time lo, Time hi, const char* meaning) {
        Setting s{key, Kind::Duration, meaning};
        s.lo_time = lo;
        s.hi_time = hi;
        return scalar<M>(
            s, at, [](const Config& c, const Setting& d) { return read_duration(c, d); },
            [](Time v) { return v == kNever ? written_none("never") : written_duration(v); });
    }

    template <class M>
    Fields& pin(const char* key, M S::*m, const char* meaning) {
        return scalar<M>(
            {key, Kind::Pin, meaning}, member(m), [](const Config& c, const Setting& d) { return read_pin(c, d); },
            [](int v) { return written_integer(v); });
    }

    Fields& line(const char* key, LineRef S::*m, const char* meaning) { return line(key, member(m), meaning); }
    Fields& line(const char* key, Ref<LineRef> at, const char* meaning) {
        return scalar<LineRef>(
            {key, Kind::Line, meaning}, at, [](const Config& c, const Setting& d) { return read_line(c, d); },
            [](const LineRef& v) { return written_line(v); });
    }

    Fields& lines(const char* key, std::vector<LineRef> S::*m, std::size_t most, const char* meaning) {
        Setting s{key, Kind::Lines, meaning};
        s.ranged = true;
        s.hi = static_cast<double>(most);
        return scalar<std::vector<LineRef>>(
            s, member(m), [](const Config& c, const Setting& d) { return read_lines(c, d); },
            [](const std::vector<LineRef>& v) { return written_lines(v); });
    }

    template <class M>
    Fields& pins(const char* key, M S::*m, const char* meaning) {
        return scalar<M>(
            {key, Kind::Pins, meaning}, member(m), [](const Config& c, const Setting& d) { return read_pins(c, d); },
            [](std::uint32_t v) {
                if (v == 0) return written_flag(false);
                if (v == 0xFFFFFFFFu) return written_flag(true);
                std::vector<LineRef> pins;
                for (int p = 0; p < 32; ++p)
                    if (v & (1u << p)) pins.push_back({p, {}});
                return written_lines(pins);
            });
    }

    template <class M>
    Fields& text(const char* key, M S::*m, const char* meaning) {
        return scalar<M>(
            {key, Kind::Text, meaning}, member(m), [](const Config& c, const Setting& d) { return read_text(c, d); },
            [](const std::string& v) { return written_text(v); });
    }

    // A file the run writes for people; empty: none. It is held to the
    // rules of the run's own outputs (Config::output_file) and claimed when
    // read, so no later output may name it; `what` names it in refusals
    // ("the buzzer's sound").
    Fields& file(const char* key, std::string S::*m, const char* what, const char* meaning) {
        const std::string w = what;
        return scalar<std::string>(
            {key, Kind::File, meaning}, member(m),
            [w](const Config& c, const Setting& d) { return c.output_file(d.key.c_str(), w); },
            [](const std::string& v) { return v.empty() ? written_none() : written_text(v); });
    }

    template <class M>
    Fields& bytes(const char* key, M S::*m, std::size_t fewest, std::size_t most, const char* meaning) {
        Setting s{key, Kind::Bytes, meaning};
        s.ranged = true;
        s.lo = static_cast<double>(fewest);
        s.hi = static_cast<double>(most);
        return scalar<M>(
            s, member(m), [](const Config& c, const Setting& d) { return read_bytes(c, d); },
            [](const std::vector<std::uint8_t>& v) { return written_bytes(v); });
    }

    // One word of a short list, each standing for a value of the member.
    template <class M>
    Fields& word(const char* key, M S::*m, std::vector<std::pair<const char*, M>> words, const char* meaning) {
        return word(key, member(m), std::move(words), meaning);
    }
    template <class M>
    Fields& word(const char* key, Ref<M> at, std::vector<std::pair<const char*, M>> words, const char* meaning) {
        Setting s{key, Kind::Word, meaning};
        for (const auto& w : words) s.words.emplace_back(w.first);
        return add(
            std::move(s),
            [at, words](const Config& c, const Setting& d, S& v, Problems&) { at(v) = words[read_word(c, d)].second; },
            [at, words](const S& v, const Setting&) {
                const M& now = at(const_cast<S&>(v));
                for (const auto& w : words)
                    if (now == w.second) return written_text(w.first);
                return written_none();
            });
    }

    // A nested mapping whose settings go to members of the same struct;
    // `given` runs first when the mapping is there (defaults that hold only
    // with it).
    Fields& group(const char* key, Fields inner, const char* meaning, std::function<void(S&)> given = {}) {
        Setting s{key, Kind::Group, meaning};
        s.fields = inner.declaration();
        return add(
            std::move(s),
            [inner, given](const Config& c, const Setting& d, S& v, Problems& p) {
                const Config g = c.child(d.key.c_str());
                if (given) given(v);
                inner.read(g, v, p);
            },
            [inner](const S& v, const Setting&) { return inner.written(v); });
    }

    // A list of mappings, each read into an item of its own.
    template <class I>
    Fields& list(const char* key, std::vector<I> S::*m, Fields<I> item, const char* meaning) {
        Setting s{key, Kind::List, meaning};
        s.fields = item.declaration();
        return add(
            std::move(s),
            [m, item](const Config& c, const Setting& d, S& v, Problems& p) {
                for (const Config& e : c.list(d.key.c_str())) {
                    I one{};
                    item.read(e, one, p);
                    (v.*m).push_back(one);
                }
            },
            [m, item](const S& v, const Setting&) {
                Written w{"[", "["};
                for (std::size_t i = 0; i < (v.*m).size(); ++i) {
                    const Written one = item.written((v.*m)[i]);
                    w.text += (i ? ", " : "") + one.text;
                    w.json += (i ? "," : "") + one.json;
                }
                w.text += "]";
                w.json += "]";
                return w;
            });
    }

    // A setting of a kind of its own: `read` takes it (present) from c.
    Fields& custom(Setting s, std::function<void(const Config& c, S& v)> read, std::function<Written(const S&)> value) {
        return add(
            std::move(s), [read](const Config& c, const Setting&, S& v, Problems&) { read(c, v); },
            [value](const S& v, const Setting&) { return value(v); });
    }

    // Every setting of a base of S (the settings every part on a bus has).
    template <class B>
    Fields& include(const Fields<B>& base) {
        static_assert(std::is_base_of<B, S>::value, "include() takes the fields of a base");
        for (const auto& e : base.entries()) {
            entries_.push_back({e.setting, [r = e.read](const Config& c, const Setting& d, S& v, Problems& p) { r(c, d, v, p); },
                                [w = e.value](const S& v, const Setting& d) { return w(v, d); }});
        }
        for (const auto& fill : base.derived()) derived_.push_back([fill](S& v, const Config& c) { fill(v, c); });
        for (const auto& rule : base.rules()) rules_.push_back([rule](const S& v, const Config& c) { rule(v, c); });
        return *this;
    }

    // Defaults that follow from other values (a release that bounces as its
    // press does unless it says otherwise): run once the values are read,
    // with the entry to see which keys were given.
    Fields& derive(std::function<void(S& v, const Config& c)> fill) {
        derived_.push_back(std::move(fill));
        return *this;
    }

    // A condition over several values, checked once each has been read
    // without a problem; it refuses through c.fail(key, why).
    Fields& rule(std::function<void(const S& v, const Config& c)> check) {
        rules_.push_back(std::move(check));
        return *this;
    }

    // ---- what the last entry added says beyond its kind ----
    Fields& unit(const char* u) {
        return last([&](Setting& s) { s.unit = u; });
    }
    Fields& hex() {
        return last([](Setting& s) { s.hex = true; });
    }
    Fields& required() {
        return last([](Setting& s) { s.required = true; });
    }
    Fields& defaults(const char* text) {
        return last([&](Setting& s) { s.default_text = text; });
    }
    Fields& when(const char* rule_text) {
        return last([&](Setting& s) { s.rule = rule_text; });
    }

    // ---- use ----
    const std::vector<Entry>& entries() const { return entries_; }
    const std::vector<std::function<void(const S&, const Config&)>>& rules() const { return rules_; }
    const std::vector<std::function<void(S&, const Config&)>>& derived() const { return derived_; }

    // The declaration, with each default as a default-made S holds it
    // (unless the entry says otherwise).
    std::vector<Setting> declaration() const {
        const S fresh{};
        std::vector<Setting> out;
        for (const Entry& e : entries_) {
            Setting s = e.setting;
            if (s.default_text.empty() && !s.required && s.kind != Kind::Group && s.kind != Kind::List)
                s.default_text = e.value(fresh, e.setting).text;
            out.push_back(std::move(s));
        }
        return out;
    }

    // Reads a mapping into s: every key declared and present is read, every
    // problem collected; keys nobody declared (other than `also`, the keys
    // the caller reads itself) are problems too. The rules run when the
    // values they look at were all read.
    void read(const Config& c, S& s, Problems& p, const std::vector<std::string>& also = {}) const {
        const std::size_t before = p.size();
        std::vector<std::string> known = also;
        for (const Entry& e : entries_) {
            known.push_back(e.setting.key);
            const char* key = e.setting.key.c_str();
            if (!c.has(key)) {
                if (e.setting.required) p.add(c.where() + ": missing '" + e.setting.key + "' (" + e.setting.takes() + ")");
                continue;
            }
            p.guard([&] { e.read(c, e.setting, s, p); });
        }
        for (const std::string& k : c.keys_other_than(known)) p.add(c.at(k) + ": unknown setting (known: " + joined(known) + ")");
        if (p.size() != before) return;
        for (const auto& fill : derived_) fill(s, c);
        for (const auto& check : rules_)
            if (!p.guard([&] { check(s, c); })) return;
    }

    // What s holds for every entry, as a mapping.
    Written written(const S& s) const {
        Written w{"{", "{"};
        bool first = true;
        for (const Entry& e : entries_) {
            const Written one = e.value(s, e.setting);
            w.text += (first ? "" : ", ") + e.setting.key + ": " + one.text;
            w.json += (first ? "" : ",") + json_key(e.setting.key) + one.json;
            first = false;
        }
        w.text += "}";
        w.json += "}";
        return w;
    }

private:
    template <class M>
    static Ref<M> member(M S::*m) {
        return [m](S& s) -> M& { return s.*m; };
    }

    static std::string json_key(const std::string& k) { return json_string(k) + ":"; }
    static std::string joined(const std::vector<std::string>& words) {
        std::string s;
        for (const auto& w : words) s += (s.empty() ? "" : ", ") + w;
        return s;
    }

    Fields& add(Setting s, std::function<void(const Config&, const Setting&, S&, Problems&)> read,
                std::function<Written(const S&, const Setting&)> value) {
        entries_.push_back({std::move(s), std::move(read), std::move(value)});
        return *this;
    }

    // A single value of member type M (T, or std::optional<T>), read as T.
    template <class M, class Read, class Write>
    Fields& scalar(Setting s, Ref<M> at, Read read_value, Write write_value) {
        using Traits = fields_detail::Plain<M>;
        using T = typename Traits::type;
        return add(
            std::move(s),
            [at, read_value](const Config& c, const Setting& d, S& v, Problems&) { at(v) = static_cast<T>(read_value(c, d)); },
            [at, write_value](const S& v, const Setting& d) {
                const M& now = at(const_cast<S&>(v));
                if constexpr (Traits::optional) {
                    if (!now) return written_none();
                    return write(write_value, *now, d);
                } else {
                    return write(write_value, now, d);
                }
            });
    }

    // A value writer takes the value, or the value and its declaration.
    template <class W, class T>
    static Written write(const W& w, const T& v, const Setting& d) {
        if constexpr (std::is_invocable_v<W, const T&, const Setting&>) return w(v, d);
        else return w(v);
    }

    template <class F>
    Fields& last(F&& change) {
        if (!entries_.empty()) change(entries_.back().setting);
        return *this;
    }

    std::vector<Entry> entries_;
    std::vector<std::function<void(S&, const Config&)>> derived_;
    std::vector<std::function<void(const S&, const Config&)>> rules_;
};

}  // namespace pikit::sim
