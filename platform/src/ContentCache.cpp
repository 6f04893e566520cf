#include "platform/ContentCache.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>

#include "ContentCacheRefs.h"
#include "Sqlite.h"
#include "platform/Home.h"
#include "platform/Log.h"
#include "platform/Settings.h"

// ---------------------------------------------------------------------------
// Values

qvTypes::String AttrMap::getString(const qvTypes::ID& key, const qvTypes::String& defaultValue,
                                   const qvTypes::ID& language) const {
  auto it = mValues.find(Key(key, language));
  return it == mValues.end() ? defaultValue : it->second;
}

void AttrMap::putString(const qvTypes::ID& key, const qvTypes::String& value, const qvTypes::ID& language) {
  mValues[Key(key, language)] = value;
}

bool AttrMap::has(const qvTypes::ID& key, const qvTypes::ID& language) const {
  return mValues.count(Key(key, language)) != 0;
}

bool AttrMap::remove(const qvTypes::ID& key, const qvTypes::ID& language) {
  return mValues.erase(Key(key, language)) != 0;
}

bool NewsObject::sameFields(const NewsObject& o) const {
  return mId == o.mId && mTitle == o.mTitle && mSummary == o.mSummary && mEntryType == o.mEntryType &&
         mFlags == o.mFlags && mPriority == o.mPriority && mOrder == o.mOrder &&
         mActivationDate == o.mActivationDate && mExpirationDate == o.mExpirationDate && mLink == o.mLink &&
         mTemplateId == o.mTemplateId && mTemplateUrl == o.mTemplateUrl && mMedia == o.mMedia &&
         mExcerpt == o.mExcerpt && mContent == o.mContent && mExcerptText == o.mExcerptText &&
         mAttributes == o.mAttributes;
}

bool Channel::operator==(const Channel& o) const {
  return sameFields(o) && mItemIds == o.mItemIds && mEntryTemplateId == o.mEntryTemplateId &&
         mEntryTemplateUrl == o.mEntryTemplateUrl;
}

bool Item::operator==(const Item& o) const {
  return sameFields(o) && mDisplayCount == o.mDisplayCount && mDisplayTime == o.mDisplayTime &&
         mIssued == o.mIssued && mAuthorName == o.mAuthorName && mAuthorUrl == o.mAuthorUrl &&
         mAuthorEmail == o.mAuthorEmail;
}

int Channel::store() const {
  NR_ContentCache* cache = NR_ContentCache::getInstance();
  if (cache == nullptr) {
    QV_LOG(3, "Cannot store channel %s: no content cache\n", getId().c_str());
    return 1;
  }
  return cache->save(getId(), *this);
}

int Item::store() const {
  NR_ContentCache* cache = NR_ContentCache::getInstance();
  if (cache == nullptr) {
    QV_LOG(3, "Cannot store item %s: no content cache\n", getId().c_str());
    return 1;
  }
  return cache->save(getId(), *this);
}

// ---------------------------------------------------------------------------
// The stored form of a news object: JSON text. Strings are the UTF-8 bytes;
// a byte that is not part of valid UTF-8 (possible in an id) is written as
// \u0080..\u00FF, which this reader turns back into that single byte (valid
// text in that range is always written as plain UTF-8, so nothing else is
// ever written that way).

namespace {

std::string toUtf8(const qvTypes::String& text) { return MString::fromWide(text); }

// Length of the valid UTF-8 sequence at s[i] (1 to 4), 0 when invalid.
std::size_t utf8SequenceLength(const std::string& s, std::size_t i) {
  unsigned char c0 = static_cast<unsigned char>(s[i]);
  std::size_t extra;
  unsigned long cp;
  unsigned long minimum;
  if (c0 < 0x80) return 1;
  if ((c0 & 0xE0) == 0xC0) {
    extra = 1; cp = c0 & 0x1F; minimum = 0x80;
  } else if ((c0 & 0xF0) == 0xE0) {
    extra = 2; cp = c0 & 0x0F; minimum = 0x800;
  } else if ((c0 & 0xF8) == 0xF0) {
    extra = 3; cp = c0 & 0x07; minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + extra >= s.size()) return 0;
  for (std::size_t k = 1; k <= extra; ++k) {
    unsigned char c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return extra + 1;
}

void appendHexEscape(std::string& out, unsigned value) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\u%04X", value);
  out += buf;
}

std::string jsonString(const std::string& bytes) {
  std::string out = "\"";
  for (std::size_t i = 0; i < bytes.size();) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x80) {
      std::size_t n = utf8SequenceLength(bytes, i);
      if (n == 0) {
        appendHexEscape(out, c);
        ++i;
      } else {
        out.append(bytes, i, n);
        i += n;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          appendHexEscape(out, c);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
    ++i;
  }
  out += "\"";
  return out;
}

std::string jsonString(const qvTypes::String& text) { return jsonString(toUtf8(text)); }

// Builds one JSON object, members in the order added.
class JsonObject {
 public:
  JsonObject& raw(const std::string& key, const std::string& json) {
    mText += mText.empty() ? "{" : ",";
    mText += jsonString(key);
    mText += ":";
    mText += json;
    return *this;
  }
  JsonObject& str(const std::string& key, const std::string& bytes) { return raw(key, jsonString(bytes)); }
  JsonObject& str(const std::string& key, const qvTypes::String& text) { return raw(key, jsonString(text)); }
  JsonObject& num(const std::string& key, long long n) { return raw(key, std::to_string(n)); }
  std::string text() const { return mText.empty() ? "{}" : mText + "}"; }

 private:
  std::string mText;
};

std::string jsonIdArray(const std::vector<qvTypes::ID>& ids) {
  std::string out = "[";
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (i > 0) out += ",";
    out += jsonString(ids[i]);
  }
  return out + "]";
}

// A parsed JSON value (only what the writer above produces is needed, but
// any well-formed JSON is read; numbers must be integers).
struct JsonValue {
  enum Kind { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT } kind = NUL;
  bool boolean = false;
  long long number = 0;
  std::string string;
  std::vector<JsonValue> array;
  std::vector<std::pair<std::string, JsonValue>> members;

  const JsonValue* member(const char* key) const {
    for (const auto& m : members) {
      if (m.first == key) return &m.second;
    }
    return nullptr;
  }
};

class JsonParser {
 public:
  explicit JsonParser(const std::string& text) : mText(text) {}

  bool parse(JsonValue& out) {
    if (!value(out, 0)) return false;
    skipBlanks();
    return mPos == mText.size();
  }

 private:
  static constexpr int kMaxDepth = 32;

  void skipBlanks() {
    while (mPos < mText.size() &&
           (mText[mPos] == ' ' || mText[mPos] == '\n' || mText[mPos] == '\r' || mText[mPos] == '\t')) {
      ++mPos;
    }
  }

