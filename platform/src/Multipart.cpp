#include "platform/multipart.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace multipart {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string trim(const std::string& s) {
  std::size_t begin = 0;
  std::size_t end = s.size();
  while (begin < end && (isBlank(s[begin]) || s[begin] == '\r' || s[begin] == '\n')) ++begin;
  while (end > begin && (isBlank(s[end - 1]) || s[end - 1] == '\r' || s[end - 1] == '\n')) --end;
  return s.substr(begin, end - begin);
}

// "name:" at the start of the line, name being printable ASCII without
// colon; a line starting with "--" is never a header.
bool headerName(const char* line, std::size_t length, std::size_t& colon) {
  if (length >= 2 && line[0] == '-' && line[1] == '-') return false;
  for (std::size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (c == ':') {
      colon = i;
      return i > 0;
    }
    if (c < 33 || c > 126) return false;
  }
  return false;
}

char* duplicate(const std::string& s) {
  char* copy = static_cast<char*>(std::malloc(s.size() + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, s.data(), s.size());
  copy[s.size()] = '\0';
  return copy;
}

// The media type of a Content-Type value: the text before ';', trimmed.
std::string mediaType(const std::string& value) { return trim(value.substr(0, value.find(';'))); }

// The value of the parameter name (compared ignoring case) of a
// Content-Type value; quoted values lose their quotes and escapes.
bool parameter(const std::string& value, const char* name, std::string& out) {
  std::size_t pos = value.find(';');
  while (pos != std::string::npos && pos < value.size()) {
    ++pos;  // past ';'
    while (pos < value.size() && isBlank(value[pos])) ++pos;
    std::size_t nameBegin = pos;
    while (pos < value.size() && value[pos] != '=' && value[pos] != ';') ++pos;
    std::string key = trim(value.substr(nameBegin, pos - nameBegin));
    if (pos >= value.size() || value[pos] == ';') continue;
    ++pos;  // past '='
    while (pos < value.size() && isBlank(value[pos])) ++pos;
    std::string text;
    if (pos < value.size() && value[pos] == '"') {
      ++pos;
      while (pos < value.size() && value[pos] != '"') {
        if (value[pos] == '\\' && pos + 1 < value.size()) ++pos;
        text += value[pos++];
      }
      if (pos < value.size()) ++pos;  // closing quote
      pos = value.find(';', pos);
    } else {
      std::size_t end = value.find(';', pos);
      text = trim(value.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
      pos = end;
    }
    if (strcasecmp(key.c_str(), name) == 0) {
      out = text;
      return true;
    }
  }
  return false;
}

// A delimiter line found in a multipart body.
struct Delimiter {
  std::size_t start;  // first byte of the line end before it (or of "--")
  std::size_t after;  // first byte after the delimiter line
  bool close;
};

// The next delimiter line at or after from, within [begin, end).
bool findDelimiter(const std::string& data, std::size_t begin, std::size_t end, std::size_t from,
                   const std::string& delimiter, Delimiter& found) {
  const char* base = data.data();
  std::size_t pos = from;
  while (pos < end && end - pos >= delimiter.size()) {
    const void* hit = memmem(base + pos, end - pos, delimiter.data(), delimiter.size());
    if (hit == nullptr) return false;
    std::size_t p = static_cast<std::size_t>(static_cast<const char*>(hit) - base);
    pos = p + 1;
    if (p != begin && base[p - 1] != '\n') continue;
    std::size_t q = p + delimiter.size();
    bool close = false;
    if (end - q >= 2 && base[q] == '-' && base[q + 1] == '-') {
      close = true;
      q += 2;
    }
    while (q < end && isBlank(base[q])) ++q;
    if (q < end && base[q] == '\r' && q + 1 < end && base[q + 1] == '\n') {
      q += 2;
    } else if (q < end && base[q] == '\n') {
      q += 1;
    } else if (q < end && !close) {
      continue;  // "--boundary" followed by other text: not a delimiter
    }
    std::size_t start = p;
    if (p != begin) {
      start = p - 1;
      if (start > begin && base[start - 1] == '\r') --start;
    }
    found.start = start;
    found.after = close ? end : q;
    found.close = close;
    return true;
  }
  return false;
}

}  // namespace

Entity::Entity(const char* data, std::size_t length)
    : mData(std::make_shared<const std::string>(data != nullptr ? std::string(data, length) : std::string())),
      mBegin(0),
      mEnd(mData->size()) {}

Entity::Entity(std::shared_ptr<const std::string> data, std::size_t begin, std::size_t end, Entity* parent,
               std::size_t index, int depth)
    : mData(std::move(data)), mBegin(begin), mEnd(end), mParent(parent), mIndex(index), mDepth(depth) {}

Entity::~Entity() = default;

int Entity::parse() {
  mParsed = false;
  mHeaders.clear();
  mChildren.clear();
  mPartError = kOk;
  if (mBegin >= mEnd) return kErrNoData;
  return parseRange();
}

int Entity::parseRange() {
  std::size_t bodyBegin = mEnd;
  int rc = parseHeaders(bodyBegin);
  if (rc != kOk) return rc;
  mBodyBegin = bodyBegin;
  mBodyEnd = mEnd;
  mReadPos = mBodyBegin;
  const std::string* type = findHeader("Content-Type");
  if (type != nullptr && mDepth < kMaxDepth && strncasecmp(mediaType(*type).c_str(), "multipart/", 10) == 0) {
    std::string boundary;
    if (!parameter(*type, "boundary", boundary) || boundary.empty() || boundary.size() > kMaxBoundaryLength) {
      return kErrNoBoundary;
    }
    rc = parseParts(boundary);
    if (rc != kOk) {
      mChildren.clear();
      return rc;
    }
  }
  mParsed = true;
  return kOk;
}

int Entity::parseHeaders(std::size_t& bodyBegin) {
  const char* base = mData->data();
  std::size_t pos = mBegin;
  std::size_t headerBytes = 0;
  while (pos < mEnd) {
    const void* newline = std::memchr(base + pos, '\n', mEnd - pos);
    std::size_t lineEnd = newline != nullptr ? static_cast<std::size_t>(static_cast<const char*>(newline) - base) : mEnd;
    std::size_t next = newline != nullptr ? lineEnd + 1 : mEnd;
    std::size_t length = lineEnd - pos;
    if (length > 0 && base[pos + length - 1] == '\r') --length;
    if (length == 0) {
      bodyBegin = next;
      return kOk;
    }
    headerBytes += next - pos;
    if (headerBytes > kMaxHeaderBytes) return kErrHeaderTooLarge;
    const char* line = base + pos;
    std::size_t colon = 0;
    if (isBlank(line[0]) && !mHeaders.empty()) {
      std::string more = trim(std::string(line, length));
      if (!more.empty()) {
        std::string& value = mHeaders.back().second;
        if (!value.empty()) value += ' ';
        value += more;
      }
    } else if (headerName(line, length, colon)) {
      if (mHeaders.size() >= kMaxHeaders) return kErrHeaderTooLarge;
      mHeaders.emplace_back(std::string(line, colon), trim(std::string(line + colon + 1, length - colon - 1)));
    } else {
      bodyBegin = pos;  // not a header: the body starts here
      return kOk;
    }
    pos = next;
  }
  bodyBegin = mEnd;
  return kOk;
}

int Entity::parseParts(const std::string& boundary) {
  const std::string delimiter = "--" + boundary;
  const std::string& data = *mData;
  Delimiter d;
  if (!findDelimiter(data, mBodyBegin, mBodyEnd, mBodyBegin, delimiter, d)) return kErrBoundaryNotFound;
  while (!d.close) {
    std::size_t partBegin = d.after;
    Delimiter next;
    bool terminated = findDelimiter(data, mBodyBegin, mBodyEnd, partBegin, delimiter, next);
    std::size_t partEnd = terminated ? next.start : mBodyEnd;
    if (partEnd < partBegin) partEnd = partBegin;  // a delimiter right after the previous one
    if (mChildren.size() >= kMaxParts) return kErrTooManyParts;
    std::unique_ptr<Entity> part(new Entity(mData, partBegin, partEnd, this, mChildren.size(), mDepth + 1));
    int rc = part->parseRange();
    if (rc == kErrHeaderTooLarge) {
      part->mPartError = rc;
    } else if (rc != kOk) {
      // A nested multipart that does not parse stays a leaf.
      part->mChildren.clear();
    }
    part->mParsed = true;
    if (!terminated) part->mPartError = kErrUnterminated;
    mChildren.push_back(std::move(part));
    if (!terminated) break;
    d = next;
  }
  return kOk;
}

const std::string* Entity::findHeader(const char* name) const {
  if (name == nullptr) return nullptr;
  for (const auto& header : mHeaders) {
    if (strcasecmp(header.first.c_str(), name) == 0) return &header.second;
  }
  return nullptr;
}

int Entity::getChildCount() const { return static_cast<int>(mChildren.size()); }

Entity* Entity::getFirstChild() const { return mChildren.empty() ? nullptr : mChildren.front().get(); }

Entity* Entity::getNextSibling() const {
  if (mParent == nullptr || mIndex + 1 >= mParent->mChildren.size()) return nullptr;
  return mParent->mChildren[mIndex + 1].get();
}

char* Entity::getHeader(const char* name) const {
  const std::string* value = findHeader(name);
  return value != nullptr ? duplicate(*value) : nullptr;
}

char* Entity::getContentType() const {
  const std::string* value = findHeader("Content-Type");
  return value != nullptr ? duplicate(mediaType(*value)) : nullptr;
}

int Entity::readBodyStream(char* buffer, std::size_t size, std::size_t* count) {
  if (count != nullptr) *count = 0;
  if (buffer == nullptr || size == 0 || count == nullptr) return kErrBadArgument;
  if (!mParsed) return kErrNotParsed;
  if (mPartError != kOk) return mPartError;
  if (mReadPos >= mBodyEnd) return kEndOfBody;
  std::size_t n = std::min(size, mBodyEnd - mReadPos);
  std::memcpy(buffer, mData->data() + mReadPos, n);
  mReadPos += n;
  *count = n;
  return kOk;
}

}  // namespace multipart
