#include "view/feed.h"

#include <cstring>

namespace pikit::sim::view {

Feed::Feed() : Feed(Limits{}) {}

Feed::Feed(Limits limits) : limits_(limits) {}

void Feed::on_event(Time, const char* event, const std::string& line) {
    std::unique_lock<std::mutex> lk(m_);
    ++seq_;
    window_.push_back(line);
    while (window_.size() > limits_.window_lines) {
        window_.pop_front();
        ++first_;
    }
    if (std::strcmp(event, "report") == 0) {
        reports_.push_back(line);
        ++reports_total_;
        if (reports_.size() > limits_.reports) reports_.pop_front();
    } else if (std::strcmp(event, "stdout") == 0) {
        stdout_lines_.push_back(line);
        stdout_bytes_ += line.size();
        ++stdout_total_;
        while (stdout_bytes_ > limits_.stdout_bytes && stdout_lines_.size() > 1) {
            stdout_bytes_ -= stdout_lines_.front().size();
            stdout_lines_.pop_front();
        }
    } else if (std::strcmp(event, "start") == 0) {
        start_ = line;
    } else if (std::strcmp(event, "end") == 0) {
        end_ = line;
        // The process may end as soon as this returns: give open pages a
        // moment to be sent the end, so that they can say how the run ended.
        const std::uint64_t end_seq = seq_;
        more_.notify_all();
        delivered_.wait_for(lk, limits_.end_delivery, [&] {
            for (const auto& [id, sent] : subscribers_)
                if (sent < end_seq) return false;
            return true;
        });
        return;
    }
    // Readers poll at their own pace; they are woken only for the end.
}

Feed::Cut Feed::cut() const {
    std::lock_guard<std::mutex> g(m_);
    Cut c;
    c.seq = seq_;
    c.start = start_;
    c.end = end_;
    c.reports.assign(reports_.begin(), reports_.end());
    c.reports_total = reports_total_;
    c.stdout_lines.assign(stdout_lines_.begin(), stdout_lines_.end());
    c.stdout_total = stdout_total_;
    return c;
}

bool Feed::read_after(std::uint64_t after, std::size_t max, std::vector<std::string>& out, std::uint64_t& last) const {
    std::lock_guard<std::mutex> g(m_);
    last = after;
    if (after >= seq_) return true;
    if (after + 1 < first_) return false;
    for (std::uint64_t n = after + 1; n <= seq_ && out.size() < max; ++n) {
        out.push_back(window_[static_cast<std::size_t>(n - first_)]);
        last = n;
    }
    return true;
}

std::uint64_t Feed::seq() const {
    std::lock_guard<std::mutex> g(m_);
    return seq_;
}

bool Feed::ended() const {
    std::lock_guard<std::mutex> g(m_);
    return !end_.empty();
}

int Feed::subscribe() {
    std::lock_guard<std::mutex> g(m_);
    const int id = next_subscriber_++;
    subscribers_[id] = 0;
    return id;
}

void Feed::sent(int subscriber, std::uint64_t seq) {
    std::lock_guard<std::mutex> g(m_);
    auto it = subscribers_.find(subscriber);
    if (it != subscribers_.end() && seq > it->second) it->second = seq;
    delivered_.notify_all();
}

void Feed::unsubscribe(int subscriber) {
    std::lock_guard<std::mutex> g(m_);
    subscribers_.erase(subscriber);
    delivered_.notify_all();
}

int Feed::subscribers() const {
    std::lock_guard<std::mutex> g(m_);
    return static_cast<int>(subscribers_.size());
}

void Feed::wake_all() {
    std::lock_guard<std::mutex> g(m_);
    more_.notify_all();
}

void Feed::wait_for_more(std::uint64_t after, std::chrono::milliseconds up_to, const std::atomic<bool>& stop) const {
    std::unique_lock<std::mutex> lk(m_);
    more_.wait_for(lk, up_to, [&] { return stop.load() || (!end_.empty() && seq_ > after); });
}

}  // namespace pikit::sim::view