  bool literal(const char* word) {
    std::size_t n = std::strlen(word);
    if (mText.compare(mPos, n, word) != 0) return false;
    mPos += n;
    return true;
  }

  bool value(JsonValue& out, int depth) {
    if (depth > kMaxDepth) return false;
    skipBlanks();
    if (mPos >= mText.size()) return false;
    char c = mText[mPos];
    if (c == '{') return object(out, depth);
    if (c == '[') return array(out, depth);
    if (c == '"') {
      out.kind = JsonValue::STRING;
      return string(out.string);
    }
    if (c == 't' || c == 'f') {
      out.kind = JsonValue::BOOL;
      out.boolean = c == 't';
      return literal(c == 't' ? "true" : "false");
    }
    if (c == 'n') {
      out.kind = JsonValue::NUL;
      return literal("null");
    }
    return number(out);
  }

  bool number(JsonValue& out) {
    std::size_t start = mPos;
    if (mPos < mText.size() && mText[mPos] == '-') ++mPos;
    std::size_t digits = mPos;
    while (mPos < mText.size() && mText[mPos] >= '0' && mText[mPos] <= '9') ++mPos;
    if (mPos == digits) return false;
    std::string text = mText.substr(start, mPos - start);
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    out.kind = JsonValue::NUMBER;
    out.number = v;
    return true;
  }

  bool hex4(unsigned& out) {
    if (mPos + 4 > mText.size()) return false;
    out = 0;
    for (int i = 0; i < 4; ++i) {
      char c = mText[mPos++];
      out <<= 4;
      if (c >= '0' && c <= '9') {
        out |= static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        out |= static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        out |= static_cast<unsigned>(c - 'A' + 10);
      } else {
        return false;
      }
    }
    return true;
  }

