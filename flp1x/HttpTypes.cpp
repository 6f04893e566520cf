#include "HttpTypes.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <exception>
#include <memory>
#include <new>

#include "platform/Log.h"
#include "platform/Types.h"

namespace {

bool isStripped(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string stripTrailing(std::string text) {
  std::string::size_type end = text.size();
  while (end > 0 && isStripped(text[end - 1])) --end;
  text.resize(end);
  return text;
}

std::string strip(const std::string& text) {
  std::string::size_type begin = 0;
  std::string::size_type end = text.size();
  while (begin < end && isStripped(text[begin])) ++begin;
  while (end > begin && isStripped(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool sameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::string::size_type i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The line end just before a boundary line belongs to the boundary.
void dropLineEnd(std::string& body) {
  if (!body.empty() && body.back() == '\n') {
    body.pop_back();
    if (!body.empty() && body.back() == '\r') body.pop_back();
  }
}

}  // namespace

// ---- HeaderList

void HeaderList::parseHeaders(const std::string& text) {
  std::string::size_type start = 0;
  for (;;) {
    const std::string::size_type lf = text.find('\n', start);
    const std::string::size_type end = lf == std::string::npos ? text.size() : lf;
    const std::string line = stripTrailing(text.substr(start, end - start));
    if (line.empty()) return;
    std::string name, value;
    if (MString::split(line, ':', name, value)) {
      add(name, strip(value));
    } else {
      QV_LOG(8, "Header line without a colon skipped (%zu bytes)", line.size());
    }
    if (lf == std::string::npos) return;
    start = lf + 1;
  }
}

std::string HeaderList::toText() const {
  std::string text;
  for (const Field& field : mFields) {
    text += field.first;
    text += ": ";
    text += field.second;
    text += "\r\n";
  }
  return text;
}

const std::string* HeaderList::find(const std::string& name) const {
  for (const Field& field : mFields) {
    if (sameName(field.first, name)) return &field.second;
  }
  return nullptr;
}

const std::string& HeaderList::get(const std::string& name) const {
  static const std::string kNone;
  const std::string* value = find(name);
  return value != nullptr ? *value : kNone;
}

// ---- BodyReader

bool BodyReader::append(const char* data, std::size_t length) {
  try {
    mBytes.append(data, length);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

void BodyReader::reset(std::string bytes) {
  mBytes = std::move(bytes);
  mPosition = 0;
}

std::string BodyReader::readLine() {
  if (atEnd()) return std::string();
  const std::string::size_type lf = mBytes.find('\n', mPosition);
  const std::string::size_type end = lf == std::string::npos ? mBytes.size() : lf + 1;
  std::string line = mBytes.substr(mPosition, end - mPosition);
  mPosition = end;
  return line;
}

// ---- Multipart

bool Multipart::parse(BodyReader& reader) {
  if (reader.atEnd()) return false;
  const std::string first = stripTrailing(reader.readLine());
  QV_LOG(8, "First line:%s, boundary:%s", first.c_str(), mBoundaryLine.c_str());
  if (first != mBoundaryLine) {
    QV_LOG(3, "First line not equals to boundary!");
    return false;
  }

  while (!reader.atEnd()) {
    if (mParts.size() >= kMaxParts) {
      QV_LOG(3, "The multipart body has more than %zu parts; it is refused.", kMaxParts);
      return false;
    }
    PtrRef<MimeEntity> part(new MimeEntity());
    mParts.push_back(part);

    std::size_t headerLines = 0;
    for (;;) {
      if (reader.atEnd()) {
        QV_LOG(3, "The header block of part %zu is not ended by an empty line.", mParts.size());
        return false;
      }
      const std::string line = stripTrailing(reader.readLine());
      if (line.empty()) break;
      if (++headerLines > kMaxHeaderLines) {
        QV_LOG(3, "Part %zu has more than %zu header lines; the multipart body is refused.", mParts.size(),
               kMaxHeaderLines);
        return false;
      }
      part->mHeaders.parseHeaders(line);
    }

    bool closed = false;
    while (!reader.atEnd()) {
      const std::string line = reader.readLine();
      if (line.compare(0, mBoundaryLine.size(), mBoundaryLine) == 0) {
        closed = true;
        break;
      }
      part->mBody += line;
    }
    if (!closed) break;
    dropLineEnd(part->mBody);
  }
  return true;
}

// ---- HttpResponse

bool HttpResponse::parseBody(BodyReader& reader) {
  const std::string* type = mEntity.mHeaders.find("Content-Type");
  if (type != nullptr && type->find("boundary=") != std::string::npos) {
    std::string before, boundary;
    MString::split(*type, '=', before, boundary);
    mIsMultipart = true;
    mMultipart.reset(new Multipart("--" + boundary));
    return mMultipart->parse(reader);
  }
  mEntity.mBody = reader.rest();
  return true;
}

// ---- unzip

namespace {

// The first output buffer; a stream that needs more goes on into a larger
// one, up to the caller's bound.
constexpr std::size_t kFirstBuffer = 16384;
constexpr std::size_t kSecondBuffer = 32768;

struct InflateEnd {
  void operator()(z_stream* stream) const { inflateEnd(stream); }
};

bool inflateAll(const std::string& bytes, std::string& out, std::size_t maxBytes) {
  z_stream stream{};
  if (inflateInit2(&stream, 31) != Z_OK) {
    QV_LOG(3, "[UNZIP]Uncompress got error in the first time and it's not buffer error(%d).", Z_MEM_ERROR);
    return false;
  }
  std::unique_ptr<z_stream, InflateEnd> owned(&stream);

  // One byte over the bound tells a body of exactly maxBytes from a larger one.
  const std::size_t limit = maxBytes < SIZE_MAX ? maxBytes + 1 : maxBytes;
  out.resize(std::min(kFirstBuffer, limit));

  const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t inLeft = bytes.size();
  auto feed = [&] {
    const uInt piece = static_cast<uInt>(std::min<std::size_t>(inLeft, UINT_MAX));
    stream.next_in = const_cast<Bytef*>(in);
    stream.avail_in = piece;
    in += piece;
    inLeft -= piece;
  };
  feed();
  std::size_t produced = 0;
  auto place = [&] {
    const std::size_t room = std::min<std::size_t>(out.size() - produced, UINT_MAX);
    stream.next_out = reinterpret_cast<Bytef*>(&out[0] + produced);
    stream.avail_out = static_cast<uInt>(room);
  };
  place();

  auto failed = [&](int code) {
    if (out.size() <= kFirstBuffer) {
      QV_LOG(3, "[UNZIP]Uncompress got error in the first time and it's not buffer error(%d).", code);
    } else {
      QV_LOG(3, "[UNZIP]Uncompress got error in the second time.");
    }
    return false;
  };

  for (;;) {
    const uInt roomBefore = stream.avail_out;
    int rc = inflate(&stream, Z_NO_FLUSH);
    produced += roomBefore - stream.avail_out;
    const bool fed = stream.avail_in == 0 && inLeft > 0;
    if (fed) feed();
    if (rc == Z_STREAM_END) break;
    // zlib's one-call rules: a dictionary request, and no progress with
    // room to spare (the input ended inside the stream), are data errors.
    if (rc == Z_NEED_DICT) return failed(Z_DATA_ERROR);
    if (rc == Z_BUF_ERROR && stream.avail_out != 0) {
      if (fed) continue;
      return failed(Z_DATA_ERROR);
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) return failed(rc);
    if (stream.avail_out == 0) {
      if (produced >= limit) break;  // over the bound: judged below
      if (produced == out.size()) {
        const std::size_t grown = out.size() < kSecondBuffer ? kSecondBuffer : out.size() * 2;
        out.resize(std::min(grown, limit));
      }
      place();
    }
  }
  if (produced > maxBytes) {
    QV_LOG(3, "[UNZIP]Uncompress got error in the second time.");
    return false;
  }
  out.resize(produced);
  if (produced <= kFirstBuffer) {
    QV_LOG(8, "[UNZIP]Uncompress succeed in the first time, result is %ld bytes \n%s", static_cast<long>(produced),
           out.c_str());
  } else {
    QV_LOG(8, "[UNZIP]Uncompress succeed in the second time, result is %ld bytes", static_cast<long>(produced));
  }
  return true;
}

}  // namespace

bool unzip(const std::string& bytes, std::string& out, std::size_t maxBytes) {
  bool ok = false;
  try {
    ok = inflateAll(bytes, out, maxBytes);
  } catch (const std::exception&) {
    QV_LOG(3, "[UNZIP]Uncompress got error in the second time.");
    ok = false;
  }
  if (!ok) out.clear();
  return ok;
}
