#include "gx2431.h"

#include "core/format.h"
#include "core/model.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace pikit::sim {

namespace {

constexpr std::uint8_t kWriteScratchpad = 0x0F;
constexpr std::uint8_t kReadScratchpad = 0xAA;
constexpr std::uint8_t kCopyScratchpad = 0x55;
constexpr std::uint8_t kReadMemory = 0xF0;
constexpr std::uint8_t kCopyDone = 0xAA;  // answered, over and over, once a copy has been programmed

Time corner_program_time(const std::string& corner) {
    if (corner == "fast") return 2_ms;
    if (corner == "slow") return 10_ms;
    return 7_ms;
}

}  // namespace

Gx2431Settings::Gx2431Settings() { rom = make_rom({Gx2431::kFamily, 0x5A, 0x3C, 0x19, 0x00, 0x00, 0x00}); }

Gx2431Settings Gx2431Settings::at_corner(const std::string& corner) {
    Gx2431Settings g;
    if (corner == "fast") g.timing = OneWireTiming::fast();
    else if (corner == "slow") g.timing = OneWireTiming::slow();
    else g.timing = OneWireTiming::typical();
    g.program_time = corner_program_time(corner);
    return g;
}

Gx2431::Gx2431(std::string name, Gx2431Settings settings)
    : OneWireSlave("gx2431", std::move(name), settings), g_(std::move(settings)) {
    mem_.fill(g_.fill);
    scratch_.fill(0xFF);
}

Gx2431::~Gx2431() { unlock(); }

void Gx2431::attach(Board& board) {
    OneWireSlave::attach(board);
    load_memory(board);
    show_memory();
}

void Gx2431::show_memory() { board()->show(*this, "memory", hex_digits(mem_.data(), mem_.size(), " ")); }

void Gx2431::load_memory(Board& board) {
    if (!g_.persist) return;
    const std::filesystem::path dir = board.state_dir();
    if (dir.empty()) return;  // no usable state directory: the memory lives as long as the run
    const std::string base = "gx2431-" + rom_hex(rom());
    file_ = dir / (base + ".mem");
    lock(dir / (base + ".lock"));
    remove_stale_temporaries();
    std::array<std::uint8_t, kMemorySize> stored{};
    const bool found = read_state(stored);
    if (preset_) {
        save();
    } else if (found) {
        mem_ = stored;
        board.info(*this, "memory loaded from " + file_.string());
    }
}

