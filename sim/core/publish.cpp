// What a run leaves for people and tools, written from one place: the VCD
// trace of the lines, the log (PIKIT_SIM_LOG) and the event stream
// (PIKIT_SIM_EVENTS, and its listeners inside the process: the live view).
// The lines write the trace themselves as they change (lines.cpp); the log
// and the event stream get the run's start, what devices show, reports,
// contention, the program's output and the run's end here.
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <string>
#include <variant>

#include "board_impl.h"

namespace pikit::sim {

namespace {

// Members in the order they are set: "t_ns" and "event" first, as readers
// of the stream expect.
using Json = nlohmann::ordered_json;

// A shown value as JSON. Numbers keep six significant digits, as the log
// writes them; a record is an object.
Json scalar_json(const Shown::Scalar& v) {
    struct V {
        Json operator()(bool b) const { return b; }
        Json operator()(std::int64_t i) const { return i; }
        Json operator()(double d) const {
            if (!std::isfinite(d)) return nullptr;  // JSON has no NaN or infinity
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.6g", d);
            return Json::parse(buf);
        }
        Json operator()(const std::string& t) const { return t; }
    };
    return std::visit(V{}, v);
}

Json shown_json(const Shown& v) {
    if (!v.is_record()) return scalar_json(v.value());
    Json o = Json::object();
    for (const auto& [name, value] : v.fields()) o[name] = scalar_json(value);
    return o;
}

Json event(Time at, const char* name) {
    Json j;
    j["t_ns"] = at;
    j["event"] = name;
    return j;
}

// Text that is not UTF-8 (a memory dump printed raw, a device's name read
// from a file) becomes U+FFFD: the stream stays JSON.
void emit(EventWriter& w, Time at, const char* name, const Json& j) {
    w.write(at, name, j.dump(-1, ' ', false, Json::error_handler_t::replace));
}

}  // namespace

void Board::Impl::open_outputs() {
    const Options& o = b.options_;
    if (!o.vcd_path.empty()) {
        vcd = std::make_unique<VcdWriter>(o.vcd_path);
        if (!vcd->ok()) throw OptionError("vcd_path", o.vcd_path, "cannot write the trace: " + vcd->error());
        for (int pin = 0; pin < kPins; ++pin) {
            const Pin& p = pins[pin];
            vcd->initial(pin, p.floating ? 'z' : (is_high(p.level) ? '1' : '0'));
        }
    }
    if (!o.log_path.empty()) {
        log = std::make_unique<LogWriter>(o.log_path);
        if (!log->ok()) throw OptionError("log_path", o.log_path, "cannot write the log: " + log->error());
    }
    if (!o.events_path.empty() || !o.event_listeners.empty()) {
        event_stream = std::make_unique<EventWriter>(o.events_path, o.event_listeners);
        if (!o.events_path.empty() && !event_stream->ok())
            throw OptionError("events_path", o.events_path, "cannot write the event stream: " + event_stream->error());
        Json j = event(0, "start");
        j["program"] = o.program;
        j["scenario"] = o.scenario;
        j["speed"] = o.speed == Speed::Max ? "max" : o.speed == Speed::Realtime ? "realtime" : "factor";
        if (o.speed == Speed::Factor) j["speed_factor"] = scalar_json(o.speed_factor);
        j["until_ns"] = o.until == kNever ? Json(nullptr) : Json(o.until);
        j["pin_call_cost_ns"] = o.pin_call_cost;
        emit(*event_stream, 0, "start", j);
    }
}

void Board::show(const Device& from, const std::string& key, Shown value) {
    Impl& im = *impl_;
    auto [it, fresh] = im.shown.try_emplace({from.name(), key});
    Impl::ShownState& st = it->second;
    if (!fresh && st.value == value) return;
    im.settle_if_over();
    st.from = &from;
    st.value = std::move(value);
    if (st.unsettled) return;
    st.unsettled = true;
    im.unsettled.emplace_back(&it->first.second, &st);
    im.unsettled_at = now();
}

void Board::Impl::settle_shown() {
    const Time at = unsettled_at;
    for (auto& [key, st] : unsettled) {
        st->unsettled = false;
        if (st->ever_published && st->published == st->value) continue;  // back where it was
        const Device& from = *st->from;
        if (log) log->line(at, from.label(), *key + ": " + st->value.text());
        if (event_stream) {
            Json j = event(at, "show");
            j["device"] = from.name();
            j["type"] = from.type();
            j["key"] = *key;
            j["value"] = shown_json(st->value);
            emit(*event_stream, at, "show", j);
        }
        if (b.options_.record_history) st->history.push_back({at, st->value});
        st->published = st->value;
        st->ever_published = true;
    }
    unsettled.clear();
}

void Board::Impl::publish_report(const Report& r, const Device* from) {
    if (log) log->line(r.at, r.source, r.kind == ReportKind::Info ? r.text : std::string(to_string(r.kind)) + ": " + r.text);
    if (!event_stream) return;
    Json j = event(r.at, "report");
    j["kind"] = to_string(r.kind);
    j["source"] = r.source;
    j["device"] = from ? Json(from->name()) : Json(nullptr);
    j["text"] = r.text;
    emit(*event_stream, r.at, "report", j);
}

void Board::Impl::publish_contention_over(int pin, Time began) {
    if (log) log->line(b.now(), "board", "contention on " + line_name(pin) + " over after " + format_duration(b.now() - began));
    if (!event_stream) return;
    Json j = event(b.now(), "contention_over");
    j["line"] = line_name(pin);
    j["duration_ns"] = b.now() - began;
    emit(*event_stream, b.now(), "contention_over", j);
}

void Board::program_output(const char* data, std::size_t size) {
    // A signal handler writing while its thread is inside a library call may
    // have interrupted this very lock's holder: its output still reaches the
    // terminal, but not the event stream.
    if (t_in_call > 0 || size == 0) return;
    KitSection kit;
    std::lock_guard<std::mutex> g(impl_->m);
    Impl& im = *impl_;
    if (!im.event_stream || im.outputs_closed) return;
    // Text as the program wrote it.
    Json j = event(now(), "stdout");
    j["text"] = std::string(data, size);
    emit(*im.event_stream, now(), "stdout", j);
}

void Board::Impl::close_outputs(const char* reason) {
    if (!unsettled.empty()) settle_shown();
    if (vcd) vcd->finish(b.now());
    if (log) log->flush();
    if (event_stream && !outputs_closed) {
        Json j = event(b.now(), "end");
        j["reason"] = reason;
        emit(*event_stream, b.now(), "end", j);
    }
    outputs_closed = true;
}

}  // namespace pikit::sim
