#include "Content.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlreader.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "UniqueFd.h"

namespace testserver {

const char* const kDcdContentType = "application/vnd.kestrova.quorvel+xml";
const char* const kFlp1xXmlType = "application/vnd.kestrova.quorvel+xml";
const char* const kFlp1xGzipType = "application/vnd.kestrova.quorvel+gzip";

namespace {

// Files larger than this are not served (a guard against a mistaken root).
constexpr off_t kMaxFileBytes = off_t(1) << 31;
const char* const kBoundaryBase = "foobar123-1234";

struct ReaderFree {
  void operator()(xmlTextReader* r) const {
    if (r != nullptr) xmlFreeTextReader(r);
  }
};

struct XmlCharFree {
  void operator()(xmlChar* p) const {
    if (p != nullptr) xmlFree(p);
  }
};

struct DeflateEnd {
  void operator()(z_stream* z) const {
    if (z != nullptr) {
      deflateEnd(z);
      delete z;
    }
  }
};

void silentXmlError(void*, const char*, ...) {}
void silentStructuredError(void*, xmlErrorPtr) {}

bool isSafeName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

std::string mediaType(const std::string& contentType) {
  const std::size_t semi = contentType.find(';');
  return trim(semi == std::string::npos ? contentType : contentType.substr(0, semi));
}

// Answers with one file, or 404 when it cannot be read.
void answerFile(const std::string& root, const std::string& name, const std::string& contentType, Plan& plan) {
  // Only names inside the root count as the answer file (rules and
  // sidecars are looked up by it).
  plan.file = isSafeRelativePath(name) ? name : "";
  if (readRootFile(root, name, plan.body)) {
    plan.status = 200;
    plan.contentType = contentType;
  } else {
    plan.status = 404;
    plan.note = "no file " + name;
    plan.body.clear();
  }
}

void answerMultipart(const std::string& root, const std::string& idList, Plan& plan) {
  struct Part {
    std::string id;
    std::string bytes;
  };
  std::vector<Part> parts;
  std::size_t start = 0;
  while (start <= idList.size()) {
    std::size_t comma = idList.find(',', start);
    if (comma == std::string::npos) comma = idList.size();
    const std::string id = idList.substr(start, comma - start);
    start = comma + 1;
    Part p;
    // An id that names no file (or no safe file) is left out, as a server
    // does with assets it does not have.
    if (isSafeName(id) && readRootFile(root, id, p.bytes)) {
      p.id = id;
      parts.push_back(std::move(p));
    }
  }
  // The boundary must not occur in any part.
  std::string boundary = kBoundaryBase;
  for (int n = 1;; ++n) {
    bool clash = false;
    for (const Part& p : parts) {
      if (p.bytes.find(boundary) != std::string::npos) {
        clash = true;
        break;
      }
    }
    if (!clash) break;
    boundary = std::string(kBoundaryBase) + "-" + std::to_string(n);
  }
  std::string body;
  for (const Part& p : parts) {
    body += "--" + boundary + "\r\n";
    body += "Content-Type: " + mimeTypeOf(p.id) + "\r\n";
    body += "Content-Id: " + p.id + "\r\n\r\n";
    body += p.bytes;
    body += "\r\n";
  }
  body += "--" + boundary + "--\r\n";
  plan.status = 200;
  plan.body = std::move(body);
  plan.contentType = "multipart/mixed; boundary=" + boundary;
}

// The file named by the last segment of the request path.
void answerByUrl(const std::string& root, const std::string& path, Plan& plan) {
  const std::size_t slash = path.rfind('/');
  const std::string raw = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string name;
  if (!percentDecode(raw, name) || !isSafeName(name)) {
    plan.status = 404;
    plan.note = "no file name in the path";
    return;
  }
  answerFile(root, name, mimeTypeOf(name), plan);
}

void planDcd(const std::string& root, const Request& request, Plan& plan) {
  const std::string* requestType = request.header("X-FL-RequestType");
  if (requestType != nullptr && *requestType == "data") {
    const std::string* ids = request.header("X-FL-Request-Id");
    if (ids != nullptr) {
      plan.kind = "data-by-ids";
      answerMultipart(root, *ids, plan);
    } else {
      plan.kind = "data-by-url";
      answerByUrl(root, request.path, plan);
    }
    return;
  }

  plan.kind = "invalid";
  const std::string* contentType = request.header("Content-Type");
  if (contentType == nullptr) {
    plan.status = 400;
    plan.note = "no Content-Type";
    return;
  }
  if (!equalsIgnoreCase(mediaType(*contentType), kDcdContentType)) {
    plan.status = 415;
    plan.note = "unsupported Content-Type";
    return;
  }
  if (request.body.empty()) {
    plan.status = 400;
    plan.note = "no request body";
    return;
  }
  const DcdRequestInfo info = inspectDcdXml(request.body);
  if (!info.wellFormed) {
    plan.status = 400;
    plan.note = "body is not DCD XML";
    return;
  }
  if (info.primitive == "content-update-request") {
    plan.kind = "content-update";
    if (!info.hasApplication || !info.hasSyncAnchor) {
      plan.status = 400;
      plan.note = "no application sync-anchor";
      return;
    }
    const std::string name = info.syncAnchor.empty() ? "content-update-response.xml" : info.syncAnchor;
    answerFile(root, name, kDcdContentType, plan);
    if (plan.status == 404) {
      Plan fallback = plan;
      answerFile(root, "default.xml", kDcdContentType, fallback);
      if (fallback.status == 200) {
        plan = fallback;
      }
    }
  } else if (info.primitive == "get-request") {
    plan.kind = "get";
    answerFile(root, "get-response.xml", kDcdContentType, plan);
  } else if (info.primitive == "service-registration-request") {
    plan.kind = "service-registration";
    answerFile(root, "service-registration-response.xml", kDcdContentType, plan);
  } else {
    plan.status = 400;
    plan.note = "unsupported request element " + info.primitive;
  }
}

void planFlp1x(const std::string& root, const Request& request, Plan& plan) {
  const std::string* requestType = request.header("X-FL-RequestType");
  if (requestType != nullptr && *requestType == "data") {
    plan.kind = "type-2";
    const std::string* ids = request.header("X-FL-Request-Id");
    if (ids == nullptr) {
      plan.status = 400;
      plan.note = "no X-FL-Request-Id";
      return;
    }
    answerMultipart(root, *ids, plan);
    return;
  }
  if (requestType != nullptr && *requestType == "data3") {
    plan.kind = "type-3";
    answerByUrl(root, request.path, plan);
    return;
  }

  plan.kind = "type-1";
  std::string rel;
  if (!percentDecode(request.path, rel)) {
    plan.status = 404;
    plan.note = "malformed path";
    return;
  }
  while (!rel.empty() && rel.front() == '/') rel.erase(0, 1);
  while (!rel.empty() && rel.back() == '/') rel.pop_back();
  if (rel.empty()) {
    rel = "index.xml";
  } else if (isSafeRelativePath(rel)) {
    struct stat st;
    if (::stat((root + "/" + rel).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) rel += "/index.xml";
  }
  if (!isSafeRelativePath(rel)) {
    plan.status = 404;
    plan.note = "path outside the root";
    return;
  }
  answerFile(root, rel, kFlp1xXmlType, plan);
  const std::string* accept = request.header("Accept");
  if (plan.status == 200 && accept != nullptr && containsIgnoreCase(*accept, kFlp1xGzipType)) {
    std::string packed;
    if (!gzipCompress(plan.body, packed)) {
      plan.status = 500;
      plan.note = "gzip failed";
      plan.body.clear();
      return;
    }
    plan.body = std::move(packed);
    plan.contentType = kFlp1xGzipType;
  }
}

}  // namespace

Plan planAnswer(Mode mode, const std::string& root, const Request& request) {
  Plan plan;
  if (mode == Mode::kDcd) {
    planDcd(root, request, plan);
  } else {
    planFlp1x(root, request, plan);
  }
  return plan;
}

bool isSafeRelativePath(const std::string& path) {
  if (path.empty() || path.front() == '/') return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (!isSafeName(path.substr(start, slash - start))) return false;
    start = slash + 1;
  }
  return true;
}

bool readRootFile(const std::string& root, const std::string& relPath, std::string& out) {
  out.clear();
  if (!isSafeRelativePath(relPath)) return false;
  const std::string full = root + "/" + relPath;
  // O_NONBLOCK so that a FIFO in the root cannot stall the connection.
  UniqueFd fd(::open(full.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return false;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxFileBytes) return false;
  out.resize(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = ::read(fd.get(), &out[got], out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return true;
}

std::string mimeTypeOf(const std::string& name) {
  static const struct {
    const char* ext;
    const char* type;
  } kTypes[] = {
      {"jpg", "image/jpg"},   {"gif", "image/gif"},  {"svg", "image/svg+xml"}, {"txt", "text/plain"},
      {"xml", "text/xml"},    {"css", "text/css"},   {"xhtml", "application/xhtml+xml"},
      {"png", "image/png"},   {"jpeg", "image/jpeg"}, {"bmp", "image/bmp"},    {"html", "text/html"},
  };
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos) return "text/plain";
  const std::string ext = name.substr(dot + 1);
  for (const auto& t : kTypes) {
    if (ext == t.ext) return t.type;
  }
  return "text/plain";
}

bool gzipCompress(const std::string& data, std::string& out) {
  std::unique_ptr<z_stream, DeflateEnd> z(new z_stream());
  if (deflateInit2(z.get(), Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
  out.resize(deflateBound(z.get(), static_cast<uLong>(data.size())) + 32);
  z->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z->avail_in = static_cast<uInt>(data.size());
  z->next_out = reinterpret_cast<Bytef*>(&out[0]);
  z->avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(z.get(), Z_FINISH);
  if (rc != Z_STREAM_END) return false;
  out.resize(z->total_out);
  return true;
}

void initXml() {
  xmlInitParser();
  xmlSetGenericErrorFunc(nullptr, &silentXmlError);
  xmlSetStructuredErrorFunc(nullptr, &silentStructuredError);
}

DcdRequestInfo inspectDcdXml(const std::string& body) {
  DcdRequestInfo info;
  if (body.empty() || body.size() > static_cast<std::size_t>(INT32_MAX)) return info;
  // No network, no DTD, no entity substitution: the body is untrusted.
  std::unique_ptr<xmlTextReader, ReaderFree> reader(
      xmlReaderForMemory(body.data(), static_cast<int>(body.size()), nullptr, nullptr,
                         XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  if (!reader) return info;
  bool rootSeen = false;
  bool inUpdate = false;
  int rc;
  while ((rc = xmlTextReaderRead(reader.get())) == 1) {
    if (xmlTextReaderNodeType(reader.get()) != XML_READER_TYPE_ELEMENT) continue;
    const int depth = xmlTextReaderDepth(reader.get());
    const xmlChar* rawName = xmlTextReaderConstName(reader.get());
    const std::string name = rawName != nullptr ? reinterpret_cast<const char*>(rawName) : "";
    if (depth == 0) {
      if (name != "dcd") return info;
      rootSeen = true;
    } else if (depth == 1 && info.primitive.empty()) {
      info.primitive = name;
      inUpdate = name == "content-update-request";
    } else if (depth == 2 && inUpdate && name == "application" && !info.hasApplication) {
      info.hasApplication = true;
      std::unique_ptr<xmlChar, XmlCharFree> anchor(
          xmlTextReaderGetAttribute(reader.get(), reinterpret_cast<const xmlChar*>("sync-anchor")));
      if (anchor) {
        info.hasSyncAnchor = true;
        info.syncAnchor = reinterpret_cast<const char*>(anchor.get());
      }
    } else if (depth == 1) {
      inUpdate = false;
    }
  }
  // The whole document is read, so a malformed request is refused even
  // after its request element.
  info.wellFormed = rc == 0 && rootSeen && !info.primitive.empty();
  return info;
}

}  // namespace testserver