void Gx2431::lock(const std::filesystem::path& path) {
    auto cannot = [&](const std::string& why) {
        throw ScenarioError(path.string() + ": cannot lock the memory of " + label() + ": " + why);
    };
    // The lock file goes when its holder is done. A run that opened it just
    // before may then lock a file no longer there; it sees that and tries the
    // current one, so two runs never both hold a chip.
    for (int attempt = 0;; ++attempt) {
        // O_NOFOLLOW: a link planted in the lock's place is refused, never followed.
        lock_fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
        if (lock_fd_ < 0) cannot(std::strerror(errno));
        struct stat st {};
        if (::fstat(lock_fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(lock_fd_);
            lock_fd_ = -1;
            cannot("not a regular file");
        }
        lock_id_ = {st.st_dev, st.st_ino};
        if (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) break;
        struct stat now {};
        if (::lstat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino) {
            lock_path_ = path;
            std::lock_guard<std::mutex> g(held_mutex());
            held().push_back(lock_id_);
            return;
        }
        ::close(lock_fd_);
        lock_fd_ = -1;
        if (attempt == 100) cannot("the lock file keeps changing");
    }
    const int err = errno;
    ::close(lock_fd_);
    lock_fd_ = -1;
    bool here = false;
    {
        std::lock_guard<std::mutex> g(held_mutex());
        for (const auto& id : held()) here = here || id == lock_id_;
    }
    if (here)
        throw std::invalid_argument("another gx2431 in this run has the ROM id " + rom_hex(rom()) + " and so the same memory (" +
                                    file_.string() + "); give each part its own rom");
    if (err == EWOULDBLOCK)
        throw ScenarioError(file_.string() + ": the memory of " + label() +
                            " is in use by another run; one run at a time per chip: wait for it to end, or give "
                            "this run its own PIKIT_SIM_STATE_DIR");
    cannot(std::strerror(err));
}

void Gx2431::unlock() {
    if (lock_fd_ < 0) return;
    {
        std::lock_guard<std::mutex> g(held_mutex());
        auto& h = held();
        for (auto it = h.begin(); it != h.end(); ++it)
            if (*it == lock_id_) {
                h.erase(it);
                break;
            }
    }
    ::unlink(lock_path_.c_str());  // still ours: removed before the lock is let go
    ::close(lock_fd_);             // releases the lock
    lock_fd_ = -1;
}

std::vector<std::pair<dev_t, ino_t>>& Gx2431::held() {
    static std::vector<std::pair<dev_t, ino_t>> h;
    return h;
}

std::mutex& Gx2431::held_mutex() {
    static std::mutex m;
    return m;
}

void Gx2431::remove_stale_temporaries() {
    // Only a run holding the lock writes temporaries, so any found now were
    // left by a run that was killed while saving.
    const std::string prefix = file_.filename().string() + ".tmp-";
    std::error_code ec, gone;
    for (std::filesystem::directory_iterator it(file_.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.compare(0, prefix.size(), prefix) == 0) std::filesystem::remove(it->path(), gone);
    }
}

bool Gx2431::read_state(std::array<std::uint8_t, kMemorySize>& out) const {
    auto refuse = [&](const std::string& why) {
        throw ScenarioError(file_.string() + ": not the memory of " + label() + " (" + why +
                            "); it is left as it is: move it away or delete it to start with a blank part");
    };
    const int fd = ::open(file_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return false;  // a blank part
        refuse(std::strerror(errno));
    }
    struct stat st {};
    std::size_t got = 0;
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular && st.st_size == kMemorySize) {
        while (got < out.size()) {
            const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
    }
    ::close(fd);
    if (!regular) refuse("not a regular file");
    if (st.st_size != kMemorySize) refuse(std::to_string(st.st_size) + " bytes, not " + std::to_string(kMemorySize));
    if (got != out.size()) refuse("cannot be read");
    return true;
}

void Gx2431::set_memory(const std::array<std::uint8_t, kMemorySize>& m) {
    mem_ = m;
    preset_ = true;
    if (!file_.empty()) save();
}

void Gx2431::save() {
    if (file_.empty() || lock_fd_ < 0) return;  // not persisting, or the run is over
    // A new file of a name nobody else can have (created exclusively, so a
    // link planted there is never followed), synced, then renamed over the
    // old one: a run killed at any moment leaves the old memory or the new.
    std::string tmp = file_.string() + ".tmp-XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    std::string err;
    if (fd < 0) {
        err = std::strerror(errno);
    } else {
        std::size_t done = 0;
        while (done < mem_.size() && err.empty()) {
            const ssize_t n = ::write(fd, mem_.data() + done, mem_.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) err = n < 0 ? std::strerror(errno) : "short write";
            else done += static_cast<std::size_t>(n);
        }
        if (err.empty() && ::fchmod(fd, 0644) != 0) err = std::strerror(errno);
        if (err.empty() && ::fsync(fd) != 0) err = std::strerror(errno);
        if (::close(fd) != 0 && err.empty()) err = std::strerror(errno);
        if (err.empty() && ::rename(tmp.c_str(), file_.c_str()) != 0) err = std::strerror(errno);
        if (!err.empty()) ::unlink(tmp.c_str());
    }
    if (!err.empty()) {
        board()->report(*this, ReportKind::Error, "cannot save the memory to " + file_.string() + ": " + err);
        return;
    }
    // The rename itself is durable once the directory is synced.
    const int dfd = ::open(file_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

void Gx2431::finish() {
    if (op_ == Op::ReadMemory)
        board()->info(*this, "Read Memory from " + hex(read_start_, 4) + ": " + std::to_string(bytes_sent()) + " bytes");
    op_ = Op::None;
    unlock();  // the run is over: nothing more is programmed
}

void Gx2431::function_command(std::uint8_t cmd) {
    crc_ = onewire_crc16(0, &cmd, 1);
    switch (cmd) {
    case kWriteScratchpad:
        op_ = Op::WriteScratch;
        es_ = kPF;  // a new write: no copy authorised, nothing complete yet
        receive();
        break;
    case kReadScratchpad: {
        op_ = Op::ReadScratch;
        reply_[0] = static_cast<std::uint8_t>(ta_ & 0xFF);
        reply_[1] = static_cast<std::uint8_t>(ta_ >> 8);
        reply_[2] = es_;
        int n = 3;
        for (int i = ta_ & 7; i <= (es_ & 7); ++i) reply_[n++] = scratch_[i];
        crc_ = onewire_crc16(crc_, reply_.data(), n);
        const std::uint16_t inv = static_cast<std::uint16_t>(~crc_);
        reply_[n++] = static_cast<std::uint8_t>(inv & 0xFF);
        reply_[n++] = static_cast<std::uint8_t>(inv >> 8);
        board()->info(*this, "Read Scratchpad: TA " + hex(ta_, 4) + ", E/S " + hex(es_) + ", data " +
                                 hex_digits(reply_.data() + 3, n - 5, " "));
        send_reply(n);
        break;
    }
    case kCopyScratchpad:
        op_ = Op::Copy;
        receive();
        break;
    case kReadMemory:
        op_ = Op::ReadMemory;
        receive();
        break;
    default:
        op_ = Op::None;
        sequence_breach("unknown function command " + hex(cmd));
        idle();
    }
}

void Gx2431::send_reply(int len) {
    reply_len_ = len;
    reply_index_ = 0;
    send(reply_[reply_index_++]);
}

void Gx2431::function_byte(std::uint8_t b) {
    const int index = bytes_received() - 1;  // 0: TA1, 1: TA2, then data or E/S
    if (index < 2) args_[index] = b;
    switch (op_) {
    case Op::WriteScratch:
        crc_ = onewire_crc16(crc_, &b, 1);
        if (index == 1) {
            const std::uint16_t ta = static_cast<std::uint16_t>(args_[1] << 8 | args_[0]);
            if (ta >= kMemorySize) {
                sequence_breach("Write Scratchpad to " + hex(ta, 4) + ", outside the data memory 0x0000-0x007F");
                op_ = Op::None;
                idle();
                return;
            }
            ta_ = ta;
            offset_ = ta_ & 7;
            es_ = static_cast<std::uint8_t>(kPF | offset_);
        } else if (index >= 2) {
            scratch_[offset_] = b;
            es_ = static_cast<std::uint8_t>(kPF | offset_);
            if (++offset_ == 8) {  // the end of the scratchpad: complete, answer the CRC
                es_ = static_cast<std::uint8_t>(es_ & ~kPF);
                board()->info(*this, "Write Scratchpad: TA " + hex(ta_, 4) + ", data " +
                                         hex_digits(scratch_.data() + (ta_ & 7), 8 - (ta_ & 7), " ") + ", E/S " + hex(es_));
                const std::uint16_t inv = static_cast<std::uint16_t>(~crc_);
                reply_[0] = static_cast<std::uint8_t>(inv & 0xFF);
                reply_[1] = static_cast<std::uint8_t>(inv >> 8);
                send_reply(2);
            }
        }
        break;
    case Op::Copy:
        if (index == 2) {
            args_[2] = b;
            copy_request();
        }
        break;
    case Op::ReadMemory:
        if (index == 1) {
            read_start_ = static_cast<std::uint16_t>(args_[1] << 8 | args_[0]);
            read_addr_ = read_start_;
            function_byte_sent();  // the first byte of the answer
        }
        break;
    default: idle();
    }
}

void Gx2431::copy_request() {
    ++copy_requests_;
    const std::uint16_t ta = static_cast<std::uint16_t>(args_[1] << 8 | args_[0]);
    const std::string auth = "TA1 " + hex(args_[0]) + " TA2 " + hex(args_[1]) + " E/S " + hex(args_[2]);
    if (ta != ta_ || args_[2] != es_) {
        board()->info(
            *this, "Copy Scratchpad refused: authorisation " + auth + " does not match TA " + hex(ta_, 4) + " E/S " + hex(es_));
        op_ = Op::None;
        idle();
        return;
    }
    if (es_ & kPF) {
        board()->info(*this, "Copy Scratchpad refused: the scratchpad was not completely written (E/S " + hex(es_) + ")");
        op_ = Op::None;
        idle();
        return;
    }
    if (g_.copy_fails != 0) {
        if (g_.copy_fails > 0) --g_.copy_fails;
        board()->report(*this, ReportKind::Fault,
                        "Copy Scratchpad fails: row " + std::to_string(ta_ >> 3) + " not programmed, no AA answer");
        op_ = Op::None;
        idle();
        return;
    }
    board()->info(*this, "Copy Scratchpad: " + auth + ", programming row " + std::to_string(ta_ >> 3));
    op_ = Op::Copy;
    busy(g_.program_time);
}

void Gx2431::busy_done(bool powered) {
    if (!powered) {
        board()->info(
            *this, "programming of row " + std::to_string(ta_ >> 3) + " aborted by the loss of power; the row keeps its content");
        op_ = Op::None;
        return;  // stays idle: the master reads 1s
    }
    const int row = ta_ & 0x78;
    for (int i = 0; i < 8; ++i) mem_[row + i] = scratch_[i];
    es_ = static_cast<std::uint8_t>(es_ | kAA);
    ++copies_;
    save();
    show_memory();
    board()->show(*this, "last_write", Shown::record({{"address", row}, {"length", 8}}));
    board()->info(*this, "row " + std::to_string(row >> 3) + " (" + hex(row, 4) + "-" + hex(row + 7, 4) +
                             ") programmed: " + hex_digits(mem_.data() + row, 8, " "));
    op_ = Op::Programmed;
    send(kCopyDone);
}

void Gx2431::function_byte_sent() {
    switch (op_) {
    case Op::WriteScratch:
    case Op::ReadScratch:
        if (reply_index_ < reply_len_) send(reply_[reply_index_++]);
        else idle();
        break;
    case Op::ReadMemory:
        send(read_addr_ < kMemorySize ? mem_[read_addr_] : 0xFF);
        if (read_addr_ < 0xFFFF) ++read_addr_;
        break;
    case Op::Programmed: send(kCopyDone); break;
    default: idle();
    }
}

void Gx2431::bus_reset() {
    if (op_ == Op::WriteScratch && (es_ & kPF))
        board()->info(*this, "Write Scratchpad cut off by a reset after " + std::to_string(bytes_received()) + " bytes: E/S " +
                                 hex(es_) + " (partial)");
    if (op_ == Op::ReadMemory && bytes_received() >= 2)
        board()->info(*this, "Read Memory from " + hex(read_start_, 4) + ": " + std::to_string(bytes_sent()) + " bytes");
    op_ = Op::None;
}

namespace {

using S = Gx2431Settings;

ModelOf<Gx2431, S> model() {
    ModelOf<Gx2431, S> m(
        "gx2431", "GX2431 1-Wire EEPROM: 128 bytes in 16 rows, written through a scratchpad; kept between runs",
        Fields<S>()
            .include(onewire_fields())
            .duration("program_time", &S::program_time, 100_us, 10_ms, "how long a Copy Scratchpad programs its row")
            .defaults("7ms (timing fast: 2ms, slow: 10ms)")
            .flag("persist", &S::persist, "keep the memory in the state directory between runs (false: this run only)")
            .integer("fill", &S::fill, 0, 0xFF, "what a part with no memory kept yet holds")
            .hex()
            .integer_or("copy_fails", &S::copy_fails, 0, 1000000000, {{"always", -1L}},
                        "fault: this many Copy Scratchpads fail (no programming, no 0xAA); always: every one")
            .derive([](S& s, const Config& c) {
                if (!c.has("program_time")) s.program_time = corner_program_time(c.text("timing", "typical"));
            }));
    m.shows("memory", ShownType::Text, "the 128 bytes of data memory in hex (\"3C 56 65 ...\"), after each row programmed")
        .shows("last_write", ShownType::Record, "address and length of the row the last Copy Scratchpad programmed");
    return add_onewire_actions(m);
}

const DeviceRegistrar registrar{model()};

}  // namespace

}  // namespace pikit::sim
