// "nrctl dcd decode FILE [--content-type T]": reads a saved server answer the
// way a DCD transaction would and prints what it holds.
//
// Threads: main thread only (it redirects the log stream while it runs).
#pragma once

// argv[0] is "decode". Returns the exit status: 0 decoded, 1 decode error
// (message on stderr), 2 usage error (usage on stderr).
int nrctlDcdDecode(int argc, char** argv);
