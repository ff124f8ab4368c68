// Ending a program's run from outside: Ctrl-C (SIGINT), kill (SIGTERM), a
// closed terminal (SIGHUP). Without help, such a signal kills the process
// before the kit has written the trace, which is assembled only at the end
// of a run, and a person stopping a demo by hand would lose exactly the
// recording they wanted.
#pragma once

namespace pikit::sim {

class Board;

// Installs the kit's handlers for SIGINT, SIGTERM and SIGHUP, for a process
// whose program has not (yet) chosen its own: on such a signal the board is
// finished (devices, trace, log) and the process then dies of that very
// signal, with the status a shell shows for it (130, 143, 129). A second
// signal while that is under way ends the process at once. The thread the
// signal lands on stops there (as it leaves the kit, if it is inside), and
// every library call made from then on stays in the library, so that the
// program neither runs on nor ends by itself meanwhile. A program that
// installs its own handler later replaces the kit's and gets the signal
// itself, exactly as on a Pi.
void install_ending_signals(Board& board);

// Whether the kit has begun ending the run for a signal from outside: the
// process is to die of it, whatever the program does meanwhile.
bool ending_from_outside();

// Whether `sig`, sent to this process now, would end it: no handler but the
// kit's, not ignored. If so, the kit's handler (if installed) is taken down,
// so that a signal raised next kills the process at once, as the default
// action does, rather than through the kit's handler.
bool prepare_to_die_of(int sig);

// Whether the thread `tid` of this process has `sig` blocked (read from
// /proc; false when it cannot be read).
bool thread_blocks(int tid, int sig);

}  // namespace pikit::sim
