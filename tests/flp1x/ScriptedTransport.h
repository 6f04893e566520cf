// A transport for the content updater's tests: it answers each request with
// the next scripted answer (the last one repeats) and records what was
// asked. An answer can run a hook while the request is "on the wire" (to
// cancel from there) or block until the transport is cancelled (to cancel
// from another thread).
//
// Threads: update runs on the updater's thread; cancel may come from any
// thread. The script is read and written under its lock.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "HttpTransport.h"
#include "HttpTypes.h"

namespace flp1xtest {

struct Answer {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  int result = TRANSPORT_OK;         // TRANSPORT_FAILED: a broken exchange
  std::function<void()> during;      // run while the request is under way
  bool blockUntilCancelled = false;  // hang until cancel comes
};

inline Answer package(const std::string& xml) {
  Answer a;
  a.headers = {{"Content-Type", "application/vnd.kestrova.quorvel+xml"}};
  a.body = xml;
  return a;
}

struct Part {
  std::string id;
  std::string type;
  std::string body;
};

// A multipart answer with boundary "b0" (a part's empty field is left out).
inline Answer multipart(const std::vector<Part>& parts) {
  Answer a;
  a.headers = {{"Content-Type", "multipart/mixed; boundary=b0"}};
  for (const Part& p : parts) {
    a.body += "--b0\r\n";
    if (!p.id.empty()) a.body += "Content-Id: " + p.id + "\r\n";
    if (!p.type.empty()) a.body += "Content-Type: " + p.type + "\r\n";
    a.body += "\r\n" + p.body + "\r\n";
  }
  a.body += "--b0--\r\n";
  return a;
}

struct SentRequest {
  std::string url;
  int type = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string header(const std::string& name) const {
    for (const auto& h : headers)
      if (h.first == name) return h.second;
    return "<none>";
  }
};

struct Script {
  std::mutex lock;
  std::vector<Answer> answers;
  size_t next = 0;
  std::vector<SentRequest> sent;

  std::vector<SentRequest> requests() {
    std::lock_guard<std::mutex> guard(lock);
    return sent;
  }
  std::vector<std::string> urls() {
    std::vector<std::string> out;
    for (const SentRequest& r : requests()) out.push_back(r.url);
    return out;
  }
};

class ScriptedTransport : public Transport {
 public:
  explicit ScriptedTransport(std::shared_ptr<Script> script) : mScript(std::move(script)) {}

  bool cancel() override {
    std::lock_guard<std::mutex> guard(mLock);
    Transport::cancel();
    mCancelled.notify_all();
    return true;
  }

  PtrRef<HttpResponse> update() override {
    mResult.store(TRANSPORT_OK);
    Answer answer;
    {
      std::lock_guard<std::mutex> guard(mScript->lock);
      SentRequest sent;
      sent.url = mRequest->mUrl;
      sent.type = mRequest->mType;
      sent.headers = mRequest->mEntity.mHeaders.fields();
      mScript->sent.push_back(sent);
      if (!mScript->answers.empty()) {
        const size_t at = mScript->next < mScript->answers.size() ? mScript->next++ : mScript->answers.size() - 1;
        answer = mScript->answers[at];
      } else {
        answer.status = 404;
      }
    }
    if (answer.during) answer.during();
    if (answer.blockUntilCancelled) {
      std::unique_lock<std::mutex> guard(mLock);
      mCancelled.wait(guard, [this] { return mResult.load() == TRANSPORT_CANCELLED; });
    }
    PtrRef<HttpResponse> response(new HttpResponse());
    if (mResult.load() == TRANSPORT_CANCELLED) return response;
    response->mStatusCode = answer.status;
    for (const auto& h : answer.headers) response->mEntity.mHeaders.add(h.first, h.second);
    if (answer.result != TRANSPORT_OK) {
      failUnlessCancelled();
      return response;
    }
    if (answer.status != 200) mResult.store(TRANSPORT_FAILED);
    BodyReader reader(answer.body);
    if (!response->parseBody(reader)) failUnlessCancelled();
    return response;
  }

 private:
  std::shared_ptr<Script> mScript;
  std::mutex mLock;
  std::condition_variable mCancelled;
};

}  // namespace flp1xtest
