// The program's standard output, seen by the kit as it is written, without
// changing a byte of what reaches file descriptor 1 or when.
//
// The process's `stdout` becomes a stream that writes each chunk through to
// descriptor 1 at once, then hands it to a listener on the writing thread,
// where the kit still knows the virtual time of the write (a pipe read by
// another thread would not). Its buffering is what the C library gives
// standard output (line-buffered on a terminal, fully buffered otherwise),
// and a program's own setvbuf() changes it as usual; fileno(stdout) is still
// 1, and std::cout, synchronised with stdio as by default, goes through it
// in order with printf. Writes that bypass stdio (write(1, ...), std::cout
// after sync_with_stdio(false)) reach the terminal but not the listener.
#pragma once

#include <cstddef>

namespace pikit::sim {

using OutputListener = void (*)(const char* data, std::size_t size);

// Installs the tap, once per process, before main(); later calls only change
// the listener. Returns false (and leaves stdout as it was) if the C library
// cannot make the stream.
bool tap_stdout(OutputListener listener);

// Writes out what the program left in stdout's buffer, unless another thread
// is in the middle of using it: for the end of a run, so that the last
// unfinished line reaches the listener before the kit closes its outputs.
void flush_tapped_stdout();

}  // namespace pikit::sim
