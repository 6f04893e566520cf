#include "framework/ProtocolApp.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "platform/ContentCache.h"
#include "platform/Facade.h"
#include "platform/Log.h"

// A posted update: hands its request to handleUpdate, which deletes it. An
// item dropped from the slot before it ran deletes its request itself.
class UpdateWork : public IHandler {
 public:
  UpdateWork(ProtocolApp* app, ProtocolRequest* request) : mApp(app), mRequest(request) {}
  ~UpdateWork() override { delete mRequest; }
  void handle() override {
    ProtocolRequest* request = mRequest;
    mRequest = nullptr;
    if (request != nullptr) mApp->handleUpdate(request);
  }

 private:
  ProtocolApp* mApp;
  ProtocolRequest* mRequest;
};

// A posted pushed message, owned the same way as UpdateWork's request.
class MessageWork : public IHandler {
 public:
  MessageWork(ProtocolApp* app, PushMessage* message) : mApp(app), mMessage(message) {}
  ~MessageWork() override { delete mMessage; }
  void handle() override {
    PushMessage* message = mMessage;
    mMessage = nullptr;
    if (message != nullptr) mApp->handlePushMessage(message);
  }

 private:
  ProtocolApp* mApp;
  PushMessage* mMessage;
};

namespace {

// Decimal value with leading blanks skipped, stopping at the first character
// that is not part of the number; 0 when there is none. Out-of-range texts
// are clamped to the 32-bit range.
int32_t parseEventValue(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(begin, &end, 10);
  if (end == begin) return 0;
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

}  // namespace

ProtocolApp::ProtocolApp(ProtocolFactory* factory) : mFactory(factory), mWorkSignal(1) {}

ProtocolApp::~ProtocolApp() {
  std::lock_guard<std::mutex> engineGuard(mEngineLock);
  delete mProtocol;
  mProtocol = nullptr;
}

bool ProtocolApp::init() {
  QV_LOG(3, "Sync contentcache");
  NR_ContentCache* cache = NR_ContentCache::getInstance();
  if (cache != nullptr) {
    cache->sync();
    cache->housekeep();
  }

  qvlog::trace("initEvents");
  const char* const topics[] = {PROTOCOL_TOPIC_UPDATE, PROTOCOL_TOPIC_MESSAGE, PROTOCOL_TOPIC_RETRY,
                                PROTOCOL_TOPIC_CANCEL, PROTOCOL_TOPIC_SHUTDOWN};
  for (const char* topic : topics) {
    ES_EventSubscriber::subscribe(topic, false, this, "", "", "", false);
  }

  qvlog::trace("send event");
  QV_Event startup(PROTOCOL_TOPIC_STARTUP, 0);
  QV_EventAndStatusFacade::instance()->publishEvent(startup, nullptr);

  qvlog::trace("init complete");
  QV_LOG(3, "init complete");
  return true;
}

void ProtocolApp::run() {
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(mStateLock);
      if (!mRunning) break;
    }
    qvlog::trace("Run");
    QV_LOG(3, "Run");
    {
      std::lock_guard<std::mutex> guard(mStateLock);
      mIdle = true;
    }
    mWorkSignal.wait();

    PtrRef<IHandler> item;
    {
      std::lock_guard<std::mutex> guard(mStateLock);
      if (!mRunning) {
        QV_LOG(3, "ProtocolApp exiting.");
        break;
      }
      mIdle = false;
      // Taking the item out of the slot makes sure it runs once only.
      item.swap(mWork);
    }
    if (item) item->handle();
  }
  QV_LOG(3, "ProtocolApp exiting.");
  qvlog::trace("ProtocolApp exiting.", false);
}

