#include "txn/Primitives.h"

#include <cstring>
#include <sstream>

#include "platform/Log.h"

namespace txn {

const char* const kApplicationUrn = "x-oma-kestrova:quorvel.ua";
const char* const kApplicationName = "NewsReader";
const char* const kDcdVersion = "0.8";
const char* const kDcdName = "DCD";
const char* const kDcdMimeType = "application/vnd.kestrova.quorvel+xml";

namespace {

// One field line: indent, label, value, line feed; nothing when absent.
void line(std::ostream& out, const std::string& indent, const char* label, const std::string* value) {
  if (value != nullptr) out << indent << label << *value << "\n";
}

void line(std::ostream& out, const std::string& indent, const char* label, const int32_t* value) {
  if (value != nullptr) out << indent << label << *value << "\n";
}

template <class E>
void enumLine(std::ostream& out, const std::string& indent, const char* label, const E* value) {
  if (value != nullptr) out << indent << label << value->name() << "\n";
}

template <class T>
void child(std::ostream& out, const std::string& indent, const T* value) {
  if (value != nullptr) value->print(out, indent);
}

template <class T>
void children(std::ostream& out, const std::string& indent, const std::vector<std::unique_ptr<T>>& values) {
  for (const auto& value : values) value->print(out, indent);
}

}  // namespace

// --- ExtBlock, DataBlock, Primitive ---------------------------------------

ExtBlock::ExtBlock(const char* bytes, std::size_t length) {
  if (bytes != nullptr && length > 0) {
    mText.reset(new std::string(bytes, length));
    QV_LOG(8, "Encountered the ext-block:\n%s", mText->c_str());
  } else {
    QV_LOG(3, "For this extension-block, did not copy any bytes from the source data.");
  }
}

DataBlock::DataBlock(const void* bytes, uint32_t length, std::string contentId, std::string contentType)
    : mLength(bytes != nullptr ? length : 0), mContentId(std::move(contentId)), mContentType(std::move(contentType)) {
  if (mLength > 0) {
    mBytes.reset(new uint8_t[mLength]);
    std::memcpy(mBytes.get(), bytes, mLength);
  }
}

Primitive::~Primitive() = default;

std::string Primitive::getType() const { return "Primitive"; }

std::string Primitive::toString() const {
  std::ostringstream out;
  print(out, "");
  return out.str();
}

void Primitive::setExtBlock(std::unique_ptr<ExtBlock> block) {
  if (block && block->empty()) block.reset();
  mExtBlock = std::move(block);
}

// --- Parts ----------------------------------------------------------------

bool ClientId::isValid() const { return getSubscriberId() != nullptr && getDeviceId() != nullptr; }
std::string ClientId::getType() const { return "ClientId"; }
void ClientId::print(std::ostream& out, std::string indent) const {
  indent += " ";
  if (!isValid()) {
    QV_LOG(3, "Invalid client-id primitive. Can not convert to string.");
    return;
  }
  out << indent << "[ClientId]\n";
  line(out, indent, "subscriber-id : ", getSubscriberId());
  line(out, indent, "device-id : ", getDeviceId());
}

std::string PropertySet::getType() const { return "PropertySet"; }
const std::string* PropertySet::getProperty(const std::string& key) const {
  auto it = mProperties.find(key);
  return it == mProperties.end() ? nullptr : &it->second;
}
void PropertySet::print(std::ostream& out, std::string indent) const {
  indent += " ";
  out << indent << "[PropertySet]\n";
  for (const auto& property : mProperties) out << indent << property.first << " : " << property.second << "\n";
  children(out, indent, getPropertySets());
}

std::string UpdateSchedule::getType() const { return "UpdateSchedule"; }
void UpdateSchedule::print(std::ostream& out, std::string indent) const {
  indent += " ";
  out << indent << "[UpdateSchedule]\n";
  for (const auto& time : mTimes) out << indent << "time : " << time << "\n";
}

bool Lifespan::isValid() const {
  if (getLifetime() != nullptr) return getActivation() == nullptr && getExpiration() == nullptr;
  return getActivation() != nullptr || getExpiration() != nullptr;
}
std::string Lifespan::getType() const { return "Lifespan"; }
void Lifespan::print(std::ostream& out, std::string indent) const {
  indent += " ";
  if (!isValid()) {
    QV_LOG(3, "Invalid lifespan primitive. Can not convert to string.");
    return;
  }
  out << indent << "[Lifespans]\n";
  line(out, indent, "activation : ", getActivation());
  line(out, indent, "expiration : ", getExpiration());
  line(out, indent, "lifetime : ", getLifetime());
}

std::string AbstractContent::getType() const { return "AbstractContent"; }
void AbstractContent::printAbstractPart(std::ostream& out, const std::string& indent) const {
  line(out, indent, "[incomplete printout] id : ", getId());
  line(out, indent, "name : ", getName());
  line(out, indent, "syncAnchor : ", getSyncAnchor());
  child(out, indent, getLifespan());
}

std::string Content::getType() const { return "Content"; }
void Content::print(std::ostream& out, std::string indent) const {
  indent += " ";
  out << indent << "[Content]\n";
  printAbstractPart(out, indent);
  line(out, indent, "contentId : ", getContentId());
  line(out, indent, "contentType : ", getContentType());
  line(out, indent, "contentValue : ", getContentValue());
}

std::string ContentSet::getType() const { return "ContentSet"; }
void ContentSet::print(std::ostream& out, std::string indent) const {
  indent += " ";
  out << indent << "[ContentSet]\n";
  printAbstractPart(out, indent);
  line(out, indent, "bundleId : ", getBundleId());
  enumLine(out, indent, "absentMode : ", getAbsentMode());
  line(out, indent, "order : ", getOrder());
  line(out, indent, "updateTtl : ", getUpdateTtl());
  child(out, indent, getUpdateSchedule());
  children(out, indent, getContents());
  children(out, indent, getContentSets());
}

std::string Application::getType() const { return "Application"; }
void Application::print(std::ostream& out, std::string indent) const {
  indent += " ";
  out << indent << "[Application]\n";
  line(out, indent, "id : ", getId());
  line(out, indent, "name : ", getName());
  line(out, indent, "syncAnchor : ", getSyncAnchor());
  enumLine(out, indent, "absentMode : ", getAbsentMode());
  line(out, indent, "updateTtl : ", getUpdateTtl());
  child(out, indent, getMetaData());
  children(out, indent, getContents());
  children(out, indent, getContentSets());
}

bool Detail::isValid() const { return getCode() != nullptr; }
std::string Detail::getType() const { return "Detail"; }
void Detail::print(std::ostream& out, std::string indent) const {
  indent += " ";
  if (!isValid()) {
    QV_LOG(3, "Invalid detail primitive. Can not convert to string.");
    return;
  }
  out << indent << "[Detail]\n";
  out << indent << "code : " << getCode()->code() << "\n";
  line(out, indent, "id : ", getId());
  line(out, indent, "description : ", getDescription());
  child(out, indent, getPropertySet());
}

std::string Details::getType() const { return "Details"; }
void Details::print(std::ostream& out, std::string indent) const {
  indent += " ";
  out << indent << "[Details]\n";
  children(out, indent, getDetails());
}

bool Notify::isValid() const { return getAction() != nullptr; }
std::string Notify::getType() const { return "Notify"; }
void Notify::print(std::ostream& out, std::string indent) const {
  indent += " ";
  if (!isValid()) {
    QV_LOG(3, "Invalid Notify primitive. Can not convert to string.");
    return;
  }
  out << indent << "[Notify]\n";
  line(out, indent, "clientToken : ", getClientToken());
  line(out, indent, "href : ", getHref());
  line(out, indent, "connectionProfile : ", getConnectionProfile());
  enumLine(out, indent, "action : ", getAction());
  child(out, indent, getDetails());
  children(out, indent, getContents());
  children(out, indent, getContentSets());
}

bool Result::isValid() const { return getCode() != nullptr; }
std::string Result::getType() const { return "Result"; }
void Result::print(std::ostream& out, std::string indent) const {
  indent += " ";
  if (!isValid()) {
    QV_LOG(3, "Invalid Result primitive. Can not convert to string.");
    return;
  }
  out << indent << "[Result]\n";
  out << indent << "code : " << getCode()->code() << "\n";
  line(out, indent, "description : ", getDescription());
  child(out, indent, getDetails());
}

// --- Requests -------------------------------------------------------------

std::string Request::getType() const { return "Request"; }
void Request::printRequestPart(std::ostream& out, const std::string& indent) const {
  line(out, indent, "transactionId : ", getTransactionId());
  line(out, indent, "sessionId : ", getSessionId());
  line(out, indent, "subscriberId : ", getSubscriberId());
  line(out, indent, "deviceType : ", getDeviceType());
}
void Request::print(std::ostream& out, std::string indent) const {
  indent += " ";
  printRequestPart(out, indent);
}

std::string GetRequest::getType() const { return "GetRequest"; }
void GetRequest::print(std::ostream& out, std::string indent) const {
  indent += " ";
  out << indent << "[GetRequest]\n";
  printRequestPart(out, indent);
}

bool ContentUpdateRequest::isValid() const { return getTrigger() != nullptr && getExpected() != nullptr; }
std::string ContentUpdateRequest::getType() const { return "ContentUpdateRequest"; }
void ContentUpdateRequest::print(std::ostream& out, std::string indent) const {
  indent += " ";
  if (!isValid()) {
    QV_LOG(3, "Invalid ContentUpdateRequest primitive. Can not convert to string.");
    return;
  }
  out << indent << "[ContentUpdateRequest]\n";
  printRequestPart(out, indent);
  enumLine(out, indent, "trigger : ", getTrigger());
  enumLine(out, indent, "expected : ", getExpected());
  child(out, indent, getApplication());
}

std::string DataRequest::getType() const { return "DataRequest"; }

std::string DataRequestByIds::getType() const { return "DataRequestByIds"; }
void DataRequestByIds::print(std::ostream& out, std::string indent) const {
  indent += " ";
  out << indent << "[DataRequestByIds]\n";
  printRequestPart(out, indent);
  out << indent << "ids : ";
  const char* separator = "";
  for (const auto& id : mIds) {
    out << separator << id;
    separator = ",";
  }
  out << "\n";
}

std::string DataRequestByUrl::getType() const { return "DataRequestByUrl"; }
void DataRequestByUrl::print(std::ostream& out, std::string indent) const {
  indent += " ";
  out << indent << "[DataRequestByUrl]\n";
  printRequestPart(out, indent);
  out << indent << "id : " << mId << "\n";
  out << indent << "url : " << mUrl << "\n";
}

bool ServiceRegistrationRequest::isValid() const {
  auto state = [](bool set) { return set ? "not NULL" : "NULL"; };
  QV_LOG(8, "[18344]Msisdn is %s, Application id is %s, Encrypt is %s, Client id is %s",
         state(getClientMsisdn() != nullptr), state(getApplicationId() != nullptr),
         state(getIsContentEncrypted() != nullptr), state(getClientId() != nullptr));
  return getClientMsisdn() != nullptr && getApplicationId() != nullptr && getIsContentEncrypted() != nullptr &&
         getClientId() != nullptr;
}
std::string ServiceRegistrationRequest::getType() const { return "ServiceRegistrationRequest"; }
void ServiceRegistrationRequest::print(std::ostream& out, std::string indent) const {
  indent += " ";
  if (!isValid()) {
    QV_LOG(3, "Invalid ServiceRegistrationRequest primitive. Can not convert to string.");
    return;
  }
  out << indent << "[ServiceRegistrationRequest]\n";
  printRequestPart(out, indent);
  child(out, indent, getClientId());
  line(out, indent, "client-msisdn : ", getClientMsisdn());
  line(out, indent, "application-id : ", getApplicationId());
  if (getIsContentEncrypted() != nullptr) {
    out << indent << "is-content-encrypted : " << (*getIsContentEncrypted() ? "1" : "0") << "\n";
  }
  line(out, indent, "client-token : ", getClientToken());
  out << indent << "supported-authentication-methods : \n";
  out << indent << "\t";
  for (const auto& method : mMethods) out << method << ", ";
  out << "\n";
}

// --- Responses ------------------------------------------------------------

std::string Response::getType() const { return "Response"; }
void Response::printResponsePart(std::ostream& out, const std::string& indent) const {
  line(out, indent, "transaction-id : ", getTransactionId());
  line(out, indent, "session-id : ", getSessionId());
}
void Response::print(std::ostream& out, std::string indent) const {
  indent += " ";
  printResponsePart(out, indent);
}

bool Status::isValid() const { return getResult() != nullptr; }
std::string Status::getType() const { return "Status"; }
void Status::print(std::ostream& out, std::string indent) const {
  indent += " ";
  if (!isValid()) {
    QV_LOG(3, "Invalid Status primitive. Can not convert to string.");
    return;
  }
  out << indent << "[Status]\n";
  printResponsePart(out, indent);
  child(out, indent, getResult());
}

std::string ContentUpdateResponse::getType() const { return "ContentUpdateResponse"; }
void ContentUpdateResponse::print(std::ostream& out, std::string indent) const {
  indent += " ";
  out << indent << "[ContentUpdateResponse]\n";
  printResponsePart(out, indent);
  child(out, indent, getResult());
  child(out, indent, getApplication());
}

std::string GetResponse::getType() const { return "GetResponse"; }
void GetResponse::print(std::ostream& out, std::string indent) const {
  indent += " ";
  out << indent << "[GetResponse]\n";
  printResponsePart(out, indent);
  child(out, indent, getResult());
  child(out, indent, getSystemMessages());
}

bool ServiceRegistrationResponse::isValid() const { return getResult() != nullptr; }
std::string ServiceRegistrationResponse::getType() const { return "ServiceRegistrationResponse"; }
void ServiceRegistrationResponse::print(std::ostream& out, std::string indent) const {
  indent += " ";
  if (!isValid()) {
    QV_LOG(3, "Invalid ServiceRegistrationResponse primitive. Can not convert to string.");
    return;
  }
  out << indent << "[ServiceRegistrationResponse]\n";
  printResponsePart(out, indent);
  child(out, indent, getResult());
  line(out, indent, "encrypted-user-key : ", getEncryptedUserKey());
  line(out, indent, "session-ttl-seconds : ", getSessionTtl());
}

std::string DataResponse::getType() const { return "DataResponse"; }
void DataResponse::print(std::ostream& out, std::string indent) const {
  indent += " ";
  printResponsePart(out, indent);
}

}  // namespace txn
