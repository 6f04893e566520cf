#include "transport/DcdFileTransport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "platform/Log.h"
#include "platform/Types.h"
#include "syntax/XmlSyntax.h"
#include "txn/Primitives.h"

namespace {

enum class FileRead { OK, MISSING, UNUSABLE };

// Closes the descriptor it holds.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : mFd(fd) {}
  ~UniqueFd() {
    if (mFd >= 0) ::close(mFd);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return mFd; }

 private:
  int mFd;
};

// The whole content of a regular file of at most maxBytes. A FIFO, a device
// or a directory is never read (opening does not block on a FIFO).
FileRead readRegularFile(const std::string& name, long maxBytes, std::string& bytes) {
  bytes.clear();
  UniqueFd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) return FileRead::MISSING;
  struct stat info;
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    QV_LOG(3, "The file %s is not a regular file; it is not served.", name.c_str());
    return FileRead::UNUSABLE;
  }
  if (info.st_size > maxBytes) {
    QV_LOG(3, "The file %s has %lld bytes, more than the %ld bytes served.", name.c_str(),
           static_cast<long long>(info.st_size), maxBytes);
    return FileRead::UNUSABLE;
  }
  char buffer[16384];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      QV_LOG(3, "Unable to read the file %s: %s", name.c_str(), std::strerror(errno));
      return FileRead::UNUSABLE;
    }
    if (got == 0) break;
    if (bytes.size() + static_cast<std::size_t>(got) > static_cast<std::size_t>(maxBytes)) {
      QV_LOG(3, "The file %s grew beyond the %ld bytes served.", name.c_str(), maxBytes);
      return FileRead::UNUSABLE;
    }
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  return FileRead::OK;
}

}  // namespace

DcdFileTransport::DcdFileTransport()
    : mMimeTypes{{"jpg", "image/jpg"}, {"gif", "image/gif"},  {"svg", "image/svg+xml"},
                 {"txt", "text/plain"}, {"xml", "text/xml"},  {"css", "text/css"},
                 {"xhtml", "application/xhtml+xml"}} {}

void DcdFileTransport::setHeaders(HeaderMap& headers, const txn::Request& request, const txn::Session&) {
  setRequestKindHeaders(headers, request);
}

bool DcdFileTransport::cancel() { return true; }

int DcdFileTransport::send() {
  clearResponse();
  const auto type = mRequestHeaders.find("X-FL-RequestType");
  if (type != mRequestHeaders.end() && type->second == "data") {
    const auto ids = mRequestHeaders.find("X-FL-Request-Id");
    return ids != mRequestHeaders.end() ? sendMultipart(ids->second) : sendByUrl();
  }
  return sendDcd();
}

int DcdFileTransport::sendDcd() {
  const auto contentType = mRequestHeaders.find("Content-Type");
  if (contentType == mRequestHeaders.end()) {
    QV_LOG(3, "Not sending. No Content-Type header specified.");
    return SEND_FAILURE;
  }
  if (contentType->second != txn::kDcdMimeType) {
    QV_LOG(3, "Encountered an unsupported content-type.");
    return SEND_FAILURE;
  }
  if (!mBody || mBodyLength <= 0) {
    QV_LOG(3, "No request body. Ignoring.");
    return SEND_FAILURE;
  }
  dcd::XmlSyntax syntax;
  std::unique_ptr<txn::Primitive> request = syntax.marshall(dcd::SyntaxHeaders(), mBody.get(), mBodyLength, "UTF-8");
  if (!request) return SEND_FAILURE;
  const std::string type = request->getType();
  if (type == "ContentUpdateRequest") {
    return sendContentUpdate(static_cast<const txn::ContentUpdateRequest&>(*request));
  }
  if (type == "GetRequest") return respondWithFile("get-response.xml") ? SEND_SUCCESS : SEND_FAILURE;
  QV_LOG(3, "There is no file answer to a %s.", type.c_str());
  return SEND_FAILURE;
}

int DcdFileTransport::sendContentUpdate(const txn::ContentUpdateRequest& request) {
  const txn::Application* application = request.getApplication();
  const std::string* anchor = application != nullptr ? application->getSyncAnchor() : nullptr;
  if (anchor == nullptr) {
    QV_LOG(3, "Unable to obtain the sync-anchor for this content-update-request.");
    return SEND_FAILURE;
  }
  const std::string name = anchor->empty() ? "content-update-response.xml" : *anchor;
  QV_LOG(8, "Attempting to send the file with name, %s", name.c_str());
  if (respondWithFile(name)) return SEND_SUCCESS;
  const char* fallback = "default.xml";
  QV_LOG(3, "Unable to send the file. Sending the file, %s, instead.", fallback);
  if (respondWithFile(fallback)) return SEND_SUCCESS;
  QV_LOG(3, "Unable to send the file, %s. Aborting. Unable to handle this error.", fallback);
  return SEND_FAILURE;
}

