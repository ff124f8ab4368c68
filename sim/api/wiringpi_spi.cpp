// wiringPi's SPI helpers on the simulated Pi. On a Pi each set-up opens the
// kernel's device for one chip enable of SPI0 (/dev/spidev0.0 or 0.1) with a
// clock rate and a mode; here the descriptor is a real one too (of
// /dev/null, so that close() works on it), and each exchange is made by the
// simulated controller on the SPI0 pins at the rate and in the mode set up.
#include <fcntl.h>
#include <unistd.h>
#include <wiringPiSPI.h>

#include <cerrno>
#include <mutex>
#include <stdexcept>
#include <string>

#include "api/front.h"
#include "api/spi_controller.h"

using pikit::sim::Board;
namespace api = pikit::sim::api;
namespace spi = pikit::sim::api::spi;

namespace {

struct Channel {
    int fd = -1;
    int speed = 0;
    int mode = 0;
};
struct Channels {
    std::mutex m;
    Channel ch[2];
} g;

Board& board() { return api::board_for("wiringPi"); }

}  // namespace

extern "C" {

int wiringPiSPISetupMode(int channel, int speed, int mode) {
    Board& b = board();
    // wiringPi takes the channel and the mode modulo their range, as here.
    channel &= 1;
    mode &= 3;
    if (speed <= 0) {
        errno = EINVAL;
        return -1;
    }
    const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    try {
        spi::begin(b, mode);
    } catch (const std::invalid_argument& e) {
        // A part of the scenario drives one of the controller's outputs.
        api::library_error(b, std::string("wiringPiSPISetup: SPI0 cannot take its pins: ") + e.what());
        ::close(fd);
        errno = EBUSY;
        return -1;
    }
    std::lock_guard<std::mutex> lk(g.m);
    if (g.ch[channel].fd >= 0) ::close(g.ch[channel].fd);
    g.ch[channel] = Channel{fd, speed, mode};
    return fd;
}

int wiringPiSPISetup(int channel, int speed) { return wiringPiSPISetupMode(channel, speed, 0); }

int wiringPiSPIGetFd(int channel) {
    std::lock_guard<std::mutex> lk(g.m);
    return g.ch[channel & 1].fd;
}

int wiringPiSPIDataRW(int channel, unsigned char* data, int len) {
    Board& b = board();
    channel &= 1;
    Channel c;
    {
        std::lock_guard<std::mutex> lk(g.m);
        c = g.ch[channel];
    }
    if (c.fd < 0) {
        errno = EBADF;  // the channel was never set up
        return -1;
    }
    if (len < 0 || (len > 0 && !data)) {
        errno = EINVAL;
        return -1;
    }
    spi::transfer(b, channel, c.mode, c.speed, data, static_cast<std::size_t>(len));
    return len;
}

int wiringPiSPIClose(const int channel) {
    std::lock_guard<std::mutex> lk(g.m);
    Channel& c = g.ch[channel & 1];
    if (c.fd < 0) {
        errno = EBADF;
        return -1;
    }
    const int r = ::close(c.fd);
    c = Channel{};
    return r;
}

}  // extern "C"
