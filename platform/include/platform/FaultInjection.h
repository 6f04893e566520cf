// A test seam for the stores' I/O: a shim between SQLite and the file
// system that makes the Nth write fail the way a full disk or a failing
// device does, so that the error paths of the content cache and the
// settings store can be run at every write position in turn.
//
// install() puts the shim in place as SQLite's default file layer; only
// connections opened afterwards go through it (reopen the stores with
// their resetForTesting()). Unarmed, the shim only passes calls on and
// counts writes.
//
// Threads: every function may be called from any thread; the counters are
// shared under one lock with the writing threads.
#pragma once

#include <string>

namespace qvfault {

enum class Fault {
  kDiskFull,  // the write fails with SQLITE_FULL
  kIoError,   // the write fails with SQLITE_IOERR_WRITE
};

// Idempotent. False when SQLite refused the shim.
bool install();

// Arms the shim: counting from this call, the nth write (1 = the next one)
// to a file whose path contains fileFilter (empty: any file) fails with
// fault. persistent: every later matching write fails too, as on a disk
// that stays full; otherwise only that one write fails.
void failWrite(long nth, Fault fault, bool persistent = true, const std::string& fileFilter = std::string());
// Disarms and counts afresh, over every file.
void disarm();
// Connections opened from now on keep at most pages pages in memory (0:
// SQLite's default). A small page cache makes a batch spill to the file
// before its commit, so that faults also hit the middle of a batch, where
// SQLite rolls the transaction back by itself.
void setPageCacheLimit(int pages);
int pageCacheLimit();

// Matching writes since the last failWrite (or disarm), and whether the
// armed fault was hit.
long writes();
bool fired();

}  // namespace qvfault