int DcdFileTransport::sendByUrl() {
  const std::size_t slash = mUrl.rfind('/');
  if (slash == std::string::npos) {
    QV_LOG(3, "Could not extract the filename from the url %s", mUrl.c_str());
    return SEND_FAILURE;
  }
  const std::string name = mUrl.substr(slash + 1);
  QV_LOG(8, "From the url %s, extracted the filename %s", mUrl.c_str(), name.c_str());
  if (!respondWithFile(name)) return SEND_FAILURE;
  mResponseHeaders["Content-Type"] = mimeType(name);
  return SEND_SUCCESS;
}

int DcdFileTransport::sendMultipart(const std::string& idList) {
  std::vector<std::string> ids;
  for (const std::string& id : MString::splitAll(idList, ',')) {
    if (!id.empty()) ids.push_back(id);
  }
  if (ids.empty()) {
    QV_LOG(3, "Encountered a data request that did not specify any ids.");
    return SEND_FAILURE;
  }
  const std::string boundary = kBoundary;
  const std::string type = "multipart/mixed; boundary=\"" + boundary + "\"";
  std::string body = "Content-Type: " + type + "\r\n\r\n";
  for (const std::string& id : ids) {
    std::string bytes;
    if (readRegularFile(id, kMaxFileBytes, bytes) != FileRead::OK) {
      QV_LOG(3, "Could not find data file named %s. Skipping this asset.", id.c_str());
      continue;
    }
    const std::string mime = mimeType(id);
    if (body.size() + bytes.size() + mime.size() + id.size() > static_cast<std::size_t>(kMaxFileBytes)) {
      QV_LOG(3, "The multipart answer would exceed %ld bytes; leaving out the asset %s.", kMaxFileBytes, id.c_str());
      continue;
    }
    body += "--" + boundary + "\r\nContent-Type: " + mime + "\r\nContent-Id: " + id + "\r\n\r\n";
    body += bytes;
    body += "\r\n";
  }
  body += "--" + boundary + "--\r\n";
  QV_LOG(8, "Sending this multipart: \n%s", qvlog::payload(body).c_str());
  setResponse(body);
  mResponseHeaders["Content-Type"] = type;
  return SEND_SUCCESS;
}

bool DcdFileTransport::respondWithFile(const std::string& name) {
  std::string bytes;
  const FileRead read = readRegularFile(name, kMaxFileBytes, bytes);
  if (read == FileRead::MISSING) {
    QV_LOG(3, "Unable to open the file named, %s", name.c_str());
    QV_LOG(3, "While responding to a request, was unable to find the file, %s", name.c_str());
    return false;
  }
  if (read != FileRead::OK) return false;
  QV_LOG(8, "Responding to a request with the contents of the file with name, %s", name.c_str());
  if (bytes.empty()) {
    QV_LOG(3, "Obtained an empty file. Aborting.");
    return false;
  }
  setResponse(bytes);
  QV_LOG(8, "Finished copying file.");
  return true;
}

void DcdFileTransport::setResponse(const std::string& bytes) {
  std::unique_ptr<char[]> copy(new char[bytes.size() + 1]);
  std::memcpy(copy.get(), bytes.data(), bytes.size());
  copy[bytes.size()] = '\0';
  mResponseBody = std::move(copy);
  mResponseLength = static_cast<int32_t>(bytes.size());
  mStatusCode = 200;
}

std::string DcdFileTransport::mimeType(const std::string& fileName) const {
  const std::size_t dot = fileName.rfind('.');
  if (dot == std::string::npos) {
    QV_LOG(3, "Unable to split the filename, %s. Returning the default content-type.", fileName.c_str());
    return kDefaultMimeType;
  }
  const std::string extension = fileName.substr(dot + 1);
  const auto known = mMimeTypes.find(extension);
  if (known == mMimeTypes.end()) {
    QV_LOG(3, "Unable to find a MIME type associated with the extension, %s. Returning default type.",
           extension.c_str());
    return kDefaultMimeType;
  }
  return known->second;
}
