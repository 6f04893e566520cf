#include "platform/Settings.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
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
void applyDefaults(qvsql::Database& db) {
  std::set<std::pair<int, std::string>> present;
  {
    qvsql::Statement stmt = db.prepare("SELECT category, key FROM settings");
    while (stmt.next()) present.emplace(static_cast<int>(stmt.integer(0)), stmt.text(1));
    if (stmt.failed()) return;
  }
  std::vector<const QuorvelSettingMgr::Entry*> missing;
  for (const QuorvelSettingMgr::Entry& e : QuorvelSettingMgr::defaults()) {
    if (present.count({e.category, e.key}) == 0) missing.push_back(&e);
  }
  if (missing.empty()) return;
  qvsql::Transaction txn(db);
  if (!txn.active()) {
    QV_LOG(3, "Settings defaults not written: no write transaction\n");
    return;
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
      return;
    }
  }
  if (!txn.commit()) {
    QV_LOG(3, "Settings defaults not written: the commit failed\n");
    return;
  }
  QV_LOG(7, "Settings: %zu defaults written\n", missing.size());
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
  std::string file = qvhome::path() + "/settings.db";
  bool ok = qvhome::ensure(error) && impl->db.open(file, error);
  if (ok && !impl->db.exec(kSchema)) {
    error = "cannot create the settings table in " + file;
    ok = false;
  }
  if (ok) applyDefaults(impl->db);
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
