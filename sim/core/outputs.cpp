#include "outputs.h"

#include <sys/stat.h>

#include <filesystem>

namespace pikit::sim {

namespace fs = std::filesystem;

std::optional<FileId> file_id(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileId{st.st_dev, st.st_ino};
}

namespace {

bool same_id(const FileId& a, const FileId& b) { return a.dev == b.dev && a.ino == b.ino; }

// Two names of one file: the same inode when both exist (hard and symbolic
// links included), else the same path once the existing part is resolved.
bool same_file(const std::string& a, const std::string& b) {
    const auto ia = file_id(a), ib = file_id(b);
    if (ia && ib) return same_id(*ia, *ib);
    if (ia.has_value() != ib.has_value()) return false;
    std::error_code e1, e2;
    const fs::path ca = fs::weakly_canonical(fs::absolute(a, e1), e1);
    const fs::path cb = fs::weakly_canonical(fs::absolute(b, e2), e2);
    return !e1 && !e2 && ca == cb;
}

}  // namespace

std::string OutputFiles::conflict(const OutputFile& f) const {
    struct stat st {};
    const bool exists = ::stat(f.path.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) return "is a directory; " + f.what + " needs a file name";
    if (exists && scenario_ && same_id(FileId{st.st_dev, st.st_ino}, *scenario_))
        return "is the scenario file itself, which " + f.what + " would overwrite";
    if (exists && f.replaced && !S_ISREG(st.st_mode))
        return "is not a regular file (a device, a FIFO or a socket), which " + f.what + " would replace";
    for (const OutputFile& g : files_)
        if (same_file(f.path, g.path))
            return "is the same file as " + g.what + " (" + g.owner + "); " + f.what + " needs a file of its own";
    return "";
}

}  // namespace pikit::sim
