#include "framework/ProtocolApp.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <utility>
#include <vector>

#include "platform/ContentCache.h"
#include "platform/Facade.h"
#include "platform/Log.h"

// A posted update. The item owns its request until it runs, then hands it
// to handleUpdate; an item dropped from the slot before it ran frees it.
class UpdateWork : public IHandler {
 public:
  UpdateWork(ProtocolApp* app, std::unique_ptr<ProtocolRequest> request) : mApp(app), mRequest(std::move(request)) {}
  void handle() override {
    if (mRequest) mApp->handleUpdate(std::move(mRequest));
  }

 private:
  ProtocolApp* mApp;
  std::unique_ptr<ProtocolRequest> mRequest;
};

// A posted pushed message, owned the same way as UpdateWork's request.
class MessageWork : public IHandler {
 public:
  MessageWork(ProtocolApp* app, std::unique_ptr<PushMessage> message) : mApp(app), mMessage(std::move(message)) {}
  void handle() override {
    if (mMessage) mApp->handlePushMessage(std::move(mMessage));
  }

 private:
  ProtocolApp* mApp;
  std::unique_ptr<PushMessage> mMessage;
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

const char* const SERVICE_INTERFACE = "com.kestrova.Quorvel.Service1";

ProtocolApp::ProtocolApp(ProtocolFactory* factory) : mFactory(factory), mWorkSignal(1) {}

ProtocolApp::~ProtocolApp() {
  if (mExported.load()) setTtlObserver(nullptr, nullptr);
  std::lock_guard<std::mutex> engineGuard(mEngineLock);
  mProtocol.reset();
}

bool ProtocolApp::init(std::string& error) {
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
    // The platform has logged why; the caller says it once on stderr.
    if (ES_EventSubscriber::subscribe(topic, false, this, "", "", "", false) != 0) {
      error = std::string("cannot subscribe to ") + topic;
      return false;
    }
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

    std::unique_ptr<IHandler> item;
    {
      std::lock_guard<std::mutex> guard(mStateLock);
      if (!mRunning) {
        QV_LOG(3, "ProtocolApp exiting.");
        break;
      }
      mIdle = false;
      // Taking the item out of the slot makes sure it runs once only.
      item = std::move(mWork);
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
  PtrRef<QV_PropertyMap> properties = makePtrRef<QV_PropertyMap>();
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

bool ProtocolApp::accepts(const std::string& version) { return mFactory->supports(version); }

bool ProtocolApp::getProtocolVersion(const QV_Event& event, std::string& version) {
  if (!getProperty(event, PROPERTY_PROTOCOL_VERSION, version)) return false;
  // Work for another service's version is that service's: taking it here
  // would cancel this service's running item and answer in its name.
  if (!accepts(version)) {
    QV_LOG(3, "Ignoring the event for version %s: this service does not serve it", version.c_str());
    return false;
  }
  return true;
}

void ProtocolApp::processUpdate(const QV_Event& event) {
  QV_LOG(3, "Process update");
  std::string version;
  if (!getProtocolVersion(event, version)) return;
  std::string trigger;
  if (!getProperty(event, PROPERTY_TRIGGER, trigger)) return;
  submitUpdate(version, trigger, nullptr);
}

void ProtocolApp::processMessage(const QV_Event& event) {
  std::string contentType;
  if (!getProperty(event, PROPERTY_CONTENT_TYPE, contentType)) return;
  std::string version;
  if (!getProtocolVersion(event, version)) return;
  submitMessage(version, contentType, event.mData, event.mPayload);
}

void ProtocolApp::processRetry(const QV_Event& event) {
  QV_LOG(3, "Process retry");
  std::string version;
  if (!getProtocolVersion(event, version)) return;
  std::string type;
  if (!getProperty(event, PROPERTY_TYPE, type)) return;
  std::string trigger;
  if (!getProperty(event, PROPERTY_TRIGGER, trigger)) return;
  submitUpdate(version, trigger, &type);
}

void ProtocolApp::submitUpdate(const std::string& version, const std::string& trigger, const std::string* retryType) {
  {
    std::lock_guard<std::mutex> guard(mStateLock);
    mVersion = version;
  }
  auto request = std::make_unique<ProtocolRequest>(ProtocolRequest::triggerFromString(trigger));
  // Set before the type: the early status event of a retry names it.
  request->setProtocolVersion(version);
  if (retryType != nullptr) {
    // A retry announces its type at once, as "connecting".
    request->setType(*retryType == "content" ? ProtocolRequest::CONTENT : ProtocolRequest::DATA);
  }
  postWork(std::make_unique<UpdateWork>(this, std::move(request)));
}

void ProtocolApp::submitMessage(const std::string& version, const std::string& contentType, const std::string& data,
                                const std::string& payload) {
  {
    std::lock_guard<std::mutex> guard(mStateLock);
    mVersion = version;
  }
  auto message = std::make_unique<PushMessage>(contentType, "UTF8", data, payload);
  message->setProtocolVersion(version);
  postWork(std::make_unique<MessageWork>(this, std::move(message)));
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

void ProtocolApp::postWork(std::unique_ptr<IHandler> work) {
  QV_LOG(3, "Handle New work");
  std::unique_ptr<IHandler> dropped;
  {
    std::lock_guard<std::mutex> guard(mStateLock);
    // The item that was still waiting, if any, is discarded; it is freed
    // when this function returns, outside the lock.
    dropped = std::move(mWork);
    mWork = std::move(work);
    // Placing the new item and cancelling the running one happen under one
    // lock, so the cancel can never reach the engine of the new item.
    cancelCurrentLocked();
  }
  mWorkSignal.notify();
}

bool ProtocolApp::createProtocol(const std::string& version) {
  std::lock_guard<std::mutex> engineGuard(mEngineLock);
  // The old engine goes before the new one is made, as it always has.
  mProtocol.reset();
  mProtocol = mFactory->create(version);
  if (mProtocol == nullptr) {
    QV_LOG(3, "Can't create protocol with version:%s", version.c_str());
    return false;
  }
  return true;
}

void ProtocolApp::handleUpdate(std::unique_ptr<ProtocolRequest> request) {
  QV_LOG(3, "Handle Update");
  const std::string trigger = ProtocolRequest::triggerToString(request->getTrigger());
  const std::string version = request->getProtocolVersion();
  beginItem(version, trigger, request->typeString());
  if (createProtocol(version)) {
    request->setObserver(this);
    ProtocolResponse response = mProtocol->handleRequest(request.get());
    request->setObserver(nullptr);
    // Before the response goes out, so that whoever reacts to it finds the
    // cache already tidied; the next update waits for it either way.
    if (response.mCode == SUCCESS) {
      NR_ContentCache* cache = NR_ContentCache::getInstance();
      if (cache != nullptr) cache->housekeep();
    }
    sendResponse(trigger, request->typeString(), response.mCode, version);
    endItem(true, response.mCode);
    response.mStrings.clear();
  } else {
    QV_LOG(3, "Procotol create failed.");
    endItem(false, 0);
  }
}

void ProtocolApp::handlePushMessage(std::unique_ptr<PushMessage> message) {
  QV_LOG(3, "Handle Message.");
  beginItem(message->getProtocolVersion(), PUSH_MESSAGE_TEXT, PUSH_MESSAGE_TEXT);
  int code = 0;
  if (createProtocol(message->getProtocolVersion())) {
    code = mProtocol->handleMessage(message.get()) ? 0 : 1;
  } else {
    QV_LOG(3, "Procotol create failed.");
  }
  sendResponse(PUSH_MESSAGE_TEXT, PUSH_MESSAGE_TEXT, code, message->getProtocolVersion());
  // A pushed message is not an update: LastResult and LastUpdate stay.
  endItem(false, code);
}

void ProtocolApp::sendResponse(const std::string& trigger, const std::string& type, int code,
                               const std::string& version) {
  QV_LOG(3, "Process response code");
  QV_Event event(PROTOCOL_TOPIC_RESPONSE, code);
  PtrRef<QV_PropertyMap> properties = makePtrRef<QV_PropertyMap>();
  (*properties)[PROPERTY_TRIGGER] = trigger;
  (*properties)[PROPERTY_TYPE] = type;
  (*properties)[PROPERTY_PROTOCOL_VERSION] = version;
  event.mProperties = properties;
  QV_EventAndStatusFacade::instance()->publishEvent(event, nullptr);
  const std::string line =
      "Send response, trigger:" + trigger + "; type:" + type + ";respcode:" + std::to_string(code) + ";";
  QV_LOG(3, "%s", line.c_str());
}

// --- The bus service ---

namespace {

constexpr std::size_t kMaxVersionBytes = 64;

std::string joined(const std::vector<std::string>& list) {
  std::string out;
  for (const std::string& v : list) out += (out.empty() ? "" : ", ") + v;
  return out;
}

// A text as it may stand in an error message: cut short, so a huge argument
// makes no huge reply or log line.
std::string shown(const std::string& text) {
  return text.size() <= 40 ? "'" + text + "'" : "'" + text.substr(0, 40) + "...' (" + std::to_string(text.size()) + " bytes)";
}

bool knownTrigger(const std::string& text) {
  return ProtocolRequest::triggerToString(ProtocolRequest::triggerFromString(text)) == text;
}

uint64_t unixNow() { return static_cast<uint64_t>(std::time(nullptr)); }

}  // namespace

qvbus::ServiceSpec ProtocolApp::serviceSpec(const std::string& busName, const std::string& objectPath) {
  using qvbus::PropertyKind;
  qvbus::ServiceSpec spec;
  spec.busName = busName;
  spec.objectPath = objectPath;
  spec.interface = SERVICE_INTERFACE;
  spec.methods = {{"Update", "ss", "version trigger"},
                  {"Retry", "sss", "version type trigger"},
                  {"Push", "ssay", "version content_type payload"},
                  {"Cancel", "", ""},
                  {"Shutdown", "s", "version"}};
  spec.properties = {{"Versions", PropertyKind::STRING_LIST, true},  {"State", PropertyKind::STRING},
                     {"CurrentRequest", PropertyKind::STRING_MAP}, {"LastResult", PropertyKind::INT32},
                     {"LastUpdate", PropertyKind::UINT64},     {"NextUpdate", PropertyKind::UINT64}};
  return spec;
}

int ProtocolApp::exportBusService(const std::string& busName, const std::string& objectPath, std::string& error) {
  mObjectPath = objectPath;
  mExported.store(true);
  setTtlObserver(&ProtocolApp::onTtl, this);
  return ES_EventSubscriber::exportService(serviceSpec(busName, objectPath), this, error);
}

std::string ProtocolApp::checkVersion(const std::string& version) {
  if (version.empty()) return "the version is empty";
  if (version.size() > kMaxVersionBytes) return "the version " + shown(version) + " is too long";
  if (!accepts(version)) {
    return "this service does not serve the version " + shown(version) + "; it serves " + joined(mFactory->versions());
  }
  return "";
}

qvbus::MethodReply ProtocolApp::onMethod(const std::string& method, const std::vector<std::string>& args) {
  using qvbus::MethodReply;
  QV_LOG(3, "Method call:%s", method.c_str());
  auto refuse = [&method](const char* name, const std::string& why) {
    QV_LOG(3, "Refusing the method call %s: %s", method.c_str(), why.c_str());
    return MethodReply::error(name, why);
  };
  {
    std::lock_guard<std::mutex> guard(mStateLock);
    if (!mRunning) return refuse(qvbus::kErrorShuttingDown, "the service is shutting down");
  }
  if (method == "Cancel") {
    cancelCurrent();
    return MethodReply::ok();
  }
  if (method == "Shutdown") {
    const std::string& version = args.at(0);
    if (version.size() > kMaxVersionBytes) return refuse(qvbus::kErrorInvalidArgs, "the version " + shown(version) + " is too long");
    if (mFactory->supports(version)) {
      // As with the event: a shutdown ends the services that do not serve
      // the version it names.
      return refuse(qvbus::kErrorInvalidArgs, "this service serves " + shown(version) +
                                                  ", and a shutdown ends only the services that do not serve the "
                                                  "version it names (give an empty version to end it)");
    }
    requestShutdown();
    return MethodReply::ok();
  }
  std::string why = checkVersion(args.at(0));
  if (!why.empty()) return refuse(qvbus::kErrorInvalidArgs, why);
  if (method == "Update" || method == "Retry") {
    const std::string& trigger = args.back();
    if (!knownTrigger(trigger)) {
      return refuse(qvbus::kErrorInvalidArgs,
                    "unknown trigger " + shown(trigger) + "; one of man, sim, mr, mc, ttl, svr, ds");
    }
    if (method == "Update") {
      submitUpdate(args[0], trigger, nullptr);
      return MethodReply::ok();
    }
    const std::string& type = args.at(1);
    if (type != "content" && type != "data") {
      return refuse(qvbus::kErrorInvalidArgs, "unknown type " + shown(type) + "; content or data");
    }
    submitUpdate(args[0], trigger, &type);
    return MethodReply::ok();
  }
  if (method == "Push") {
    const std::string& contentType = args.at(1);
    const std::string& payload = args.at(2);
    if (contentType.empty()) return refuse(qvbus::kErrorInvalidArgs, "the content type is empty");
    if (contentType.size() > kMaxMethodTextBytes) {
      return refuse(qvbus::kErrorInvalidArgs, "the content type " + shown(contentType) + " is too long");
    }
    if (payload.size() > kMaxPushPayloadBytes) {
      return refuse(qvbus::kErrorInvalidArgs, "the payload has " + std::to_string(payload.size()) +
                                                  " bytes; at most " + std::to_string(kMaxPushPayloadBytes) +
                                                  " are taken");
    }
    // As for the event: the message text ends at the first NUL byte, the
    // payload keeps every byte.
    submitMessage(args[0], contentType, std::string(payload.c_str()), payload);
    return MethodReply::ok();
  }
  return refuse("org.freedesktop.DBus.Error.UnknownMethod", "no such method");
}

qvbus::PropertyValue ProtocolApp::property(const std::string& name) {
  qvbus::PropertyValue v;
  if (name == "Versions") {
    v.kind = qvbus::PropertyKind::STRING_LIST;
    v.list = mFactory->versions();
    return v;
  }
  std::lock_guard<std::mutex> guard(mPropLock);
  if (name == "State") {
    v.kind = qvbus::PropertyKind::STRING;
    v.text = mProps.state;
  } else if (name == "CurrentRequest") {
    v.kind = qvbus::PropertyKind::STRING_MAP;
    v.map = mProps.current;
  } else if (name == "LastResult") {
    v.kind = qvbus::PropertyKind::INT32;
    v.number = mProps.lastResult;
  } else if (name == "LastUpdate") {
    v.kind = qvbus::PropertyKind::UINT64;
    v.number = static_cast<int64_t>(mProps.lastUpdate);
  } else if (name == "NextUpdate") {
    v.kind = qvbus::PropertyKind::UINT64;
    v.number = static_cast<int64_t>(mProps.nextUpdate);
  }
  return v;
}

void ProtocolApp::announce(const std::vector<std::string>& names) {
  if (mExported.load() && !names.empty()) ES_EventSubscriber::propertiesChanged(mObjectPath, SERVICE_INTERFACE, names);
}

void ProtocolApp::beginItem(const std::string& version, const std::string& trigger, const std::string& type) {
  {
    std::lock_guard<std::mutex> guard(mPropLock);
    mProps.state = "connecting";
    mProps.current = {{"version", version}, {"trigger", trigger}, {"type", type}};
  }
  announce({"State", "CurrentRequest"});
}

void ProtocolApp::endItem(bool answered, int code) {
  std::vector<std::string> changed{"State", "CurrentRequest"};
  {
    std::lock_guard<std::mutex> guard(mPropLock);
    mProps.state = "idle";
    mProps.current.clear();
    if (answered) {
      mProps.lastResult = code;
      mProps.lastUpdate = unixNow();
      changed.insert(changed.end(), {"LastResult", "LastUpdate"});
    }
  }
  announce(changed);
}

void ProtocolApp::onRequestStatus(const ProtocolRequest& request) {
  std::vector<std::string> changed;
  {
    std::lock_guard<std::mutex> guard(mPropLock);
    // "complete" ends a phase, not the item: the state stays until the
    // item's answer, or until the next phase connects.
    std::string state = mProps.state;
    if (request.getStatus() == ProtocolRequest::CONNECTING) state = "connecting";
    if (request.getStatus() == ProtocolRequest::DOWNLOADING) state = "downloading";
    if (state != mProps.state) {
      mProps.state = state;
      changed.push_back("State");
    }
    const std::string type = request.typeString();
    auto it = mProps.current.find("type");
    if (it != mProps.current.end() && it->second != type) {
      it->second = type;
      changed.push_back("CurrentRequest");
    }
  }
  announce(changed);
}

void ProtocolApp::onTtl(void* self, int ttl) {
  auto* app = static_cast<ProtocolApp*>(self);
  {
    std::lock_guard<std::mutex> guard(app->mPropLock);
    app->mProps.nextUpdate = ttl > 0 ? unixNow() + static_cast<uint64_t>(ttl) : 0;
  }
  app->announce({"NextUpdate"});
}
