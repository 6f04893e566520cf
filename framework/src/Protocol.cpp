#include "framework/Protocol.h"

#include <cstdint>
#include <mutex>

#include "platform/Facade.h"
#include "platform/Log.h"
#include "platform/QV_Event.h"

const char* const PROTOCOL_TOPIC_UPDATE = "/kestrova/quorvel/newsreader/protocol/update";
const char* const PROTOCOL_TOPIC_MESSAGE = "/kestrova/quorvel/newsreader/protocol/message";
const char* const PROTOCOL_TOPIC_RETRY = "/kestrova/quorvel/newsreader/protocol/retry";
const char* const PROTOCOL_TOPIC_CANCEL = "/kestrova/quorvel/newsreader/protocol/cancel";
const char* const PROTOCOL_TOPIC_SHUTDOWN = "/kestrova/quorvel/newsreader/protocol/shutdown";
const char* const PROTOCOL_TOPIC_STARTUP = "/kestrova/quorvel/newsreader/protocol/startup";
const char* const PROTOCOL_TOPIC_REPORTSTATUS = "/kestrova/quorvel/newsreader/protocol/reportstatus";
const char* const PROTOCOL_TOPIC_RESPONSE = "/kestrova/quorvel/newsreader/protocol/response";
const char* const PROTOCOL_TOPIC_TTLUPDATE = "/kestrova/quorvel/newsreader/protocol/ttlupdate";

const char* const PROPERTY_PROTOCOL_VERSION = "protocolversion";
const char* const PROPERTY_TRIGGER = "trigger";
const char* const PROPERTY_TYPE = "type";
const char* const PROPERTY_STATUS = "status";
const char* const PROPERTY_CONTENT_TYPE = "content-type";
const char* const PUSH_MESSAGE_TEXT = "push_message";

namespace {

struct TriggerText {
  ProtocolRequest::Trigger trigger;
  const char* text;
};

// In the order in which incoming texts are compared.
const TriggerText kTriggerTexts[] = {
    {ProtocolRequest::MANUAL, "man"},       {ProtocolRequest::SIM, "sim"},
    {ProtocolRequest::MASTER_RESET, "mr"},  {ProtocolRequest::MASTER_CLEAR, "mc"},
    {ProtocolRequest::TTL, "ttl"},          {ProtocolRequest::SERVER, "svr"},
    {ProtocolRequest::SERVER_PUSH, "ds"},
};

}  // namespace

ProtocolRequest::ProtocolRequest(Trigger t)
    : mTrigger(t), mState(REQUEST_NEW), mType(CONTENT), mStatus(CONNECTING) {}

ProtocolRequest::ProtocolRequest(Trigger t, const Parameters& params)
    : mTrigger(t), mParameters(params), mState(REQUEST_NEW), mType(CONTENT), mStatus(CONNECTING) {}

ProtocolRequest::~ProtocolRequest() {
  // The log shows the low 32 bits of the address as a signed decimal.
  QV_LOG(3, "Protocol Request with address, %d, is being deleted.",
         static_cast<int>(static_cast<int32_t>(reinterpret_cast<intptr_t>(this))));
}

int ProtocolRequest::getState() {
  std::lock_guard<std::mutex> guard(mStateMutex);
  return mState;
}

void ProtocolRequest::setState(int state) {
  if (qvlog::enabled(qvlog::kDebug)) {
    QV_LOG(8, "Starting.  Current state=%d, New state=%d", getState(), state);
  }
  std::lock_guard<std::mutex> guard(mStateMutex);
  mState = state;
}

void ProtocolRequest::cancelRequest() {
  std::lock_guard<std::mutex> guard(mStateMutex);
  mState = REQUEST_CANCELLED;
}

void ProtocolRequest::setStatus(DownloadStatus status) {
  mStatus = status;
  sendStatusEvent();
}

void ProtocolRequest::setType(RequestType type) {
  mType = type;
  sendStatusEvent();
}

std::string ProtocolRequest::statusString() const {
  switch (mStatus) {
    case CONNECTING:
      return "connecting";
    case DOWNLOADING:
      return "downloading";
    default:
      return "complete";
  }
}

std::string ProtocolRequest::typeString() const { return mType == DATA ? "data" : "content"; }

ProtocolRequest::Trigger ProtocolRequest::triggerFromString(const std::string& text) {
  for (const TriggerText& entry : kTriggerTexts) {
    if (text == entry.text) return entry.trigger;
  }
  return TTL;
}

std::string ProtocolRequest::triggerToString(Trigger trigger) {
  for (const TriggerText& entry : kTriggerTexts) {
    if (trigger == entry.trigger) return entry.text;
  }
  return "ttl";
}

void ProtocolRequest::sendStatusEvent() {
  const std::string status = statusString();
  const std::string type = typeString();

  QV_Event event(PROTOCOL_TOPIC_REPORTSTATUS, 0);
  PtrRef<QV_PropertyMap> properties = makePtrRef<QV_PropertyMap>();
  (*properties)[PROPERTY_STATUS] = status;
  (*properties)[PROPERTY_TYPE] = type;
  if (!mProtocolVersion.empty()) (*properties)[PROPERTY_PROTOCOL_VERSION] = mProtocolVersion;
  event.mProperties = properties;
  QV_EventAndStatusFacade::instance()->publishEvent(event, nullptr);

  const std::string line = "Send Status Event, status:" + status + ";type:" + type;
  qvlog::trace(line.c_str());
  QV_LOG(3, "%s", line.c_str());
  if (mObserver != nullptr) mObserver->onRequestStatus(*this);
}

namespace {
std::mutex gTtlObserverLock;
void (*gTtlObserver)(void*, int) = nullptr;
void* gTtlObserverContext = nullptr;
}  // namespace

void setTtlObserver(void (*observer)(void* context, int ttl), void* context) {
  std::lock_guard<std::mutex> guard(gTtlObserverLock);
  gTtlObserver = observer;
  gTtlObserverContext = context;
}

void sendTtlUpdate(int ttl) {
  QV_Event event(PROTOCOL_TOPIC_TTLUPDATE, ttl);
  QV_EventAndStatusFacade::instance()->publishEvent(event, nullptr);
  void (*observer)(void*, int);
  void* context;
  {
    std::lock_guard<std::mutex> guard(gTtlObserverLock);
    observer = gTtlObserver;
    context = gTtlObserverContext;
  }
  if (observer != nullptr) observer(context, ttl);
}

std::string replaceLineBreaks(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return out;
}
