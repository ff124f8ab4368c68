// The files a run writes: the trace, the log and the event stream that the
// run variables name, and the files devices write for people (a buzzer's
// sound). Each must be a file of its own: none may be a directory, the
// scenario file the run reads, or the same file as another output, whatever
// names (links, "a/../b") the settings use for them.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace pikit::sim {

// Which file a name stands for: device and inode.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
};
// The file a path names now (links followed), or nullopt when there is none.
std::optional<FileId> file_id(const std::string& path);

// One file the run writes, and what names it.
struct OutputFile {
    std::string owner;  // the variable ("PIKIT_SIM_VCD") or the setting ("devices[1].wav")
    std::string path;
    std::string what;  // for messages: "the trace", "the buzzer's sound"
    // Written beside its name and renamed onto it when the run starts: an
    // existing file of that name that is not a regular file (a device node,
    // a FIFO, a socket) would be replaced, so it is refused too.
    bool replaced = false;
};

// The outputs a run has taken so far, each checked against the ones before it.
class OutputFiles {
public:
    // The scenario file, which no output may overwrite.
    void set_scenario(FileId id) { scenario_ = id; }
    // Why `f` cannot be one of the run's outputs, in the words of a refusal
    // ("is the same file as the trace (PIKIT_SIM_VCD); the log needs a file
    // of its own"), or empty when it can.
    std::string conflict(const OutputFile& f) const;
    // Takes `f` as one of the run's outputs; later ones are checked against it.
    void claim(OutputFile f) { files_.push_back(std::move(f)); }
    const std::vector<OutputFile>& claimed() const { return files_; }

private:
    std::optional<FileId> scenario_;
    std::vector<OutputFile> files_;
};

}  // namespace pikit::sim
