// Where parts keep what outlives a run (the 1-Wire EEPROM's memory): the
// directory the run names, else the user's state directory. Checked once,
// when a part first asks for it.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "board_impl.h"

namespace pikit::sim {

namespace {
// Whether files can be made in `dir`: it is created if need be, and a
// scratch file made in it (permission bits alone say nothing to root, nor
// about a read-only file system). The scratch file has no name, so a kill
// at any moment leaves nothing behind; only where the file system cannot
// make one is a named file made and removed, and one that an earlier killed
// run left is removed first.
std::string unusable_dir(const std::filesystem::path& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!std::filesystem::is_directory(dir, ec)) return ec ? ec.message() : "not a directory";
    int fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
        return "";
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return std::strerror(errno);
    const std::string prefix = ".pikit-probe-";
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        if (e.path().filename().string().rfind(prefix, 0) == 0) std::filesystem::remove(e.path(), ec);
    std::string probe = (dir / (prefix + "XXXXXX")).string();
    fd = mkstemp(probe.data());
    if (fd < 0) return std::strerror(errno);
    ::close(fd);
    ::unlink(probe.c_str());
    return "";
}
}  // namespace

std::filesystem::path Board::state_dir() {
    Impl& im = *impl_;
    if (im.state_dir_checked) return im.state_dir;
    const bool given = !im.state_dir.empty();
    if (!given) {
        const char* xdg = std::getenv("XDG_STATE_HOME");
        const char* home = std::getenv("HOME");
        if (xdg && *xdg) im.state_dir = std::filesystem::path(xdg) / "pikit-sim";
        else if (home && *home) im.state_dir = std::filesystem::path(home) / ".local" / "state" / "pikit-sim";
        else im.state_dir = std::filesystem::temp_directory_path() / "pikit-sim";
    }
    const std::string why = unusable_dir(im.state_dir);
    if (given && !why.empty())
        throw OptionError("state_dir", im.state_dir.string(), "cannot be used as the state directory: " + why);
    im.state_dir_checked = true;
    if (why.empty()) return im.state_dir;
    std::fprintf(stderr, "pikit-sim: warning: state directory %s cannot be used (%s); state will not outlive this run\n",
                 im.state_dir.string().c_str(), why.c_str());
    im.state_dir.clear();
    return im.state_dir;
}

}  // namespace pikit::sim
