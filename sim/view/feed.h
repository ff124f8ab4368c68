// The live view's copy of the event stream: what its pages are sent.
//
// It follows the stream as the board writes it (an EventListener, called
// under the board lock on the thread that made the event), and does no more
// there than keep the line: pages are served from it by the server's own
// threads. It keeps a bounded window of recent lines for pages to catch up
// from, and what a page opened late needs besides the board's snapshot: the
// run's start and end, the last reports and the tail of the program's
// standard output. Memory stays flat however long the run.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/events.h"

namespace pikit::sim::view {

class Feed final : public EventListener {
public:
    struct Limits {
        std::size_t window_lines = 8192;       // recent lines a page may catch up from
        std::size_t reports = 500;             // reports kept for a page opened late
        std::size_t stdout_bytes = 64 * 1024;  // tail of standard output kept likewise
        // At the run's end, how long the board waits for open pages to
        // have been sent the end (the process may die right after).
        std::chrono::milliseconds end_delivery{500};
    };
    Feed();
    explicit Feed(Limits limits);

    void on_event(Time at, const char* event, const std::string& line) override;

    // Where the stream stands, and what a page needs of its past. Taken
    // inside Board::snapshot(also), it matches the snapshot exactly: the
    // snapshot shows every line up to `seq` and none after.
    struct Cut {
        std::uint64_t seq = 0;             // lines so far (the last one's number)
        std::string start;                 // the start line, or empty
        std::string end;                   // the end line, or empty while the run goes on
        std::vector<std::string> reports;  // the last report lines, oldest first
        std::uint64_t reports_total = 0;
        std::vector<std::string> stdout_lines;  // the last "stdout" lines, oldest first
        std::uint64_t stdout_total = 0;         // "stdout" lines in all
    };
    Cut cut() const;

    // The lines after number `after`, at most `max` of them, into `out`
    // (appended); `last` becomes the number of the last one given. False
    // when lines after `after` have already left the window: the reader is
    // behind and must start again from a snapshot.
    bool read_after(std::uint64_t after, std::size_t max, std::vector<std::string>& out, std::uint64_t& last) const;
    std::uint64_t seq() const;
    bool ended() const;

    // Pages being sent the stream, and how far each has been sent.
    int subscribe();
    void sent(int subscriber, std::uint64_t seq);
    void unsubscribe(int subscriber);
    int subscribers() const;
    // Wakes readers waiting in wait_for_more (the server is stopping).
    void wake_all();
    // Waits for the time given, or less: until `stop` is set, or the run has
    // ended and there are lines after `after` (the last ones, to be sent at once).
    void wait_for_more(std::uint64_t after, std::chrono::milliseconds up_to, const std::atomic<bool>& stop) const;

private:
    Limits limits_;
    mutable std::mutex m_;
    mutable std::condition_variable more_;  // a line came (readers wait on it)
    std::condition_variable delivered_;     // a page was sent lines (the end waits on it)
    std::deque<std::string> window_;        // lines first_ .. seq_
    std::uint64_t first_ = 1;
    std::uint64_t seq_ = 0;
    std::string start_, end_;
    std::deque<std::string> reports_;
    std::uint64_t reports_total_ = 0;
    std::deque<std::string> stdout_lines_;
    std::size_t stdout_bytes_ = 0;
    std::uint64_t stdout_total_ = 0;
    std::map<int, std::uint64_t> subscribers_;
    int next_subscriber_ = 1;
};

}  // namespace pikit::sim::view
