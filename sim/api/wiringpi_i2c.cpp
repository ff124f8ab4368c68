// wiringPi's I2C helpers on the simulated Pi. On a Pi each set-up opens the
// kernel's I2C device (/dev/i2c-1) and every call is one SMBus or plain
// transfer that the kernel's driver makes with the I2C controller. Here the
// descriptor is a real one too (of /dev/null, so that close() and dup() work
// on it), standing for the address it was set up for, and each call is the
// same transfer made by the simulated controller on BCM 2 and 3. A part that
// does not answer gives -1 with errno EREMOTEIO, as the driver does; a clock
// held low too long, ETIMEDOUT.
#include <fcntl.h>
#include <unistd.h>
#include <wiringPiI2C.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "api/front.h"
#include "api/i2c_controller.h"

using pikit::sim::Board;
namespace api = pikit::sim::api;
namespace i2c = pikit::sim::api::i2c;

namespace {

// The kernel's limit on one SMBus block.
constexpr int kBlockMax = 32;

struct Descriptors {
    std::mutex m;
    std::map<int, int> address;  // descriptor -> 7-bit address
} g;

Board& board() { return api::board_for("wiringPi"); }

bool address_of(int fd, int& addr) {
    std::lock_guard<std::mutex> lk(g.m);
    auto it = g.address.find(fd);
    if (it == g.address.end()) return false;
    addr = it->second;
    return true;
}

// One transfer; the number of bytes read (or 0 for a write), or -1 with errno.
int transfer(int fd, const std::uint8_t* out, std::size_t out_len, std::uint8_t* in, std::size_t in_len) {
    int addr = 0;
    if (!address_of(fd, addr)) {
        errno = EBADF;
        return -1;
    }
    std::size_t got = 0;
    switch (i2c::transfer(board(), static_cast<std::uint8_t>(addr), out, out_len, in, in_len, &got)) {
    case i2c::Result::Ok: return static_cast<int>(got);
    case i2c::Result::Nack: errno = EREMOTEIO; return -1;
    case i2c::Result::ClockTimeout: errno = ETIMEDOUT; return -1;
    }
    return -1;
}

}  // namespace

extern "C" {

int wiringPiI2CSetupInterface(const char* device, int devId) {
    Board& b = board();
    if (!device || std::strcmp(device, "/dev/i2c-1") != 0) {
        // The simulated Pi has the one bus on the header.
        errno = ENOENT;
        return -1;
    }
    if (devId < 0 || devId > 0x7F) {
        errno = EINVAL;  // the driver refuses an address of more than 7 bits
        return -1;
    }
    const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    i2c::begin(b);
    std::lock_guard<std::mutex> lk(g.m);
    g.address[fd] = devId;
    return fd;
}

int wiringPiI2CSetup(const int devId) { return wiringPiI2CSetupInterface("/dev/i2c-1", devId); }

// SMBus "receive byte": START, address+R, one byte, STOP.
int wiringPiI2CRead(int fd) {
    std::uint8_t v = 0;
    return transfer(fd, nullptr, 0, &v, 1) < 0 ? -1 : v;
}

// SMBus "send byte".
int wiringPiI2CWrite(int fd, int data) {
    const std::uint8_t v = static_cast<std::uint8_t>(data);
    return transfer(fd, &v, 1, nullptr, 0) < 0 ? -1 : 0;
}

// SMBus "read byte data": the register written, a repeated START, one byte.
int wiringPiI2CReadReg8(int fd, int reg) {
    const std::uint8_t r = static_cast<std::uint8_t>(reg);
    std::uint8_t v = 0;
    return transfer(fd, &r, 1, &v, 1) < 0 ? -1 : v;
}

// SMBus "read word data": two bytes, the low one first.
int wiringPiI2CReadReg16(int fd, int reg) {
    const std::uint8_t r = static_cast<std::uint8_t>(reg);
    std::uint8_t v[2] = {0, 0};
    return transfer(fd, &r, 1, v, 2) < 0 ? -1 : (v[0] | v[1] << 8);
}

int wiringPiI2CWriteReg8(int fd, int reg, int data) {
    const std::uint8_t out[2] = {static_cast<std::uint8_t>(reg), static_cast<std::uint8_t>(data)};
    return transfer(fd, out, 2, nullptr, 0) < 0 ? -1 : 0;
}

int wiringPiI2CWriteReg16(int fd, int reg, int data) {
    const std::uint8_t out[3] = {static_cast<std::uint8_t>(reg), static_cast<std::uint8_t>(data & 0xFF),
                                 static_cast<std::uint8_t>((data >> 8) & 0xFF)};
    return transfer(fd, out, 3, nullptr, 0) < 0 ? -1 : 0;
}

// SMBus "I2C block" transfers: at most 32 bytes after the register.
int wiringPiI2CReadBlockData(int fd, int reg, uint8_t* values, uint8_t size) {
    const std::uint8_t r = static_cast<std::uint8_t>(reg);
    const int n = size > kBlockMax ? kBlockMax : size;
    std::uint8_t buf[kBlockMax] = {};
    const int got = transfer(fd, &r, 1, buf, static_cast<std::size_t>(n));
    if (got < 0) return -1;
    std::memcpy(values, buf, static_cast<std::size_t>(got));
    return got;
}

int wiringPiI2CWriteBlockData(int fd, int reg, const uint8_t* values, uint8_t size) {
    const int n = size > kBlockMax ? kBlockMax : size;
    std::uint8_t out[kBlockMax + 1];
    out[0] = static_cast<std::uint8_t>(reg);
    std::memcpy(out + 1, values, static_cast<std::size_t>(n));
    return transfer(fd, out, static_cast<std::size_t>(n) + 1, nullptr, 0) < 0 ? -1 : 0;
}

// Plain read() and write() on the device: one transfer of `size` bytes.
int wiringPiI2CRawRead(int fd, uint8_t* values, uint8_t size) {
    if (size == 0) return 0;
    return transfer(fd, nullptr, 0, values, size);
}

int wiringPiI2CRawWrite(int fd, const uint8_t* values, uint8_t size) {
    static const std::uint8_t none = 0;
    return transfer(fd, size ? values : &none, size, nullptr, 0) < 0 ? -1 : size;
}

}  // extern "C"