  static void appendUtf8(std::string& out, unsigned long cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  bool string(std::string& out) {
    ++mPos;  // the opening quote
    out.clear();
    while (mPos < mText.size()) {
      char c = mText[mPos++];
      if (c == '"') return true;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (mPos >= mText.size()) return false;
      char e = mText[mPos++];
      switch (e) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '/': out.push_back('/'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
          unsigned cp = 0;
          if (!hex4(cp)) return false;
          if (cp >= 0x80 && cp <= 0xFF) {
            out.push_back(static_cast<char>(cp));  // a raw byte, see above
          } else if (cp >= 0xD800 && cp <= 0xDBFF && mText.compare(mPos, 2, "\\u") == 0) {
            mPos += 2;
            unsigned low = 0;
            if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            appendUtf8(out, 0x10000 + ((static_cast<unsigned long>(cp) - 0xD800) << 10) + (low - 0xDC00));
          } else {
            appendUtf8(out, cp);
          }
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  bool array(JsonValue& out, int depth) {
    out.kind = JsonValue::ARRAY;
    ++mPos;
    skipBlanks();
    if (mPos < mText.size() && mText[mPos] == ']') {
      ++mPos;
      return true;
    }
    for (;;) {
      out.array.emplace_back();
      if (!value(out.array.back(), depth + 1)) return false;
      skipBlanks();
      if (mPos >= mText.size()) return false;
      char c = mText[mPos++];
      if (c == ']') return true;
      if (c != ',') return false;
    }
  }

  bool object(JsonValue& out, int depth) {
    out.kind = JsonValue::OBJECT;
    ++mPos;
    skipBlanks();
    if (mPos < mText.size() && mText[mPos] == '}') {
      ++mPos;
      return true;
    }
    for (;;) {
      skipBlanks();
      if (mPos >= mText.size() || mText[mPos] != '"') return false;
      out.members.emplace_back();
      if (!string(out.members.back().first)) return false;
      skipBlanks();
      if (mPos >= mText.size() || mText[mPos] != ':') return false;
      ++mPos;
      if (!value(out.members.back().second, depth + 1)) return false;
      skipBlanks();
      if (mPos >= mText.size()) return false;
      char c = mText[mPos++];
      if (c == '}') return true;
      if (c != ',') return false;
    }
  }

  const std::string& mText;
  std::size_t mPos = 0;
};

// Readers of optional members: a missing member (or one of another kind)
// leaves the target alone.
void readBytes(const JsonValue& obj, const char* key, std::string& out) {
  const JsonValue* v = obj.member(key);
  if (v != nullptr && v->kind == JsonValue::STRING) out = v->string;
}

void readText(const JsonValue& obj, const char* key, qvTypes::String& out) {
  const JsonValue* v = obj.member(key);
  if (v != nullptr && v->kind == JsonValue::STRING) out = MString::toWide(v->string);
}

template <class T>
void readNumber(const JsonValue& obj, const char* key, T& out) {
  const JsonValue* v = obj.member(key);
  if (v != nullptr && v->kind == JsonValue::NUMBER) out = static_cast<T>(v->number);
}

void readIds(const JsonValue& obj, const char* key, std::vector<qvTypes::ID>& out) {
  const JsonValue* v = obj.member(key);
  if (v == nullptr || v->kind != JsonValue::ARRAY) return;
  out.clear();
  for (const JsonValue& e : v->array) {
    if (e.kind == JsonValue::STRING) out.push_back(e.string);
  }
}

std::string mediaJson(const NewsObject::Media& m) {
  return JsonObject()
      .str("name", m.name)
      .str("mime", m.mimeType)
      .str("mode", m.mode)
      .str("assetId", m.assetId)
      .str("url", m.url)
      .str("text", m.text)
      .text();
}

std::string mediaMapJson(const NewsObject::MediaMap& map) {
  JsonObject obj;
  for (const auto& entry : map) obj.raw(entry.first, mediaJson(entry.second));
  return obj.text();
}

void readMediaMap(const JsonValue& obj, const char* key, NewsObject::MediaMap& out) {
  const JsonValue* v = obj.member(key);
  if (v == nullptr || v->kind != JsonValue::OBJECT) return;
  out.clear();
  for (const auto& entry : v->members) {
    if (entry.second.kind != JsonValue::OBJECT) continue;
    NewsObject::Media m;
    readBytes(entry.second, "name", m.name);
    readBytes(entry.second, "mime", m.mimeType);
    readBytes(entry.second, "mode", m.mode);
    readBytes(entry.second, "assetId", m.assetId);
    readText(entry.second, "url", m.url);
    readText(entry.second, "text", m.text);
    out[entry.first] = m;
  }
}

// Everything of a news object but the title and summary, which have
// columns of their own.
void writeCommon(JsonObject& obj, const NewsObject& o) {
  obj.str("id", o.getId());
  obj.str("entryType", o.getEntryType());
  obj.num("flags", o.getFlags());
  obj.num("priority", o.getPriority());
  obj.num("order", o.getOrder());
  if (o.getActivationDate() == NewsObject::NO_ACTIVATION_DATE) {
    obj.raw("activation", "null");
  } else {
    obj.num("activation", o.getActivationDate());
  }
  if (o.getExpirationDate() == NewsObject::NO_EXPIRATION_DATE) {
    obj.raw("expiration", "null");
  } else {
    obj.num("expiration", o.getExpirationDate());
  }
  obj.raw("link", JsonObject()
                      .str("url", o.getLink().url)
                      .str("type", o.getLink().type)
                      .num("relation", o.getLink().relation)
                      .text());
  obj.str("templateId", o.getTemplateId());
  obj.str("templateUrl", o.getTemplateUrl());
  obj.raw("media", mediaMapJson(o.getMediaMap()));
  obj.raw("excerpt", mediaMapJson(o.getExcerptMap()));
  obj.raw("content", mediaMapJson(o.getContentMap()));
  obj.str("excerptText", o.getExcerptText());
  std::string attrs = "[";
  for (const auto& entry : o.getAttributes().entries()) {
    if (attrs.size() > 1) attrs += ",";
    attrs += JsonObject()
                 .str("key", entry.first.first)
                 .str("lang", entry.first.second)
                 .str("value", entry.second)
                 .text();
  }
  obj.raw("attributes", attrs + "]");
}

void readCommon(const JsonValue& obj, NewsObject& o) {
  std::string bytes;
  readBytes(obj, "id", bytes);
  o.setId(bytes);
  bytes.clear();
  readBytes(obj, "entryType", bytes);
  o.setEntryType(bytes);
  int n = 0;
  readNumber(obj, "flags", n);
  o.setFlags(static_cast<unsigned char>(n));
  n = NewsObject::DEFAULT;
  readNumber(obj, "priority", n);
  o.setPriority(n);
  n = 0;
  readNumber(obj, "order", n);
  o.setOrder(n);
  long date = NewsObject::NO_ACTIVATION_DATE;
  readNumber(obj, "activation", date);
  o.setActivationDate(date);
  date = NewsObject::NO_EXPIRATION_DATE;
  readNumber(obj, "expiration", date);
  o.setExpirationDate(date);
  NewsObject::Link link;
  if (const JsonValue* v = obj.member("link")) {
    readText(*v, "url", link.url);
    readText(*v, "type", link.type);
    readNumber(*v, "relation", link.relation);
  }
  o.setLink(link);
  bytes.clear();
  readBytes(obj, "templateId", bytes);
  o.setTemplateId(bytes);
  qvTypes::String text;
  readText(obj, "templateUrl", text);
  o.setTemplateUrl(text);
  NewsObject::MediaMap map;
  readMediaMap(obj, "media", map);
  o.setMediaMap(map);
  map.clear();
  readMediaMap(obj, "excerpt", map);
  o.setExcerptMap(map);
  map.clear();
  readMediaMap(obj, "content", map);
  o.setContentMap(map);
  text.clear();
  readText(obj, "excerptText", text);
  o.setExcerptText(text);
  o.getAttributes().clear();
  if (const JsonValue* v = obj.member("attributes")) {
    for (const JsonValue& e : v->array) {
      std::string key;
      std::string lang;
      qvTypes::String value;
      readBytes(e, "key", key);
      readBytes(e, "lang", lang);
      readText(e, "value", value);
      o.getAttributes().putString(key, value, lang);
    }
  }
}

std::string channelJson(const Channel& c) {
  JsonObject obj;
  writeCommon(obj, c);
  obj.raw("itemIds", jsonIdArray(c.getItemIds()));
  obj.str("entryTemplateId", c.getEntryTemplateId());
  obj.str("entryTemplateUrl", c.getEntryTemplateUrl());
  return obj.text();
}

void readChannel(const JsonValue& obj, Channel& c) {
  readCommon(obj, c);
  std::vector<qvTypes::ID> ids;
  readIds(obj, "itemIds", ids);
  c.setItemIds(ids);
  std::string id;
  readBytes(obj, "entryTemplateId", id);
  c.setEntryTemplateId(id);
  qvTypes::String url;
  readText(obj, "entryTemplateUrl", url);
  c.setEntryTemplateUrl(url);
}

std::string itemJson(const Item& item) {
  JsonObject obj;
  writeCommon(obj, item);
  obj.num("displayCount", item.getDisplayCount());
  obj.num("displayTime", item.getDisplayTime());
  obj.num("issued", item.getIssued());
  obj.raw("author", JsonObject()
                        .str("name", item.getAuthorName())
                        .str("url", item.getAuthorUrl())
                        .str("email", item.getAuthorEmail())
                        .text());
  return obj.text();
}

void readItem(const JsonValue& obj, Item& item) {
  readCommon(obj, item);
  int count = 0;
  readNumber(obj, "displayCount", count);
  item.setDisplayCount(count);
  long n = 0;
  readNumber(obj, "displayTime", n);
  item.setDisplayTime(n);
  n = 0;
  readNumber(obj, "issued", n);
  item.setIssued(n);
  qvTypes::String name;
  qvTypes::String url;
  qvTypes::String email;
  if (const JsonValue* v = obj.member("author")) {
    readText(*v, "name", name);
    readText(*v, "url", url);
    readText(*v, "email", email);
  }
  item.setAuthor(name, url, email);
}

// ---------------------------------------------------------------------------
// Files

constexpr const char* kTempPrefix = ".tmp-";

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS containers ("
    " id TEXT PRIMARY KEY NOT NULL, channel_ids TEXT NOT NULL, saved_at INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS channels ("
    " id TEXT PRIMARY KEY NOT NULL, title TEXT NOT NULL, summary TEXT NOT NULL, fields TEXT NOT NULL,"
    " saved_at INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS items ("
    " id TEXT PRIMARY KEY NOT NULL, title TEXT NOT NULL, summary TEXT NOT NULL, fields TEXT NOT NULL,"
    " saved_at INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS assets ("
    " id TEXT PRIMARY KEY NOT NULL, mime TEXT NOT NULL, size INTEGER NOT NULL, file TEXT NOT NULL UNIQUE,"
    " saved_at INTEGER NOT NULL);";

std::string errnoText() { return std::strerror(errno); }

bool fsyncPath(const std::string& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

uint64_t fnv1a64(const std::string& bytes) {
  uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return h;
}

bool processAlive(long pid) {
  if (pid <= 0) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// The pid in a temporary file's name (".tmp-<pid>-<n>"), 0 when unreadable.
long tempFileOwner(const std::string& name) {
  std::string rest = name.substr(std::strlen(kTempPrefix));
  char* end = nullptr;
  long pid = std::strtol(rest.c_str(), &end, 10);
  return (end != rest.c_str() && *end == '-') ? pid : 0;
}

std::vector<std::string> directoryEntries(const std::string& dir) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), &::closedir);
  if (!d) return names;
  while (struct dirent* e = ::readdir(d.get())) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  return names;
}

bool isDamaged(int code) { return code == SQLITE_CORRUPT || code == SQLITE_NOTADB; }

// A write transaction of one operation. Inside an open batch scope it is a
// savepoint of the batch (a plain BEGIN would fail there), so the operation
// still succeeds or fails as a whole.
class WriteScope {
 public:
  WriteScope(qvsql::Database& db, bool insideBatch) : mDb(db), mNested(insideBatch) {
    mActive = db.exec(mNested ? "SAVEPOINT qv_write" : "BEGIN IMMEDIATE");
  }
  ~WriteScope() {
    if (mActive) undo();
  }
  WriteScope(const WriteScope&) = delete;
  WriteScope& operator=(const WriteScope&) = delete;

  bool active() const { return mActive; }
  bool commit() {
    if (!mActive) return false;
    mActive = false;
    if (mDb.exec(mNested ? "RELEASE qv_write" : "COMMIT")) return true;
    undo();
    return false;
  }

 private:
  // SQLite may have rolled the whole transaction back already (then there
  // is nothing left to undo, and ROLLBACK would only fail).
  void undo() {
    if (mDb.inTransaction()) mDb.exec(mNested ? "ROLLBACK TO qv_write; RELEASE qv_write" : "ROLLBACK");
  }

  qvsql::Database& mDb;
  bool mNested;
  bool mActive = false;
};

}  // namespace

// ---------------------------------------------------------------------------
// The cache

class NR_ContentCache::Impl {
 public:
  struct Pending {
    std::unique_ptr<std::ofstream> stream;
    qvTypes::ID id;
    std::string tempPath;
    long size = 0;
  };

  std::mutex lock;
  qvsql::Database db;
  std::string home;
  std::string dbPath;
  std::string assetsDir;
  std::map<std::ofstream*, Pending> pending;
  unsigned long tempCounter = 0;
  // Open batch scopes; savepoints are numbered so nested names differ.
  int batchDepth = 0;
  unsigned long savepointCounter = 0;
  // Set when a write of the open batch failed, a scope of it could not be
  // begun, or SQLite ended its transaction by itself: from then on every
  // write is refused and the batch can only be undone. Cleared when the
  // outermost scope closes.
  bool batchBroken = false;
  // How long another process's lock is waited for.
  int lockWaitMillis = qvsql::kDefaultBusyMillis;

  // Whether a write may be made now. Outside a batch it always may (each
  // write is a transaction of its own). Inside one it may only while the
  // batch's transaction is still open: after SQLite rolled it back (a full
  // disk, an I/O error), a write would be committed on its own, and the
  // batch would end up half stored.
  bool mayWrite() {
    if (batchDepth == 0) return true;
    if (!batchBroken && !db.inTransaction()) {
      QV_LOG(3, "The content-cache batch was ended by SQLite; its writes are refused and nothing of it is kept\n");
      batchBroken = true;
    }
    return !batchBroken;
  }

  // A write inside a batch failed in SQLite: the batch cannot be complete.
  void writeFailed() {
    if (batchDepth == 0 || batchBroken) return;
    QV_LOG(3, "A content-cache write failed inside a batch; the batch will be undone\n");
    batchBroken = true;
  }

  // Runs a write statement under the batch rules; false when refused or
  // failed.
  bool runWrite(qvsql::Statement& stmt) {
    if (!mayWrite()) return false;
    if (stmt.run()) return true;
    writeFailed();
    return false;
  }

  // Opens the database and creates the tables; false with a reason (and the
  // SQLite code in db.lastCode()).
  bool openDatabase(std::string& error) {
    if (!db.open(dbPath, error, lockWaitMillis)) return false;
    if (!db.exec(kSchema) || !upgradeSchema()) {
      error = "cannot create the tables of " + dbPath;
      db.close();
      return false;
    }
    return true;
  }

  // Brings a store of an older version (or a new, empty one) to the current
  // schema, once, in one transaction: the references of every stored object
  // are built from its decoded form, and every asset file gets its stamp.
  bool upgradeSchema() {
    std::string version;
    if (!db.queryText("PRAGMA user_version", version)) return false;
    if (std::atoi(version.c_str()) >= qvcache::kSchemaVersion) return true;
    qvsql::Transaction tx(db);
    if (!tx.active()) return false;
    // Another process may have upgraded it while this one waited.
    if (!db.queryText("PRAGMA user_version", version)) return false;
    if (std::atoi(version.c_str()) >= qvcache::kSchemaVersion) return true;
    if (!db.exec(qvcache::kUpgradeToV2)) return false;
    std::vector<std::pair<std::string, std::string>> rows;
    auto readRows = [&](const char* sql) {
      rows.clear();
      qvsql::Statement stmt = db.prepare(sql);
      while (stmt.next()) rows.emplace_back(stmt.text(0), stmt.text(1));
      return !stmt.failed();
    };
    if (!readRows("SELECT id, channel_ids FROM containers")) return false;
    for (const auto& row : rows) {
      JsonValue list;
      Container container;
      if (JsonParser(row.second).parse(list) && list.kind == JsonValue::ARRAY) {
        for (const JsonValue& e : list.array) {
          if (e.kind == JsonValue::STRING) container.addChannelId(e.string);
        }
      }
      if (!qvcache::writeReferences(db, qvcache::kContainer, row.first, qvcache::referencesOf(container))) return false;
    }
    if (!readRows("SELECT id, fields FROM channels")) return false;
    for (const auto& row : rows) {
      JsonValue fields;
      Channel channel;
      if (JsonParser(row.second).parse(fields) && fields.kind == JsonValue::OBJECT) readChannel(fields, channel);
      if (!qvcache::writeReferences(db, qvcache::kChannel, row.first, qvcache::referencesOf(channel))) return false;
    }
    if (!readRows("SELECT id, fields FROM items")) return false;
    for (const auto& row : rows) {
      JsonValue fields;
      Item item;
      if (JsonParser(row.second).parse(fields) && fields.kind == JsonValue::OBJECT) readItem(fields, item);
      if (!qvcache::writeReferences(db, qvcache::kItem, row.first, qvcache::referencesOf(item))) return false;
    }
    if (!readRows("SELECT id, file FROM assets")) return false;
    for (const auto& row : rows) {
      // A missing file is left to sync, which drops its row.
      if (!qvcache::stampAsset(db, row.first, assetPath(row.second))) return false;
    }
    if (!db.exec(("PRAGMA user_version = " + std::to_string(qvcache::kSchemaVersion)).c_str())) return false;
    return tx.commit();
  }

  // A damaged database is kept aside for inspection and a new one started;
  // the cache holds nothing that the server cannot send again.
  bool openOrReplaceDatabase(std::string& error) {
    if (openDatabase(error)) return true;
    if (!isDamaged(db.lastCode())) return false;
    QV_LOG(3, "Content cache database %s is damaged (%s); setting it aside and starting afresh\n", dbPath.c_str(),
           error.c_str());
    return setAsideAndReopen(error);
  }

  bool setAsideAndReopen(std::string& error) {
    db.close();
    if (::rename(dbPath.c_str(), (dbPath + ".damaged").c_str()) != 0 && errno != ENOENT) {
      error = "cannot move " + dbPath + " aside: " + errnoText();
      return false;
    }
    ::unlink((dbPath + "-wal").c_str());
    ::unlink((dbPath + "-shm").c_str());
    return openDatabase(error);
  }

  std::string assetPath(const std::string& file) const { return assetsDir + "/" + file; }

  long remainingKb() const {
    if (const char* standIn = std::getenv("QUORVEL_TEST_FREE_KB")) return std::atol(standIn);
    struct statvfs st;
    if (::statvfs(home.c_str(), &st) != 0) return -1;
    unsigned long long bytes = static_cast<unsigned long long>(st.f_bavail) * st.f_frsize;
    return static_cast<long>(bytes / 1024);
  }

  std::vector<qvTypes::ID> listIds(const char* sql) {
    std::vector<qvTypes::ID> ids;
    std::lock_guard<std::mutex> guard(lock);
    qvsql::Statement stmt = db.prepareCached(sql);
    while (stmt.next()) ids.push_back(stmt.text(0));
    return ids;
  }

  int removeRow(const char* sql, const char* kind, const qvTypes::ID& id) {
    std::lock_guard<std::mutex> guard(lock);
    if (!mayWrite()) return 1;
    WriteScope tx(db, batchDepth > 0);
    if (!tx.active()) return writeFailed(), 1;
    qvsql::Statement stmt = db.prepareCached(sql);
    stmt.bind(1, id);
    if (!runWrite(stmt)) return 1;
    if (db.changes() == 0) {
      QV_LOG(8, "No %s %s to remove\n", kind, id.c_str());
      return 1;
    }
    // What it named may now be unreachable: housekeeping decides.
    if (!qvcache::dropReferences(db, kind, id) || !tx.commit()) return writeFailed(), 1;
    return 0;
  }

  template <class T>
  int saveObject(const char* sql, const char* kind, const qvTypes::ID& id, const T& object,
                 const std::string& fields) {
    if (id.empty()) {
      QV_LOG(3, "Refusing to store a %s without an id\n", kind);
      return 1;
    }
    std::lock_guard<std::mutex> guard(lock);
    if (!mayWrite()) return 1;
    // The row and its references change together.
    WriteScope tx(db, batchDepth > 0);
    if (!tx.active()) return writeFailed(), 1;
    qvsql::Statement stmt = db.prepareCached(sql);
    stmt.bind(1, id).bind(2, toUtf8(object.getTitle())).bind(3, toUtf8(object.getSummary())).bind(4, fields);
    stmt.bind(5, static_cast<long long>(std::time(nullptr)));
    if (!runWrite(stmt)) return 1;
    if (!qvcache::writeReferences(db, kind, id, qvcache::referencesOf(object)) || !tx.commit()) {
      return writeFailed(), 1;
    }
    return 0;
  }

  // Reads title, summary and fields of a stored object.
  int loadObject(const char* sql, const char* kind, const qvTypes::ID& id, std::string& title,
                 std::string& summary, JsonValue& fields) {
    std::lock_guard<std::mutex> guard(lock);
    qvsql::Statement stmt = db.prepareCached(sql);
    stmt.bind(1, id);
    if (!stmt.next()) {
      if (!stmt.failed()) QV_LOG(8, "No %s %s in the content cache\n", kind, id.c_str());
      return 1;
    }
    title = stmt.text(0);
    summary = stmt.text(1);
    std::string text = stmt.text(2);
    if (!JsonParser(text).parse(fields) || fields.kind != JsonValue::OBJECT) {
      QV_LOG(3, "Stored %s %s is unreadable\n", kind, id.c_str());
      return 1;
    }
    return 0;
  }

  // Drops asset rows whose file is missing, of the wrong size or not the
  // name the id gives, and deletes files of assets/ that no row names and
  // temporary files that no live writer owns. Runs in one write transaction
  // so that a writer in another process, which renames its file inside its
  // own write transaction, is never caught half-way.
  int repairAssets() {
    WriteScope tx(db, batchDepth > 0);
    if (!tx.active()) return 1;
    std::set<std::string> referenced;
    std::vector<qvTypes::ID> broken;
    {
      qvsql::Statement rows = db.prepare("SELECT id, size, file, mtime_ns FROM assets");
      while (rows.next()) {
        qvTypes::ID id = rows.text(0);
        long long size = rows.integer(1);
        std::string file = rows.text(2);
        struct stat st;
        bool good = file == NR_ContentCache::assetFileName(id) &&
                    ::stat(assetPath(file).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                    static_cast<long long>(st.st_size) == size && qvcache::stampMatches(rows.integer(3), st);
        if (good) {
          referenced.insert(file);
        } else {
          QV_LOG(3, "Dropping asset %s: its file is missing or incomplete\n", id.c_str());
          broken.push_back(id);
        }
      }
      if (rows.failed()) return 1;
    }
    for (const qvTypes::ID& id : broken) {
      qvsql::Statement del = db.prepare("DELETE FROM assets WHERE id = ?1");
      del.bind(1, id);
      if (!del.run()) return 1;
    }
    std::set<std::string> ownTemps;
    for (const auto& p : pending) ownTemps.insert(p.second.tempPath);
    for (const std::string& name : directoryEntries(assetsDir)) {
      std::string path = assetPath(name);
      struct stat st;
      if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
      bool remove;
      if (name.compare(0, std::strlen(kTempPrefix), kTempPrefix) == 0) {
        long owner = tempFileOwner(name);
        remove = owner == static_cast<long>(::getpid()) ? ownTemps.count(path) == 0 : !processAlive(owner);
      } else {
        remove = name[0] != '.' && referenced.count(name) == 0;
      }
      if (remove) {
        QV_LOG(7, "Removing leftover asset file %s\n", name.c_str());
        ::unlink(path.c_str());
      }
    }
    return tx.commit() ? 0 : 1;
  }
};

qvcache::StoreAccess qvcache::accessOf(NR_ContentCache::Impl& impl) {
  return qvcache::StoreAccess{&impl.lock, &impl.db, &impl.batchDepth, impl.home, impl.assetsDir};
}

namespace {
std::mutex gInstanceLock;
NR_ContentCache* gInstance = nullptr;
bool gFailureLogged = false;
}  // namespace

NR_ContentCache::NR_ContentCache(std::unique_ptr<Impl> impl) : mImpl(std::move(impl)) {}

NR_ContentCache::~NR_ContentCache() {
  // Streams never handed back leave nothing but their temporary files.
  for (auto& p : mImpl->pending) {
    p.second.stream->close();
    ::unlink(p.second.tempPath.c_str());
  }
}

NR_ContentCache* NR_ContentCache::getInstance() {
  std::lock_guard<std::mutex> guard(gInstanceLock);
  if (gInstance != nullptr) return gInstance;

  std::unique_ptr<Impl> impl(new Impl);
  impl->lockWaitMillis = QuorvelSettingMgr::lockWaitMillis();
  impl->home = qvhome::path();
  impl->dbPath = impl->home + "/cache.db";
  impl->assetsDir = impl->home + "/assets";
  std::string error;
  bool ok = qvhome::ensure(error);
  if (ok && ::mkdir(impl->assetsDir.c_str(), 0755) != 0 && errno != EEXIST) {
    error = "cannot create " + impl->assetsDir + ": " + errnoText();
    ok = false;
  }
  ok = ok && impl->openOrReplaceDatabase(error);
  if (!ok) {
    if (!gFailureLogged) QV_LOG(3, "Content cache unavailable: %s\n", error.c_str());
    gFailureLogged = true;
    return nullptr;
  }
  gFailureLogged = false;
  gInstance = new NR_ContentCache(std::move(impl));
  return gInstance;
}

void NR_ContentCache::resetForTesting() {
  std::lock_guard<std::mutex> guard(gInstanceLock);
  delete gInstance;
  gInstance = nullptr;
  gFailureLogged = false;
}

int NR_ContentCache::get(const qvTypes::ID& id, Container& container) {
  std::string text;
  {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    qvsql::Statement stmt = mImpl->db.prepareCached("SELECT channel_ids FROM containers WHERE id = ?1");
    stmt.bind(1, id);
    if (!stmt.next()) {
      if (!stmt.failed()) QV_LOG(8, "No container %s in the content cache\n", id.c_str());
      return 1;
    }
    text = stmt.text(0);
  }
  JsonValue list;
  if (!JsonParser(text).parse(list) || list.kind != JsonValue::ARRAY) {
    QV_LOG(3, "Stored container %s is unreadable\n", id.c_str());
    return 1;
  }
  std::vector<qvTypes::ID> ids;
  for (const JsonValue& e : list.array) {
    if (e.kind == JsonValue::STRING) ids.push_back(e.string);
  }
  container.setChannelIds(ids);
  return 0;
}

int NR_ContentCache::save(const qvTypes::ID& id, const Container& container) {
  if (id.empty()) {
    QV_LOG(3, "Refusing to store a container without an id\n");
    return 1;
  }
  std::lock_guard<std::mutex> guard(mImpl->lock);
  if (!mImpl->mayWrite()) return 1;
  WriteScope tx(mImpl->db, mImpl->batchDepth > 0);
  if (!tx.active()) return mImpl->writeFailed(), 1;
  qvsql::Statement stmt = mImpl->db.prepareCached(
      "INSERT INTO containers (id, channel_ids, saved_at) VALUES (?1, ?2, ?3)"
      " ON CONFLICT (id) DO UPDATE SET channel_ids = excluded.channel_ids, saved_at = excluded.saved_at");
  stmt.bind(1, id).bind(2, jsonIdArray(container.getChannelIds())).bind(3, static_cast<long long>(std::time(nullptr)));
  if (!mImpl->runWrite(stmt)) return 1;
  if (!qvcache::writeReferences(mImpl->db, qvcache::kContainer, id, qvcache::referencesOf(container)) ||
      !tx.commit()) {
    return mImpl->writeFailed(), 1;
  }
  return 0;
}

int NR_ContentCache::get(const qvTypes::ID& id, Channel& channel) {
  std::string title;
  std::string summary;
  JsonValue fields;
  if (mImpl->loadObject("SELECT title, summary, fields FROM channels WHERE id = ?1", "channel", id, title, summary,
                        fields) != 0) {
    return 1;
  }
  Channel loaded;
  readChannel(fields, loaded);
  loaded.setTitle(MString::toWide(title));
  loaded.setSummary(MString::toWide(summary));
  channel = loaded;
  return 0;
}

int NR_ContentCache::save(const qvTypes::ID& id, const Channel& channel) {
  return mImpl->saveObject(
      "INSERT INTO channels (id, title, summary, fields, saved_at) VALUES (?1, ?2, ?3, ?4, ?5)"
      " ON CONFLICT (id) DO UPDATE SET title = excluded.title, summary = excluded.summary,"
      " fields = excluded.fields, saved_at = excluded.saved_at",
      "channel", id, channel, channelJson(channel));
}

int NR_ContentCache::get(const qvTypes::ID& id, Item& item) {
  std::string title;
  std::string summary;
  JsonValue fields;
  if (mImpl->loadObject("SELECT title, summary, fields FROM items WHERE id = ?1", "item", id, title, summary,
                        fields) != 0) {
    return 1;
  }
  Item loaded;
  readItem(fields, loaded);
  loaded.setTitle(MString::toWide(title));
  loaded.setSummary(MString::toWide(summary));
  item = loaded;
  return 0;
}

int NR_ContentCache::save(const qvTypes::ID& id, const Item& item) {
  return mImpl->saveObject(
      "INSERT INTO items (id, title, summary, fields, saved_at) VALUES (?1, ?2, ?3, ?4, ?5)"
      " ON CONFLICT (id) DO UPDATE SET title = excluded.title, summary = excluded.summary,"
      " fields = excluded.fields, saved_at = excluded.saved_at",
      "item", id, item, itemJson(item));
}

NR_ContentCache::BatchScope::BatchScope(NR_ContentCache& cache) : mCache(cache) {
  Impl& impl = *mCache.mImpl;
  std::lock_guard<std::mutex> guard(impl.lock);
  if (impl.batchDepth > 0) {
    mSavepoint = "qv_batch_" + std::to_string(++impl.savepointCounter);
    mActive = impl.mayWrite() && impl.db.exec(("SAVEPOINT " + mSavepoint).c_str());
  } else {
    impl.batchBroken = false;
    // Waits for another process's lock as long as the lock-wait setting
    // says, then gives up.
    mActive = impl.db.exec("BEGIN IMMEDIATE");
  }
  // A scope that could not be begun is still open: until it closes, every
  // write fails, so that none is made outside the batch's transaction.
  ++impl.batchDepth;
  mOpen = true;
  if (!mActive) {
    if (!impl.batchBroken) QV_LOG(3, "Cannot begin a batch of content-cache writes; none of its writes is made\n");
    impl.batchBroken = true;
  }
}

NR_ContentCache::BatchScope::~BatchScope() {
  if (mOpen) close(false);
}

int NR_ContentCache::BatchScope::commit() {
  if (!mOpen) return 1;
  return close(true) ? 0 : 1;
}

bool NR_ContentCache::BatchScope::close(bool keep) {
  Impl& impl = *mCache.mImpl;
  std::lock_guard<std::mutex> guard(impl.lock);
  mOpen = false;
  --impl.batchDepth;
  bool outermost = mSavepoint.empty();
  bool kept = false;
  if (keep && mActive && !impl.batchBroken && impl.db.inTransaction()) {
    kept = impl.db.exec(outermost ? "COMMIT" : ("RELEASE " + mSavepoint).c_str());
    if (!kept) QV_LOG(3, "Committing a batch of content-cache writes failed; they are undone\n");
  } else if (keep && outermost) {
    QV_LOG(3, "A batch of content-cache writes is undone: not all of its writes were made\n");
  }
  if (!kept) {
    if (!outermost && (!mActive || impl.batchBroken)) {
      // Only the whole batch can be undone now; the outermost scope does it.
      impl.batchBroken = true;
    } else if (mActive && impl.db.inTransaction()) {
      // SQLite may have rolled back already; otherwise undo here.
      bool undone = impl.db.exec(outermost ? "ROLLBACK"
                                           : ("ROLLBACK TO " + mSavepoint + "; RELEASE " + mSavepoint).c_str());
      if (!undone && !outermost) impl.batchBroken = true;
    }
  }
  mActive = false;
  if (outermost) {
    impl.batchBroken = false;
    // The frames an undone batch wrote stay in the write-ahead log, holding
    // the space a full disk needs back: empty the log (it only works when no
    // reader is in the middle of it, which is fine).
    std::string ignored;
    if (!kept) impl.db.queryText("PRAGMA wal_checkpoint(TRUNCATE)", ignored);
  }
  return kept;
}

int NR_ContentCache::remove(const qvTypes::ID& id, const Channel&) {
  return mImpl->removeRow("DELETE FROM channels WHERE id = ?1", "channel", id);
}

int NR_ContentCache::remove(const qvTypes::ID& id, const Item&) {
  return mImpl->removeRow("DELETE FROM items WHERE id = ?1", "item", id);
}

int NR_ContentCache::removeContainer(const qvTypes::ID& id) {
  return mImpl->removeRow("DELETE FROM containers WHERE id = ?1", "container", id);
}

int NR_ContentCache::removeAsset(const qvTypes::ID& id) {
  std::lock_guard<std::mutex> guard(mImpl->lock);
  if (!mImpl->mayWrite()) return 1;
  WriteScope tx(mImpl->db, mImpl->batchDepth > 0);
  if (!tx.active()) {
    mImpl->writeFailed();
    return 1;
  }
  qvsql::Statement del = mImpl->db.prepare("DELETE FROM assets WHERE id = ?1");
  del.bind(1, id);
  if (!mImpl->runWrite(del)) return 1;
  if (mImpl->db.changes() == 0) {
    QV_LOG(8, "No asset %s to remove\n", id.c_str());
    return 1;
  }
  // The file goes while the write lock is held: no writer can put a new
  // version in its place in between.
  ::unlink(mImpl->assetPath(assetFileName(id)).c_str());
  if (tx.commit()) return 0;
  mImpl->writeFailed();
  return 1;
}

int NR_ContentCache::getPath(const qvTypes::ID& id, std::string& path) {
  std::lock_guard<std::mutex> guard(mImpl->lock);
  qvsql::Statement stmt = mImpl->db.prepareCached("SELECT file, size FROM assets WHERE id = ?1");
  stmt.bind(1, id);
  if (!stmt.next()) {
    if (!stmt.failed()) QV_LOG(8, "No asset %s in the content cache\n", id.c_str());
    return 1;
  }
  std::string file = stmt.text(0);
  std::string full = mImpl->assetPath(file);
  struct stat st;
  if (file != assetFileName(id) || ::stat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<long long>(st.st_size) != stmt.integer(1)) {
    QV_LOG(3, "The file of asset %s is missing or incomplete\n", id.c_str());
    return 1;
  }
  path = full;
  return 0;
}

std::ofstream* NR_ContentCache::getOutputStream(const qvTypes::ID& id, long sizeBytes) {
  if (id.empty() || sizeBytes < 0) {
    QV_LOG(3, "Refusing an asset stream for id \"%s\" of %ld bytes\n", id.c_str(), sizeBytes);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(mImpl->lock);
  long freeKb = mImpl->remainingKb();
  if (sizeBytes > 0 && freeKb >= 0 && sizeBytes / 1024 >= freeKb) {
    QV_LOG(3, "Not enough space for asset %s of %ld bytes (%ld KB free)\n", id.c_str(), sizeBytes, freeKb);
    return nullptr;
  }
  // The name is claimed with O_EXCL; the stream then opens that file.
  std::string tempPath;
  for (int attempt = 0; attempt < 100 && tempPath.empty(); ++attempt) {
    std::string candidate = mImpl->assetPath(std::string(kTempPrefix) + std::to_string(::getpid()) + "-" +
                                             std::to_string(++mImpl->tempCounter));
    int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::close(fd);
      tempPath = candidate;
    } else if (errno != EEXIST) {
      QV_LOG(3, "Cannot create a file for asset %s in %s: %s\n", id.c_str(), mImpl->assetsDir.c_str(),
             errnoText().c_str());
      return nullptr;
    }
  }
  if (tempPath.empty()) {
    QV_LOG(3, "Cannot find a free temporary name for asset %s\n", id.c_str());
    return nullptr;
  }
  std::unique_ptr<std::ofstream> stream(
      new std::ofstream(tempPath, std::ios::out | std::ios::binary | std::ios::trunc));
  if (!stream->is_open()) {
    QV_LOG(3, "Cannot open %s for asset %s\n", tempPath.c_str(), id.c_str());
    ::unlink(tempPath.c_str());
    return nullptr;
  }
  std::ofstream* handle = stream.get();
  Impl::Pending& p = mImpl->pending[handle];
  p.stream = std::move(stream);
  p.id = id;
  p.tempPath = tempPath;
  p.size = sizeBytes;
  return handle;
}

int NR_ContentCache::closeOutputStream(const qvTypes::ID& id, std::ofstream* stream, const std::string& mime) {
  std::lock_guard<std::mutex> guard(mImpl->lock);
  auto it = mImpl->pending.find(stream);
  if (stream == nullptr || it == mImpl->pending.end()) {
    QV_LOG(3, "closeOutputStream for asset %s got a stream this cache did not open\n", id.c_str());
    return 1;
  }
  Impl::Pending p = std::move(it->second);
  mImpl->pending.erase(it);

  // From here on the temporary file goes unless it becomes the asset.
  struct TempRemover {
    std::string path;
    ~TempRemover() {
      if (!path.empty()) ::unlink(path.c_str());
    }
  } remover{p.tempPath};

  p.stream->flush();
  bool written = !p.stream->fail();
  p.stream->close();
  written = written && !p.stream->fail();
  if (!written) {
    QV_LOG(3, "Writing asset %s failed\n", id.c_str());
    return 1;
  }
  if (id != p.id) {
    QV_LOG(3, "Stream of asset %s closed as asset %s; discarded\n", p.id.c_str(), id.c_str());
    return 1;
  }
  struct stat st;
  if (::stat(p.tempPath.c_str(), &st) != 0) {
    QV_LOG(3, "Asset %s vanished before it was committed\n", id.c_str());
    return 1;
  }
  long long size = static_cast<long long>(st.st_size);
  if (p.size > 0 && size != p.size) {
    QV_LOG(3, "Asset %s has %lld bytes, %ld were announced; discarded\n", id.c_str(), size, p.size);
    return 1;
  }
  if (!fsyncPath(p.tempPath, O_RDONLY)) {
    QV_LOG(3, "Cannot flush asset %s to disk: %s\n", id.c_str(), errnoText().c_str());
    return 1;
  }

  std::string file = assetFileName(id);
  std::string finalPath = mImpl->assetPath(file);
  if (!mImpl->mayWrite()) return 1;
  WriteScope tx(mImpl->db, mImpl->batchDepth > 0);
  if (!tx.active()) {
    mImpl->writeFailed();
    return 1;
  }
  {
    // Two long ids may hash to one name; refuse rather than mix them up.
    qvsql::Statement clash = mImpl->db.prepare("SELECT id FROM assets WHERE file = ?1 AND id <> ?2");
    clash.bind(1, file).bind(2, id);
    if (clash.next()) {
      QV_LOG(3, "Asset %s would share its file with asset %s; not stored\n", id.c_str(), clash.text(0).c_str());
      return 1;
    }
    if (clash.failed()) return 1;
  }
  qvsql::Statement upsert = mImpl->db.prepare(
      "INSERT INTO assets (id, mime, size, file, saved_at) VALUES (?1, ?2, ?3, ?4, ?5)"
      " ON CONFLICT (id) DO UPDATE SET mime = excluded.mime, size = excluded.size, file = excluded.file,"
      " saved_at = excluded.saved_at");
  upsert.bind(1, id).bind(2, mime).bind(3, size).bind(4, file).bind(5, static_cast<long long>(std::time(nullptr)));
  if (!mImpl->runWrite(upsert)) return 1;
  if (::rename(p.tempPath.c_str(), finalPath.c_str()) != 0) {
    QV_LOG(3, "Cannot move asset %s into place: %s\n", id.c_str(), errnoText().c_str());
    return 1;
  }
  remover.path.clear();
  if (!qvcache::stampAsset(mImpl->db, id, finalPath)) {
    ::unlink(finalPath.c_str());
    mImpl->writeFailed();
    return 1;
  }
  fsyncPath(mImpl->assetsDir, O_RDONLY | O_DIRECTORY);
  if (!tx.commit()) {
    // The row was not written: the file must not outlive it.
    ::unlink(finalPath.c_str());
    mImpl->writeFailed();
    return 1;
  }
  QV_LOG(8, "Stored asset %s (%s, %lld bytes)\n", id.c_str(), mime.c_str(), size);
  return 0;
}

int NR_ContentCache::sync() {
  std::lock_guard<std::mutex> guard(mImpl->lock);
  std::string result;
  bool checked = mImpl->db.queryText("PRAGMA quick_check", result);
  if (!checked || result != "ok") {
    if (checked || isDamaged(mImpl->db.lastCode())) {
      QV_LOG(3, "Content cache database %s failed its check (%s); setting it aside and starting afresh\n",
             mImpl->dbPath.c_str(), result.c_str());
      std::string error;
      if (!mImpl->setAsideAndReopen(error)) {
        QV_LOG(3, "Content cache unavailable: %s\n", error.c_str());
        return 1;
      }
    } else {
      return 1;
    }
  }
  return mImpl->repairAssets();
}

long NR_ContentCache::cacheRemaining() {
  long kb = mImpl->remainingKb();
  if (kb < 0) QV_LOG(3, "Cannot determine the free space under %s: %s\n", mImpl->home.c_str(), errnoText().c_str());
  return kb;
}

std::vector<qvTypes::ID> NR_ContentCache::listContainerIds() {
  return mImpl->listIds("SELECT id FROM containers ORDER BY id");
}

std::vector<qvTypes::ID> NR_ContentCache::listChannelIds() {
  return mImpl->listIds("SELECT id FROM channels ORDER BY id");
}

std::vector<qvTypes::ID> NR_ContentCache::listItemIds() { return mImpl->listIds("SELECT id FROM items ORDER BY id"); }

std::vector<NR_ContentCache::AssetInfo> NR_ContentCache::listAssets() {
  std::vector<AssetInfo> out;
  std::lock_guard<std::mutex> guard(mImpl->lock);
  qvsql::Statement stmt = mImpl->db.prepare("SELECT id, mime, size, file FROM assets ORDER BY id");
  while (stmt.next()) {
    AssetInfo info;
    info.id = stmt.text(0);
    info.mime = stmt.text(1);
    info.size = stmt.integer(2);
    info.path = mImpl->assetPath(stmt.text(3));
    out.push_back(info);
  }
  return out;
}

std::string NR_ContentCache::assetFileName(const qvTypes::ID& id) {
  // Percent-encoding of every byte but [A-Za-z0-9_-] and a "." that is not
  // the first: one id gives one name, and no name starts with "." (so none
  // is "." or "..", or looks like a temporary file).
  static const char kHex[] = "0123456789ABCDEF";
  if (id.empty()) return "%";
  std::string name;
  for (std::size_t i = 0; i < id.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(id[i]);
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
                 c == '-' || (c == '.' && i > 0);
    if (plain) {
      name.push_back(static_cast<char>(c));
    } else {
      name.push_back('%');
      name.push_back(kHex[c >> 4]);
      name.push_back(kHex[c & 0x0F]);
    }
  }
  // File names are limited to 255 bytes: a long id keeps a readable start
  // and gets a hash of the whole id ("~" never occurs in encoded text).
  constexpr std::size_t kMaxName = 200;
  constexpr std::size_t kKeep = 150;
  if (name.size() > kMaxName) {
    std::size_t cut = kKeep;
    if (name[cut - 1] == '%') {
      cut -= 1;
    } else if (name[cut - 2] == '%') {
      cut -= 2;
    }
    char hash[32];
    std::snprintf(hash, sizeof hash, "~%016llx~%zu", static_cast<unsigned long long>(fnv1a64(id)), id.size());
    name = name.substr(0, cut) + hash;
  }
  return name;
}