QV_Event ProtocolApp::convertEvent(const ES_Event& event) {
  qvlog::trace("es to qv");
  QV_Event out;
  out.mName = event.getTopic() != nullptr ? event.getTopic() : "";
  out.mValue = 0;

  const char* begin = event.getPayloadBegin();
  const char* end = event.getPayloadEnd();
  if (begin != nullptr && end != nullptr && end > begin) {
    std::vector<char> buffer(begin, end);
    buffer.push_back('\0');
    out.mData = buffer.data();  // a payload is text: cut at the first NUL
    out.mPayload.assign(begin, end);
  }

  qvlog::trace("fill properties");
  PtrRef<QV_PropertyMap> properties(new QV_PropertyMap);
  int32_t value = 0;
  for (const auto& entry : event.getProperties()) {
    if (entry.first == kQvEventValueProperty) {
      value = parseEventValue(entry.second);
    } else {
      (*properties)[entry.first] = entry.second;
    }
  }
  qvlog::trace("set property", false);
  out.mProperties = properties;
  qvlog::trace("set value", false);
  out.mValue = value;
  return out;
}

void ProtocolApp::onEvent(const ES_Event& event) {
  QV_Event converted = convertEvent(event);
  receiveEvent(converted);
}

void ProtocolApp::receiveEvent(const QV_Event& event) {
  const std::string line = "Receive event:" + event.mName;
  qvlog::trace(line.c_str());
  QV_LOG(3, "Receive event:%s", event.mName.c_str());

  if (event.mName == PROTOCOL_TOPIC_UPDATE) {
    processUpdate(event);
  } else if (event.mName == PROTOCOL_TOPIC_MESSAGE) {
    processMessage(event);
  } else if (event.mName == PROTOCOL_TOPIC_RETRY) {
    processRetry(event);
  } else if (event.mName == PROTOCOL_TOPIC_CANCEL) {
    cancelCurrent();
  } else if (event.mName == PROTOCOL_TOPIC_SHUTDOWN) {
    processShutdown(event);
  } else {
    QV_LOG(3, "Met unknow event:%s", event.mName.c_str());
  }
}

bool ProtocolApp::getProperty(const QV_Event& event, const char* key, std::string& value) {
  if (event.mProperties.isNull() || event.mProperties->empty()) {
    QV_LOG(3, "Error event, no properties");
    return false;
  }
  auto it = event.mProperties->find(key);
  if (it == event.mProperties->end() || it->second.empty()) {
    value.clear();
    QV_LOG(3, "Event has no property:%s", key);
    return false;
  }
  value = it->second;
  return true;
}

bool ProtocolApp::getProtocolVersion(const QV_Event& event) {
  std::string version;
  {
    std::lock_guard<std::mutex> guard(mStateLock);
    version = mVersion;
  }
  bool ok = getProperty(event, PROPERTY_PROTOCOL_VERSION, version);
  std::lock_guard<std::mutex> guard(mStateLock);
  mVersion = version;
  return ok;
}

void ProtocolApp::processUpdate(const QV_Event& event) {
  QV_LOG(3, "Process update");
  if (!getProtocolVersion(event)) return;
  std::string trigger;
  if (!getProperty(event, PROPERTY_TRIGGER, trigger)) return;
  auto* request = new ProtocolRequest(ProtocolRequest::triggerFromString(trigger));
  postWork(new UpdateWork(this, request));
}

void ProtocolApp::processMessage(const QV_Event& event) {
  std::string contentType;
  if (!getProperty(event, PROPERTY_CONTENT_TYPE, contentType)) return;
  if (!getProtocolVersion(event)) return;
  auto* message = new PushMessage(contentType, "UTF8", event.mData, event.mPayload);
  postWork(new MessageWork(this, message));
}

void ProtocolApp::processRetry(const QV_Event& event) {
  QV_LOG(3, "Process retry");
  if (!getProtocolVersion(event)) return;
  std::string type;
  if (!getProperty(event, PROPERTY_TYPE, type)) return;
  const bool isContent = type == "content";
  std::string trigger;
  if (!getProperty(event, PROPERTY_TRIGGER, trigger)) return;
  auto* request = new ProtocolRequest(ProtocolRequest::triggerFromString(trigger));
  request->setType(isContent ? ProtocolRequest::CONTENT : ProtocolRequest::DATA);
  postWork(new UpdateWork(this, request));
}

