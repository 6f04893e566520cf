#include "platform/FaultInjection.h"

#include <sqlite3.h>

#include <cstring>
#include <mutex>

namespace qvfault {

namespace {

struct State {
  std::mutex lock;
  long nth = 0;  // 0: unarmed
  int code = SQLITE_FULL;
  bool persistent = true;
  std::string filter;
  long writes = 0;
  bool fired = false;
  int pageCacheLimit = 0;
};

State& state() {
  static State s;
  return s;
}

sqlite3_vfs* gReal = nullptr;
sqlite3_vfs gShim;
std::once_flag gInstallOnce;
bool gInstalled = false;

// The shim's file: its own header, then the real file's memory.
struct ShimFile {
  sqlite3_file base;
  sqlite3_file* real;
  const char* path;  // SQLite keeps the name valid until xClose
};

// The result the shim gives for a write to path, or SQLITE_OK to let it
// through.
int injectedResult(const char* path) {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  if (!s.filter.empty() && (path == nullptr || std::strstr(path, s.filter.c_str()) == nullptr)) return SQLITE_OK;
  ++s.writes;
  if (s.nth == 0) return SQLITE_OK;
  if (s.writes == s.nth || (s.persistent && s.writes > s.nth)) {
    s.fired = true;
    return s.code;
  }
  return SQLITE_OK;
}

sqlite3_file* real(sqlite3_file* f) { return reinterpret_cast<ShimFile*>(f)->real; }

int shimClose(sqlite3_file* f) {
  sqlite3_file* r = real(f);
  int rc = r->pMethods != nullptr ? r->pMethods->xClose(r) : SQLITE_OK;
  return rc;
}
int shimRead(sqlite3_file* f, void* buf, int n, sqlite3_int64 off) {
  return real(f)->pMethods->xRead(real(f), buf, n, off);
}
int shimWrite(sqlite3_file* f, const void* buf, int n, sqlite3_int64 off) {
  int rc = injectedResult(reinterpret_cast<ShimFile*>(f)->path);
  if (rc != SQLITE_OK) return rc;
  return real(f)->pMethods->xWrite(real(f), buf, n, off);
}
int shimTruncate(sqlite3_file* f, sqlite3_int64 size) { return real(f)->pMethods->xTruncate(real(f), size); }
int shimSync(sqlite3_file* f, int flags) { return real(f)->pMethods->xSync(real(f), flags); }
int shimFileSize(sqlite3_file* f, sqlite3_int64* size) { return real(f)->pMethods->xFileSize(real(f), size); }
int shimLock(sqlite3_file* f, int level) { return real(f)->pMethods->xLock(real(f), level); }
int shimUnlock(sqlite3_file* f, int level) { return real(f)->pMethods->xUnlock(real(f), level); }
int shimCheckReservedLock(sqlite3_file* f, int* out) { return real(f)->pMethods->xCheckReservedLock(real(f), out); }
int shimFileControl(sqlite3_file* f, int op, void* arg) { return real(f)->pMethods->xFileControl(real(f), op, arg); }
int shimSectorSize(sqlite3_file* f) { return real(f)->pMethods->xSectorSize(real(f)); }
int shimDeviceCharacteristics(sqlite3_file* f) { return real(f)->pMethods->xDeviceCharacteristics(real(f)); }
int shimShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
  return real(f)->pMethods->xShmMap(real(f), region, size, extend, out);
}
int shimShmLock(sqlite3_file* f, int offset, int n, int flags) {
  return real(f)->pMethods->xShmLock(real(f), offset, n, flags);
}
void shimShmBarrier(sqlite3_file* f) { real(f)->pMethods->xShmBarrier(real(f)); }
int shimShmUnmap(sqlite3_file* f, int deleteFlag) { return real(f)->pMethods->xShmUnmap(real(f), deleteFlag); }
int shimFetch(sqlite3_file* f, sqlite3_int64 off, int n, void** out) {
  return real(f)->pMethods->xFetch(real(f), off, n, out);
}
int shimUnfetch(sqlite3_file* f, sqlite3_int64 off, void* p) { return real(f)->pMethods->xUnfetch(real(f), off, p); }

// Version 3 methods; the unix layer underneath has all of them.
const sqlite3_io_methods kMethods = {
    3,           shimClose,       shimRead,      shimWrite,        shimTruncate,        shimSync,
    shimFileSize, shimLock,       shimUnlock,    shimCheckReservedLock, shimFileControl, shimSectorSize,
    shimDeviceCharacteristics, shimShmMap, shimShmLock, shimShmBarrier, shimShmUnmap, shimFetch,
    shimUnfetch,
};

int shimOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
  ShimFile* shim = reinterpret_cast<ShimFile*>(f);
  shim->real = reinterpret_cast<sqlite3_file*>(shim + 1);
  shim->path = name;
  shim->base.pMethods = nullptr;
  int rc = gReal->xOpen(gReal, name, shim->real, flags, outFlags);
  // SQLite calls xClose only when pMethods is set: set it exactly when the
  // real file needs closing.
  if (shim->real->pMethods != nullptr) shim->base.pMethods = &kMethods;
  return rc;
}

