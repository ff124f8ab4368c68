// Linked into binaries that build their own simulated boards (tests, the
// benchmark, the fuzz target): no board is made for them before main().
extern "C" const char pikit_sim_no_start[] = "builds its own boards";