void ProtocolApp::processShutdown(const QV_Event& event) {
  std::string version;
  if (!event.mProperties.isNull()) {
    auto it = event.mProperties->find(PROPERTY_PROTOCOL_VERSION);
    if (it != event.mProperties->end()) version = it->second;
  }
  if (mFactory->supports(version)) return;
  requestShutdown();
}

void ProtocolApp::requestShutdown() {
  {
    std::lock_guard<std::mutex> guard(mStateLock);
    cancelCurrentLocked();
    mRunning = false;
  }
  mWorkSignal.notify();
}

void ProtocolApp::cancelCurrent() {
  std::lock_guard<std::mutex> guard(mStateLock);
  cancelCurrentLocked();
}

void ProtocolApp::cancelCurrentLocked() {
  if (!mIdle) {
    std::lock_guard<std::mutex> engineGuard(mEngineLock);
    if (mProtocol != nullptr) {
      QV_LOG(3, "cancel");
      mProtocol->cancel();
    }
  }
  QV_LOG(3, "cancel complate");
}

void ProtocolApp::postWork(IHandler* work) {
  QV_LOG(3, "Handle New work");
  PtrRef<IHandler> dropped;
  {
    std::lock_guard<std::mutex> guard(mStateLock);
    // The item that was still waiting, if any, is discarded; it is freed
    // below, outside the lock.
    dropped = mWork;
    mWork.reset(work);
    // Placing the new item and cancelling the running one happen under one
    // lock, so the cancel can never reach the engine of the new item.
    cancelCurrentLocked();
  }
  mWorkSignal.notify();
}

bool ProtocolApp::createProtocol() {
  std::string version;
  {
    std::lock_guard<std::mutex> guard(mStateLock);
    version = mVersion;
  }
  std::lock_guard<std::mutex> engineGuard(mEngineLock);
  delete mProtocol;
  mProtocol = nullptr;
  mProtocol = mFactory->create(version);
  if (mProtocol == nullptr) {
    QV_LOG(3, "Can't create protocol with version:%s", version.c_str());
    return false;
  }
  return true;
}

void ProtocolApp::handleUpdate(ProtocolRequest* request) {
  QV_LOG(3, "Handle Update");
  if (createProtocol()) {
    ProtocolResponse response = mProtocol->handleRequest(request);
    // Before the response goes out, so that whoever reacts to it finds the
    // cache already tidied; the next update waits for it either way.
    if (response.mCode == SUCCESS) {
      NR_ContentCache* cache = NR_ContentCache::getInstance();
      if (cache != nullptr) cache->housekeep();
    }
    sendResponse(ProtocolRequest::triggerToString(request->getTrigger()), request->typeString(),
                 response.mCode);
    response.mStrings.clear();
  } else {
    QV_LOG(3, "Procotol create failed.");
  }
  delete request;
}

void ProtocolApp::handlePushMessage(PushMessage* message) {
  QV_LOG(3, "Handle Message.");
  int code = 0;
  if (createProtocol()) {
    code = mProtocol->handleMessage(message) ? 0 : 1;
  } else {
    QV_LOG(3, "Procotol create failed.");
  }
  sendResponse(PUSH_MESSAGE_TEXT, PUSH_MESSAGE_TEXT, code);
  delete message;
}

void ProtocolApp::sendResponse(const std::string& trigger, const std::string& type, int code) {
  QV_LOG(3, "Process response code");
  QV_Event event(PROTOCOL_TOPIC_RESPONSE, code);
  PtrRef<QV_PropertyMap> properties(new QV_PropertyMap);
  (*properties)[PROPERTY_TRIGGER] = trigger;
  (*properties)[PROPERTY_TYPE] = type;
  event.mProperties = properties;
  QV_EventAndStatusFacade::instance()->publishEvent(event, nullptr);
  const std::string line =
      "Send response, trigger:" + trigger + "; type:" + type + ";respcode:" + std::to_string(code) + ";";
  QV_LOG(3, "%s", line.c_str());
}
