#include "CurlTransfer.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/Hivra.h"
#include "platform/Log.h"

namespace qvcurl {

namespace {

using Clock = std::chrono::steady_clock;

struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlStringDeleter {
  void operator()(char* text) const { curl_free(text); }
};

// The longest single wait; a wake-up (interrupt) ends it earlier.
constexpr long kMaxPollMillis = 1000;

std::once_flag gInitOnce;
CURLcode gInitResult = CURLE_FAILED_INIT;

bool globalInit(std::string& error) {
  std::call_once(gInitOnce, [] { gInitResult = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (gInitResult != CURLE_OK) {
    error = std::string("libcurl initialisation failed: ") + curl_easy_strerror(gInitResult);
    return false;
  }
  return true;
}

bool sameName(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

bool readWholeFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

struct Transfer::Impl {
  std::unique_ptr<CURLM, MultiDeleter> multi;
  std::unique_ptr<CURL, EasyDeleter> easy;
  std::unique_ptr<curl_slist, SlistDeleter> headerList;
  bool attached = false;
  std::atomic<bool> interrupted{false};
  char errorBuffer[CURL_ERROR_SIZE] = {};

  // State of the current attempt.
  bool prereq = false;
  bool inHeaderBlock = false;
  bool headersDone = false;
  bool headerFlood = false;
  bool done = false;
  CURLcode result = CURLE_OK;
  int status = -1;
  std::vector<std::string> lines;
  std::size_t headerBytes = 0;

  std::string rx;
  std::size_t rxPos = 0;
  bool recvPaused = false;

  const char* tx = nullptr;
  std::size_t txLength = 0;
  std::size_t txPos = 0;
  bool txEnded = false;
  bool sendPaused = false;

  Clock::time_point lastActivity;

  ~Impl() {
    detach();
    easy.reset();
    multi.reset();
  }

  std::size_t available() const { return rx.size() - rxPos; }

  void detach() {
    if (attached) {
      curl_multi_remove_handle(multi.get(), easy.get());
      attached = false;
    }
  }

  void resetAttempt() {
    prereq = inHeaderBlock = headersDone = headerFlood = done = false;
    result = CURLE_OK;
    status = -1;
    lines.clear();
    headerBytes = 0;
    rx.clear();
    rxPos = 0;
    recvPaused = false;
    tx = nullptr;
    txLength = txPos = 0;
    txEnded = false;
    sendPaused = false;
    errorBuffer[0] = '\0';
  }

  void applyPause() {
    int mask = (recvPaused ? CURLPAUSE_RECV : 0) | (sendPaused ? CURLPAUSE_SEND : 0);
    CURLcode rc = curl_easy_pause(easy.get(), mask);
    if (rc != CURLE_OK) QV_LOG(3, "Resuming the HTTP transfer failed: %s\n", curl_easy_strerror(rc));
  }

  Outcome failure(CURLcode rc) const;
  template <typename Pred>
  Outcome drive(Pred pred, long stallMs);
};

namespace {

using Impl = Transfer::Impl;

size_t onHeader(char* data, size_t size, size_t count, void* user) {
  Impl* t = static_cast<Impl*>(user);
  size_t n = size * count;
  t->lastActivity = Clock::now();
  // Trailers of a chunked body come here too; they are not response headers.
  if (t->headersDone) return n;
  t->headerBytes += n;
  if (t->headerBytes > Transfer::kMaxHeaderBytes) {
    t->headerFlood = true;
    return 0;
  }
  std::string line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (!t->inHeaderBlock) {  // the status line of a response
    t->inHeaderBlock = true;
    t->lines.clear();
    return n;
  }
  if (line.empty()) {
    long code = 0;
    curl_easy_getinfo(t->easy.get(), CURLINFO_RESPONSE_CODE, &code);
    t->inHeaderBlock = false;
    if (code >= 100 && code < 200) {
      t->lines.clear();  // an interim answer; the final one follows
    } else {
      t->status = static_cast<int>(code);
      t->headersDone = true;
    }
    return n;
  }
  if (t->lines.size() >= Transfer::kMaxHeaderLines) {
    t->headerFlood = true;
    return 0;
  }
  t->lines.push_back(std::move(line));
  return n;
}

size_t onWrite(char* data, size_t size, size_t count, void* user) {
  Impl* t = static_cast<Impl*>(user);
  size_t n = size * count;
  if (t->available() >= Transfer::kReceiveWindow) {
    t->recvPaused = true;  // curl keeps this piece and offers it again on resume
    return CURL_WRITEFUNC_PAUSE;
  }
  if (t->rxPos == t->rx.size()) {
    t->rx.clear();
    t->rxPos = 0;
  } else if (t->rxPos >= Transfer::kReceiveWindow) {
    t->rx.erase(0, t->rxPos);
    t->rxPos = 0;
  }
  t->rx.append(data, n);
  t->lastActivity = Clock::now();
  return n;
}

size_t onRead(char* buffer, size_t size, size_t count, void* user) {
  Impl* t = static_cast<Impl*>(user);
  size_t room = size * count;
  if (t->tx != nullptr && t->txPos < t->txLength) {
    size_t n = std::min(room, t->txLength - t->txPos);
    std::memcpy(buffer, t->tx + t->txPos, n);
    t->txPos += n;
    t->lastActivity = Clock::now();
    return n;
  }
  if (t->txEnded) return 0;
  t->sendPaused = true;  // the next piece has not been given yet
  return CURL_READFUNC_PAUSE;
}

int onPrereq(void* user, char*, char*, int, int) {
  static_cast<Impl*>(user)->prereq = true;
  return CURL_PREREQFUNC_OK;
}

}  // namespace

Outcome Transfer::Impl::failure(CURLcode rc) const {
  std::string detail = errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(rc);
  switch (rc) {
    case CURLE_UNSUPPORTED_PROTOCOL:
      // After connecting this is an answer in no HTTP/1.x form.
      return {prereq ? Hivra::ERR_INVALID_RESPONSE : Hivra::ERR_UNSUPPORTED_SCHEME, detail};
    case CURLE_URL_MALFORMAT:
      return {Hivra::ERR_INVALID_ARGUMENT, detail};
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
      return {Hivra::ERR_HOST_NOT_FOUND, detail};
    case CURLE_COULDNT_CONNECT:
    case CURLE_PROXY:
      return {Hivra::ERR_CONNECT, detail};
    case CURLE_OPERATION_TIMEDOUT:
      return {Hivra::ERR_TIMEOUT, detail};
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_CRL_BADFILE:
      return {Hivra::ERR_CERTIFICATE, detail};
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_USE_SSL_FAILED:
      return {Hivra::ERR_TLS, detail};
    case CURLE_SEND_ERROR:
    case CURLE_READ_ERROR:
      return {Hivra::ERR_SEND, detail};
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
      return {Hivra::ERR_RECEIVE, detail};
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return {Hivra::ERR_INVALID_RESPONSE, detail};
    case CURLE_BAD_CONTENT_ENCODING:
      return {Hivra::ERR_CONTENT_DECODING, detail};
    case CURLE_WRITE_ERROR:
      if (headerFlood) {
        return {Hivra::ERR_INVALID_RESPONSE, "the response header block is over " +
                                                 std::to_string(kMaxHeaderBytes) + " bytes or " +
                                                 std::to_string(kMaxHeaderLines) + " lines"};
      }
      return {Hivra::ERR_INTERNAL, detail};
    case CURLE_OUT_OF_MEMORY:
    case CURLE_FAILED_INIT:
      return {Hivra::ERR_INTERNAL, detail};
    default:
      return {prereq ? Hivra::ERR_RECEIVE : Hivra::ERR_CONNECT, detail};
  }
}

template <typename Pred>
Outcome Transfer::Impl::drive(Pred pred, long stallMs) {
  lastActivity = Clock::now();
  for (;;) {
    if (interrupted.load()) return {Hivra::ERR_OPERATION_ABORTED, "the transaction was aborted"};
    int running = 0;
    CURLMcode mc = curl_multi_perform(multi.get(), &running);
    if (mc != CURLM_OK) return {Hivra::ERR_INTERNAL, curl_multi_strerror(mc)};
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi.get(), &left)) {
      if (msg->msg == CURLMSG_DONE) {
        done = true;
        result = msg->data.result;
      }
    }
    if (pred()) return {};
    if (done) return result == CURLE_OK ? Outcome{} : failure(result);

    long wait = -1;
    curl_multi_timeout(multi.get(), &wait);
    if (wait < 0 || wait > kMaxPollMillis) wait = kMaxPollMillis;
    if (stallMs >= 0) {
      long idle = static_cast<long>(
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastActivity).count());
      if (idle >= stallMs) {
        return {Hivra::ERR_TIMEOUT, "no data moved for " + std::to_string(stallMs) + " ms"};
      }
      wait = std::min(wait, stallMs - idle);
    }
    mc = curl_multi_poll(multi.get(), nullptr, 0, static_cast<int>(wait), nullptr);
    if (mc != CURLM_OK) return {Hivra::ERR_INTERNAL, curl_multi_strerror(mc)};
  }
}

Transfer::Transfer(std::unique_ptr<Impl> impl) : mImpl(std::move(impl)) {}

Transfer::~Transfer() = default;

std::unique_ptr<Transfer> Transfer::create(std::string& error) {
  if (!globalInit(error)) return nullptr;
  std::unique_ptr<Impl> impl(new Impl);
  impl->multi.reset(curl_multi_init());
  if (!impl->multi) {
    error = "libcurl could not create a multi handle";
    return nullptr;
  }
  return std::unique_ptr<Transfer>(new Transfer(std::move(impl)));
}

Outcome Transfer::start(const Request& request) {
  Impl& t = *mImpl;
  if (t.interrupted.load()) return {Hivra::ERR_OPERATION_ABORTED, "the transaction was aborted"};
  t.detach();
  t.easy.reset();
  t.headerList.reset();
  t.resetAttempt();
  t.easy.reset(curl_easy_init());
  if (!t.easy) return {Hivra::ERR_INTERNAL, "libcurl could not create a transfer"};
  CURL* e = t.easy.get();

  // The request carries the caller's headers and, from the stack, only Host
  // and body framing: curl's own Accept, Expect (which would stall a POST
  // for a second), form Content-Type, Accept-Encoding and Proxy-Connection
  // are removed unless the caller gives them.
  std::vector<std::string> lines;
  for (const auto& field : request.headers) {
    lines.push_back(field.second.empty() ? field.first + ";" : field.first + ": " + field.second);
  }
  for (const char* internal : {"Accept", "Expect", "Content-Type", "Accept-Encoding", "Proxy-Connection"}) {
    bool given = std::any_of(request.headers.begin(), request.headers.end(),
                             [internal](const auto& field) { return sameName(field.first, internal); });
    if (!given) lines.push_back(std::string(internal) + ":");
  }
  for (const std::string& line : lines) {
    curl_slist* grown = curl_slist_append(t.headerList.get(), line.c_str());
    if (grown == nullptr) return {Hivra::ERR_INTERNAL, "out of memory building the request headers"};
    t.headerList.release();
    t.headerList.reset(grown);
  }

  CURLcode rc = CURLE_OK;
#define QV_SETOPT(option, value) \
  if (rc == CURLE_OK) rc = curl_easy_setopt(e, option, value)
  QV_SETOPT(CURLOPT_ERRORBUFFER, t.errorBuffer);
  QV_SETOPT(CURLOPT_NOSIGNAL, 1L);
  QV_SETOPT(CURLOPT_URL, request.url.c_str());
  QV_SETOPT(CURLOPT_PROTOCOLS_STR, "http,https");
  QV_SETOPT(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  QV_SETOPT(CURLOPT_FOLLOWLOCATION, 0L);
  QV_SETOPT(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  QV_SETOPT(CURLOPT_HTTPHEADER, t.headerList.get());
  QV_SETOPT(CURLOPT_CONNECTTIMEOUT_MS, request.connectTimeoutMs);
  QV_SETOPT(CURLOPT_BUFFERSIZE, 64L * 1024);
  QV_SETOPT(CURLOPT_SSL_VERIFYPEER, 1L);
  QV_SETOPT(CURLOPT_SSL_VERIFYHOST, 2L);
  // An empty proxy switches off the proxy environment variables too; an
  // empty no-proxy list keeps NO_PROXY from bypassing a configured proxy.
  std::string proxy;
  if (!request.proxyHost.empty()) {
    bool bareV6 = request.proxyHost.find(':') != std::string::npos && request.proxyHost[0] != '[';
    proxy = "http://" + (bareV6 ? "[" + request.proxyHost + "]" : request.proxyHost) + ":" +
            std::to_string(request.proxyPort);
  }
  QV_SETOPT(CURLOPT_PROXY, proxy.c_str());
  QV_SETOPT(CURLOPT_NOPROXY, "");
  QV_SETOPT(CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
  QV_SETOPT(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  if (request.decodeContent) {
    QV_SETOPT(CURLOPT_ACCEPT_ENCODING, "");
  } else {
    QV_SETOPT(CURLOPT_ACCEPT_ENCODING, static_cast<const char*>(nullptr));
    QV_SETOPT(CURLOPT_HTTP_CONTENT_DECODING, 0L);
  }
  if (!request.extraCaFile.empty()) {
    // The extra file adds to the system store, it does not replace it.
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (info->capath != nullptr) {
      QV_SETOPT(CURLOPT_CAINFO, request.extraCaFile.c_str());
      QV_SETOPT(CURLOPT_CAPATH, info->capath);
    } else {
      std::string system, extra;
      if (info->cainfo != nullptr && !readWholeFile(info->cainfo, system)) system.clear();
      if (!readWholeFile(request.extraCaFile, extra)) {
        return {Hivra::ERR_CERTIFICATE, "cannot read the CA file " + request.extraCaFile};
      }
      std::string bundle = system + "\n" + extra;
      curl_blob blob{&bundle[0], bundle.size(), CURL_BLOB_COPY};
      QV_SETOPT(CURLOPT_CAINFO_BLOB, &blob);
    }
  }
  QV_SETOPT(CURLOPT_HEADERFUNCTION, &onHeader);
  QV_SETOPT(CURLOPT_HEADERDATA, &t);
  QV_SETOPT(CURLOPT_WRITEFUNCTION, &onWrite);
  QV_SETOPT(CURLOPT_WRITEDATA, &t);
  QV_SETOPT(CURLOPT_PREREQFUNCTION, &onPrereq);
  QV_SETOPT(CURLOPT_PREREQDATA, &t);
  if (request.method == "POST") {
    QV_SETOPT(CURLOPT_POST, 1L);
    QV_SETOPT(CURLOPT_READFUNCTION, &onRead);
    QV_SETOPT(CURLOPT_READDATA, &t);
    if (request.uploadSize >= 0) {
      QV_SETOPT(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.uploadSize));
    }
  } else if (request.method == "HEAD") {
    QV_SETOPT(CURLOPT_NOBODY, 1L);
  } else {
    QV_SETOPT(CURLOPT_HTTPGET, 1L);
  }
#undef QV_SETOPT
  if (rc != CURLE_OK) return {Hivra::ERR_INTERNAL, curl_easy_strerror(rc)};

  CURLMcode mc = curl_multi_add_handle(t.multi.get(), e);
  if (mc != CURLM_OK) return {Hivra::ERR_INTERNAL, curl_multi_strerror(mc)};
  t.attached = true;

  // The connection time-out is curl's; no stall limit while connecting.
  Outcome outcome = t.drive([&t] { return t.prereq; }, -1);
  if (outcome.ok() && !t.prereq) return {Hivra::ERR_CONNECT, "the transfer ended before it was connected"};
  return outcome;
}

Outcome Transfer::sendBody(const char* data, std::size_t length, long stallMs) {
  Impl& t = *mImpl;
  t.tx = data;
  t.txLength = length;
  t.txPos = 0;
  if (t.sendPaused) {
    t.sendPaused = false;
    t.applyPause();
  }
  // A server may answer before it has read the whole body.
  Outcome outcome = t.drive([&t] { return t.txPos >= t.txLength || t.headersDone; }, stallMs);
  t.tx = nullptr;
  t.txLength = t.txPos = 0;
  return outcome;
}

void Transfer::endBody() {
  Impl& t = *mImpl;
  t.txEnded = true;
  if (t.sendPaused) {
    t.sendPaused = false;
    t.applyPause();
  }
}

Outcome Transfer::waitForHeaders(long stallMs) {
  Impl& t = *mImpl;
  if (t.headersDone) return {};
  Outcome outcome = t.drive([&t] { return t.headersDone; }, stallMs);
  if (!outcome.ok()) return outcome;
  if (!t.headersDone) return {Hivra::ERR_RECEIVE, "the connection closed inside the response headers"};
  return {};
}

int Transfer::statusCode() const { return mImpl->status; }

const std::vector<std::string>& Transfer::headerLines() const { return mImpl->lines; }

long long Transfer::contentLength() const {
  curl_off_t length = -1;
  if (!mImpl->easy || curl_easy_getinfo(mImpl->easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK) {
    return -1;
  }
  return static_cast<long long>(length);
}

Outcome Transfer::read(char* buffer, std::size_t size, std::size_t& got, long stallMs) {
  Impl& t = *mImpl;
  got = 0;
  if (t.available() == 0 && !t.done) {
    if (t.recvPaused) {
      t.recvPaused = false;
      t.applyPause();  // may hand over the held piece at once
    }
    Outcome outcome = t.drive([&t] { return t.available() > 0; }, stallMs);
    if (!outcome.ok()) return outcome;
  }
  if (t.available() > 0) {
    got = std::min(size, t.available());
    std::memcpy(buffer, t.rx.data() + t.rxPos, got);
    t.rxPos += got;
    return {};
  }
  if (t.result != CURLE_OK) return t.failure(t.result);
  return {};
}

void Transfer::interrupt() {
  mImpl->interrupted.store(true);
  curl_multi_wakeup(mImpl->multi.get());
}

bool initialise(std::string& error) { return globalInit(error); }

int checkUrl(const std::string& url, std::string& reason) {
  if (!globalInit(reason)) return Hivra::ERR_INTERNAL;
  std::size_t colon = url.find(':');
  std::string scheme = colon == std::string::npos ? std::string() : url.substr(0, colon);
  bool wellFormed = !scheme.empty() && std::isalpha(static_cast<unsigned char>(scheme[0]));
  for (char c : scheme) {
    wellFormed = wellFormed && (std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.');
  }
  if (!wellFormed) {
    reason = "the URL \"" + url + "\" has no scheme (http and https only)";
    return Hivra::ERR_UNSUPPORTED_SCHEME;
  }
  if (strcasecmp(scheme.c_str(), "http") != 0 && strcasecmp(scheme.c_str(), "https") != 0) {
    reason = "the scheme \"" + scheme + "\" is not allowed (http and https only)";
    return Hivra::ERR_UNSUPPORTED_SCHEME;
  }
  std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
  if (!parsed) {
    reason = "out of memory";
    return Hivra::ERR_INTERNAL;
  }
  CURLUcode rc = curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0);
  if (rc != CURLUE_OK) {
    reason = "the URL \"" + url + "\" is malformed: " + curl_url_strerror(rc);
    return Hivra::ERR_INVALID_ARGUMENT;
  }
  char* host = nullptr;
  rc = curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0);
  std::unique_ptr<char, CurlStringDeleter> ownedHost(host);
  if (rc != CURLUE_OK || host == nullptr || host[0] == '\0') {
    reason = "the URL \"" + url + "\" names no host";
    return Hivra::ERR_INVALID_ARGUMENT;
  }
  return Hivra::ERR_NONE;
}

bool resolveReference(const std::string& base, const std::string& reference, std::string& result,
                      std::string& reason) {
  if (!globalInit(reason)) return false;
  std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
  if (!parsed) {
    reason = "out of memory";
    return false;
  }
  CURLUcode rc = curl_url_set(parsed.get(), CURLUPART_URL, base.c_str(), CURLU_NON_SUPPORT_SCHEME);
  if (rc == CURLUE_OK) rc = curl_url_set(parsed.get(), CURLUPART_URL, reference.c_str(), CURLU_NON_SUPPORT_SCHEME);
  char* joined = nullptr;
  if (rc == CURLUE_OK) rc = curl_url_get(parsed.get(), CURLUPART_URL, &joined, 0);
  std::unique_ptr<char, CurlStringDeleter> owned(joined);
  if (rc != CURLUE_OK || joined == nullptr) {
    reason = std::string("cannot resolve \"") + reference + "\" against \"" + base + "\": " + curl_url_strerror(rc);
    return false;
  }
  result = joined;
  return true;
}

bool originOf(const std::string& url, std::string& origin) {
  origin.clear();
  std::string reason;
  if (checkUrl(url, reason) != Hivra::ERR_NONE) return false;
  std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return false;
  std::string parts[3];
  const CURLUPart which[3] = {CURLUPART_SCHEME, CURLUPART_HOST, CURLUPART_PORT};
  for (int i = 0; i < 3; ++i) {
    char* text = nullptr;
    const CURLUcode rc = curl_url_get(parsed.get(), which[i], &text, i == 2 ? CURLU_DEFAULT_PORT : 0);
    std::unique_ptr<char, CurlStringDeleter> owned(text);
    if (rc != CURLUE_OK || text == nullptr) return false;
    parts[i] = text;
  }
  for (int i = 0; i < 2; ++i)
    for (char& c : parts[i]) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  origin = parts[0] + "://" + parts[1] + ":" + parts[2];
  return true;
}

}  // namespace qvcurl
