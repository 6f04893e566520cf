#include "platform/Settings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "Sqlite.h"
#include "platform/Facade.h"
#include "platform/Home.h"
#include "platform/Log.h"
#include "platform/NR_Constants.h"
#include "platform/QV_Event.h"

class QuorvelSettingMgr::Impl {
 public:
  std::mutex lock;
  qvsql::Database db;
  std::string file;  // settings.db

  // The last good copy: a complete database written after every committed
  // change, from which a damaged store is restored at the next start.
  std::string goodCopy() const { return file + ".good"; }
  // Call with lock held (or before the manager is shared). Failure is
  // logged; the change itself stands.
  void keepGoodCopy() {
    std::string temp = file + ".good.tmp-" + std::to_string(::getpid());
    ::unlink(temp.c_str());
    if (!db.copyTo(temp) || ::rename(temp.c_str(), goodCopy().c_str()) != 0) {
      QV_LOG(3, "Cannot keep a last good copy of the settings store in %s\n", goodCopy().c_str());
      ::unlink(temp.c_str());
      return;
    }
    syncDirectoryOf(file);
  }

  static void syncDirectoryOf(const std::string& path) {
    std::string dir = path.substr(0, path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
  }
};

namespace {

struct CategoryName {
  int number;
  const char* name;
};

constexpr CategoryName kCategories[] = {
    {1, "QVCore.DCD"},     {6, "QVCore.Service"},   {7, "QVCore.Storage"}, {8, "QVCore.System"},
    {9, "QVCore.UI"},      {10, "QVNewsReader.UI"}, {11, "QVCore.Bypass"}, {12, "QVDevice"},
};

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS settings ("
    " category INTEGER NOT NULL,"
    " key TEXT NOT NULL,"
    " type TEXT NOT NULL CHECK (type IN ('int', 'boolean', 'string')),"
    " value TEXT NOT NULL,"
    " PRIMARY KEY (category, key))";

// Category 7 (QVCore.Storage).
constexpr const char* kLockWaitKey = "LockWaitSeconds";
constexpr int kMaxLockWaitSeconds = 3600;

std::mutex gInstanceLock;
QuorvelSettingMgr* gInstance = nullptr;
bool gFailureLogged = false;

std::string toUtf8(const qvTypes::String& text) {
  std::ostringstream out;
  UTF_8Util::LineWriter writer(out);
  writer.write(text);
  writer.flush();
  return out.str();
}

// The whole text must be a decimal int.
bool parseInt(const std::string& text, int& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end != text.c_str() + text.size() || v < INT_MIN || v > INT_MAX) return false;
  out = static_cast<int>(v);
  return true;
}

// The settings of a fresh install, as the file in the repository has them.
const char kDefaultsText[] =
#include "SettingsDefaults.inc"
    ;

std::string trimmed(const std::string& s) {
  const char* blanks = " \t\r";
  std::string::size_type b = s.find_first_not_of(blanks);
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

// One "FULL.NAME[:TYPE] = VALUE" line, with the types and values that
// "nrctl settings import" accepts. False (with the reason) for a bad line.
bool parseDefaultLine(const std::string& line, QuorvelSettingMgr::Entry& entry, std::string& reason) {
  std::string::size_type eq = line.find('=');
  if (eq == std::string::npos) {
    reason = "expected NAME[:TYPE] = VALUE";
    return false;
  }
  std::string name = trimmed(line.substr(0, eq));
  std::string value = trimmed(line.substr(eq + 1));
  std::string type = "string";
  std::string::size_type colon = name.rfind(':');
  if (colon != std::string::npos) {
    type = trimmed(name.substr(colon + 1));
    name = trimmed(name.substr(0, colon));
  }
  if (!QuorvelSettingMgr::splitFullName(name, entry.category, entry.key)) {
    reason = name + " is in no category";
    return false;
  }
  if (type == "int") {
    int v = 0;
    if (!parseInt(value, v)) {
      reason = value + " is not an int";
      return false;
    }
    entry.type = QuorvelSettingMgr::Type::INT;
    entry.value = std::to_string(v);
  } else if (type == "bool" || type == "boolean") {
    if (value != "true" && value != "false" && value != "1" && value != "0") {
      reason = value + " is not true or false";
      return false;
    }
    entry.type = QuorvelSettingMgr::Type::BOOLEAN;
    entry.value = (value == "true" || value == "1") ? "true" : "false";
  } else if (type == "string") {
    entry.type = QuorvelSettingMgr::Type::STRING;
    entry.value = value;
  } else {
    reason = "unknown type " + type;
    return false;
  }
  return true;
}

std::vector<QuorvelSettingMgr::Entry> parseDefaults() {
  std::vector<QuorvelSettingMgr::Entry> out;
  std::istringstream in(kDefaultsText);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    std::string text = trimmed(line);
    if (text.empty() || text[0] == '#') continue;
    QuorvelSettingMgr::Entry entry;
    std::string reason;
    if (!parseDefaultLine(text, entry, reason)) {
      QV_LOG(3, "Settings defaults, line %d left out: %s\n", number, reason.c_str());
      continue;
    }
    out.push_back(entry);
  }
  return out;
}

// Writes the defaults the store does not hold, in one transaction. A
// failure is logged; the store is still used (the next open tries again).
bool applyDefaults(qvsql::Database& db) {
  std::set<std::pair<int, std::string>> present;
  {
    qvsql::Statement stmt = db.prepare("SELECT category, key FROM settings");
    while (stmt.next()) present.emplace(static_cast<int>(stmt.integer(0)), stmt.text(1));
    if (stmt.failed()) return false;
  }
  std::vector<const QuorvelSettingMgr::Entry*> missing;
  for (const QuorvelSettingMgr::Entry& e : QuorvelSettingMgr::defaults()) {
    if (present.count({e.category, e.key}) == 0) missing.push_back(&e);
  }
  if (missing.empty()) return false;
  qvsql::Transaction txn(db);
  if (!txn.active()) {
    QV_LOG(3, "Settings defaults not written: no write transaction\n");
    return false;
  }
  for (const QuorvelSettingMgr::Entry* e : missing) {
    // Another process may have written the key since it was looked up.
    qvsql::Statement stmt = db.prepare(
        "INSERT INTO settings (category, key, type, value) VALUES (?1, ?2, ?3, ?4)"
        " ON CONFLICT (category, key) DO NOTHING");
    stmt.bind(1, static_cast<long long>(e->category)).bind(2, e->key);
    stmt.bind(3, std::string(QuorvelSettingMgr::typeName(e->type))).bind(4, e->value);
    if (!stmt.run()) {
      QV_LOG(3, "Settings defaults not written: %d:%s failed\n", e->category, e->key.c_str());
      return false;
    }
  }
  if (!txn.commit()) {
    QV_LOG(3, "Settings defaults not written: the commit failed\n");
    return false;
  }
  QV_LOG(7, "Settings: %zu defaults written\n", missing.size());
  return true;
}

bool isDamagedCode(int code) { return code == SQLITE_CORRUPT || code == SQLITE_NOTADB; }

// Opens the store, checks it and creates its table. On failure, damaged
// says whether the file is there but is no sound database (as opposed to,
// say, a lock held too long or a directory that cannot be written).
bool openChecked(qvsql::Database& db, const std::string& file, std::string& error, bool& damaged) {
  damaged = false;
  if (!db.open(file, error)) {
    damaged = isDamagedCode(db.lastCode());
    return false;
  }
  std::string result;
  bool checked = db.queryText("PRAGMA quick_check", result);
  if (!checked || result != "ok") {
    damaged = checked || isDamagedCode(db.lastCode());
    error = file + " fails its check: " + (checked ? result : std::string(sqlite3_errstr(db.lastCode())));
    db.close();
    return false;
  }
  if (!db.exec(kSchema)) {
    damaged = isDamagedCode(db.lastCode());
    error = "cannot create the settings table in " + file;
    db.close();
    return false;
  }
  return true;
}

// Copies from to to through a synced temporary file renamed into place, so
// that to is the whole copy or absent.
bool copyWhole(const std::string& from, const std::string& to) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  std::string temp = to + ".tmp-" + std::to_string(::getpid());
  int out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = out >= 0;
  char buf[65536];
  while (ok) {
    ssize_t n = ::read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < n;) {
      ssize_t w = ::write(out, buf + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      ok = w > 0;
      done += w > 0 ? w : 0;
    }
  }
  ::close(in);
  if (out >= 0) {
    ok = ::fsync(out) == 0 && ok;
    ok = ::close(out) == 0 && ok;
  }
  ok = ok && ::rename(temp.c_str(), to.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

std::string utcStamp() {
  std::time_t now = std::time(nullptr);
  struct tm parts;
  char text[32] = "unknown";
  if (gmtime_r(&now, &parts) != nullptr) std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
  return text;
}

// A damaged store is kept aside (with its log, which may hold the last
// writes) for inspection, and the last good copy, else nothing (so that
// the defaults apply), takes its place. One line says what happened. False
// when even a fresh store cannot be made.
bool recoverDamaged(QuorvelSettingMgr::Impl& impl, const std::string& reason, std::string& error) {
  const std::string& file = impl.file;
  std::string aside = file + ".damaged-" + utcStamp();
  if (::rename(file.c_str(), aside.c_str()) != 0 && errno != ENOENT) {
    error = "cannot move the damaged " + file + " aside: " + std::strerror(errno);
    return false;
  }
  ::rename((file + "-wal").c_str(), (aside + "-wal").c_str());
  ::unlink((file + "-shm").c_str());
  bool damaged = false;
  std::string ignored;
  if (::access(impl.goodCopy().c_str(), R_OK) == 0 && copyWhole(impl.goodCopy(), file) &&
      openChecked(impl.db, file, ignored, damaged)) {
    QV_LOG(3, "Settings store %s was damaged (%s); kept aside as %s and restored from the last good copy %s\n",
           file.c_str(), reason.c_str(), aside.c_str(), impl.goodCopy().c_str());
    return true;
  }
  ::unlink(file.c_str());
  ::unlink((file + "-wal").c_str());
  ::unlink((file + "-shm").c_str());
  if (!openChecked(impl.db, file, error, damaged)) return false;
  QV_LOG(3, "Settings store %s was damaged (%s); kept aside as %s, no last good copy could be used: starting from the defaults\n",
         file.c_str(), reason.c_str(), aside.c_str());
  return true;
}

}  // namespace

const std::vector<QuorvelSettingMgr::Entry>& QuorvelSettingMgr::defaults() {
  static const std::vector<Entry> kDefaults = parseDefaults();
  return kDefaults;
}

QuorvelSettingMgr::QuorvelSettingMgr(Impl* impl) : mImpl(impl) {}

QuorvelSettingMgr::~QuorvelSettingMgr() { delete mImpl; }

QuorvelSettingMgr* QuorvelSettingMgr::getSettingMgrInstance() {
  std::lock_guard<std::mutex> guard(gInstanceLock);
  if (gInstance != nullptr) return gInstance;

  std::string error;
  std::unique_ptr<Impl> impl(new Impl);
  impl->file = qvhome::path() + "/settings.db";
  bool damaged = false;
  bool ok = qvhome::ensure(error) && openChecked(impl->db, impl->file, error, damaged);
  if (!ok && damaged) ok = recoverDamaged(*impl, error, error);
  if (ok) {
    applyDefaults(impl->db);
    // Another process's lock is waited for as long as the setting says.
    {
      int seconds = 0;
      qvsql::Statement stmt =
          impl->db.prepare("SELECT value FROM settings WHERE category = 7 AND key = ?1 AND type = 'int'");
      stmt.bind(1, std::string(kLockWaitKey));
      if (stmt.next() && parseInt(stmt.text(0), seconds) && seconds >= 0 && seconds <= kMaxLockWaitSeconds) {
        impl->db.setBusyTimeout(seconds * 1000);
      }
    }
    // The copy taken now also holds what other processes wrote.
    impl->keepGoodCopy();
  }
  if (!ok) {
    // Callers ask again and again; one line says it.
    if (!gFailureLogged) QV_LOG(3, "Settings store unavailable: %s\n", error.c_str());
    gFailureLogged = true;
    return nullptr;
  }
  gFailureLogged = false;
  gInstance = new QuorvelSettingMgr(impl.release());
  return gInstance;
}

int QuorvelSettingMgr::lockWaitMillis() {
  QuorvelSettingMgr* mgr = getSettingMgrInstance();
  int seconds = 0;
  if (mgr == nullptr || mgr->getInt(7, kLockWaitKey, seconds) != 0 || seconds < 0 ||
      seconds > kMaxLockWaitSeconds) {
    return qvsql::kDefaultBusyMillis;
  }
  return seconds * 1000;
}

void QuorvelSettingMgr::resetForTesting() {
  std::lock_guard<std::mutex> guard(gInstanceLock);
  delete gInstance;
  gInstance = nullptr;
  gFailureLogged = false;
}

namespace {

// Reads the stored text of (category, key) when it has the expected type.
int readValue(QuorvelSettingMgr::Impl& impl, int category, const std::string& key,
              QuorvelSettingMgr::Type expected, std::string& value) {
  std::lock_guard<std::mutex> guard(impl.lock);
  qvsql::Statement stmt = impl.db.prepare("SELECT type, value FROM settings WHERE category = ?1 AND key = ?2");
  stmt.bind(1, static_cast<long long>(category)).bind(2, key);
  if (!stmt.next()) {
    if (!stmt.failed()) QV_LOG(8, "Setting %d:%s is not set\n", category, key.c_str());
    return 1;
  }
  std::string type = stmt.text(0);
  if (type != QuorvelSettingMgr::typeName(expected)) {
    QV_LOG(3, "Setting %d:%s is stored as %s, not as %s\n", category, key.c_str(), type.c_str(),
           QuorvelSettingMgr::typeName(expected));
    return 1;
  }
  value = stmt.text(1);
  return 0;
}

int writeValue(QuorvelSettingMgr::Impl& impl, int category, const std::string& key, QuorvelSettingMgr::Type type,
               const std::string& value) {
  std::lock_guard<std::mutex> guard(impl.lock);
  qvsql::Statement stmt = impl.db.prepare(
      "INSERT INTO settings (category, key, type, value) VALUES (?1, ?2, ?3, ?4)"
      " ON CONFLICT (category, key) DO UPDATE SET type = excluded.type, value = excluded.value");
  stmt.bind(1, static_cast<long long>(category)).bind(2, key).bind(3, std::string(QuorvelSettingMgr::typeName(type)));
  stmt.bind(4, value);
  if (!stmt.run()) return 1;
  impl.keepGoodCopy();
  QV_LOG(7, "Setting %d:%s set to (%s) %s\n", category, key.c_str(), QuorvelSettingMgr::typeName(type), value.c_str());
  return 0;
}

}  // namespace

int QuorvelSettingMgr::getInt(int category, const std::string& key, int& value) {
  std::string text;
  if (readValue(*mImpl, category, key, Type::INT, text) != 0) return 1;
  int parsed = 0;
  if (!parseInt(text, parsed)) {
    QV_LOG(3, "Setting %d:%s holds a damaged int, %s\n", category, key.c_str(), text.c_str());
    return 1;
  }
  value = parsed;
  return 0;
}

int QuorvelSettingMgr::getBoolean(int category, const std::string& key, bool& value) {
  std::string text;
  if (readValue(*mImpl, category, key, Type::BOOLEAN, text) != 0) return 1;
  if (text != "true" && text != "false") {
    QV_LOG(3, "Setting %d:%s holds a damaged boolean, %s\n", category, key.c_str(), text.c_str());
    return 1;
  }
  value = text == "true";
  return 0;
}

int QuorvelSettingMgr::getString(int category, const std::string& key, qvTypes::String& value) {
  std::string text;
  if (readValue(*mImpl, category, key, Type::STRING, text) != 0) return 1;
  value = MString::toWide(text);
  return 0;
}

int QuorvelSettingMgr::setInt(int category, const std::string& key, int value) {
  return writeValue(*mImpl, category, key, Type::INT, std::to_string(value));
}

int QuorvelSettingMgr::setBoolean(int category, const std::string& key, bool value) {
  return writeValue(*mImpl, category, key, Type::BOOLEAN, value ? "true" : "false");
}

int QuorvelSettingMgr::setString(int category, const std::string& key, const qvTypes::String& value) {
  return writeValue(*mImpl, category, key, Type::STRING, toUtf8(value));
}

int QuorvelSettingMgr::getCategory(const qvTypes::String& fullName) {
  int category = kNoCategory;
  std::string key;
  if (!splitFullName(toUtf8(fullName), category, key)) return kNoCategory;
  return category;
}

int QuorvelSettingMgr::notifySettingModeChange(const std::string& mode) {
  QV_Event event(NR_Constants::EVENT_SETTING_MODE_CHANGE, 0);
  event.mProperties.reset(new QV_PropertyMap);
  (*event.mProperties)["mode"] = mode;
  int rc = QV_EventAndStatusFacade::instance()->publishEvent(event, nullptr);
  if (rc != 0) QV_LOG(3, "Unable to publish the mode change to %s (%d)\n", mode.c_str(), rc);
  return rc;
}

int QuorvelSettingMgr::remove(int category, const std::string& key) {
  std::lock_guard<std::mutex> guard(mImpl->lock);
  qvsql::Statement stmt = mImpl->db.prepare("DELETE FROM settings WHERE category = ?1 AND key = ?2");
  stmt.bind(1, static_cast<long long>(category)).bind(2, key);
  if (!stmt.run()) return 1;
  if (mImpl->db.changes() == 0) {
    QV_LOG(8, "Setting %d:%s is not set\n", category, key.c_str());
    return 1;
  }
  mImpl->keepGoodCopy();
  QV_LOG(7, "Setting %d:%s removed\n", category, key.c_str());
  return 0;
}

std::vector<QuorvelSettingMgr::Entry> QuorvelSettingMgr::list() {
  std::vector<Entry> out;
  std::lock_guard<std::mutex> guard(mImpl->lock);
  qvsql::Statement stmt = mImpl->db.prepare("SELECT category, key, type, value FROM settings ORDER BY category, key");
  while (stmt.next()) {
    Entry e;
    e.category = static_cast<int>(stmt.integer(0));
    e.key = stmt.text(1);
    if (!parseType(stmt.text(2), e.type)) continue;
    e.value = stmt.text(3);
    out.push_back(e);
  }
  return out;
}

const char* QuorvelSettingMgr::categoryName(int category) {
  for (const CategoryName& c : kCategories) {
    if (c.number == category) return c.name;
  }
  return nullptr;
}

bool QuorvelSettingMgr::splitFullName(const std::string& fullName, int& category, std::string& key) {
  // The longest category name that is followed by "." and a non-empty key.
  const CategoryName* best = nullptr;
  std::size_t bestLength = 0;
  for (const CategoryName& c : kCategories) {
    std::size_t n = std::strlen(c.name);
    if (fullName.size() > n + 1 && fullName.compare(0, n, c.name) == 0 && fullName[n] == '.' && n > bestLength) {
      best = &c;
      bestLength = n;
    }
  }
  if (best == nullptr) return false;
  category = best->number;
  key = fullName.substr(bestLength + 1);
  return true;
}

const char* QuorvelSettingMgr::typeName(Type type) {
  switch (type) {
    case Type::INT:
      return "int";
    case Type::BOOLEAN:
      return "boolean";
    case Type::STRING:
      return "string";
  }
  return "string";
}

bool QuorvelSettingMgr::parseType(const std::string& text, Type& type) {
  if (text == "int") {
    type = Type::INT;
  } else if (text == "boolean") {
    type = Type::BOOLEAN;
  } else if (text == "string") {
    type = Type::STRING;
  } else {
    return false;
  }
  return true;
}