int shimDelete(sqlite3_vfs*, const char* name, int syncDir) { return gReal->xDelete(gReal, name, syncDir); }
int shimAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
  return gReal->xAccess(gReal, name, flags, out);
}
int shimFullPathname(sqlite3_vfs*, const char* name, int n, char* out) {
  return gReal->xFullPathname(gReal, name, n, out);
}
void* shimDlOpen(sqlite3_vfs*, const char* name) { return gReal->xDlOpen(gReal, name); }
void shimDlError(sqlite3_vfs*, int n, char* out) { gReal->xDlError(gReal, n, out); }
void (*shimDlSym(sqlite3_vfs*, void* h, const char* sym))(void) { return gReal->xDlSym(gReal, h, sym); }
void shimDlClose(sqlite3_vfs*, void* h) { gReal->xDlClose(gReal, h); }
int shimRandomness(sqlite3_vfs*, int n, char* out) { return gReal->xRandomness(gReal, n, out); }
int shimSleep(sqlite3_vfs*, int micros) { return gReal->xSleep(gReal, micros); }
int shimCurrentTime(sqlite3_vfs*, double* out) { return gReal->xCurrentTime(gReal, out); }
int shimGetLastError(sqlite3_vfs*, int n, char* out) { return gReal->xGetLastError(gReal, n, out); }
int shimCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) { return gReal->xCurrentTimeInt64(gReal, out); }

}  // namespace

bool install() {
  std::call_once(gInstallOnce, [] {
    gReal = sqlite3_vfs_find(nullptr);
    if (gReal == nullptr || gReal->iVersion < 2) return;
    std::memset(&gShim, 0, sizeof gShim);
    gShim.iVersion = 2;
    gShim.szOsFile = static_cast<int>(sizeof(ShimFile)) + gReal->szOsFile;
    gShim.mxPathname = gReal->mxPathname;
    gShim.zName = "qv-fault";
    gShim.xOpen = shimOpen;
    gShim.xDelete = shimDelete;
    gShim.xAccess = shimAccess;
    gShim.xFullPathname = shimFullPathname;
    gShim.xDlOpen = shimDlOpen;
    gShim.xDlError = shimDlError;
    gShim.xDlSym = shimDlSym;
    gShim.xDlClose = shimDlClose;
    gShim.xRandomness = shimRandomness;
    gShim.xSleep = shimSleep;
    gShim.xCurrentTime = shimCurrentTime;
    gShim.xGetLastError = shimGetLastError;
    gShim.xCurrentTimeInt64 = shimCurrentTimeInt64;
    gInstalled = sqlite3_vfs_register(&gShim, 1) == SQLITE_OK;
  });
  return gInstalled;
}

void failWrite(long nth, Fault fault, bool persistent, const std::string& fileFilter) {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  s.nth = nth;
  s.code = fault == Fault::kDiskFull ? SQLITE_FULL : SQLITE_IOERR_WRITE;
  s.persistent = persistent;
  s.filter = fileFilter;
  s.writes = 0;
  s.fired = false;
}

void disarm() { failWrite(0, Fault::kDiskFull, true, std::string()); }

void setPageCacheLimit(int pages) {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  s.pageCacheLimit = pages > 0 ? pages : 0;
}

int pageCacheLimit() {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.pageCacheLimit;
}

long writes() {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.writes;
}

bool fired() {
  State& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.fired;
}

}  // namespace qvfault
