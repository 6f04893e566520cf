#include "syntax/XmlWriter.h"

#include <map>

#include "platform/Log.h"

namespace dcd {
namespace xml {

using namespace txn;

std::string escape(const std::string& text) {
  if (text.find_first_of("&<>\"") == std::string::npos) return text;
  std::string out;
  out.reserve(text.size() + 16);
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c; break;
    }
  }
  return out;
}

namespace {

// " name=\"value\" " when the value is present.
void pair(std::ostream& out, const char* name, const std::string* value) {
  if (value != nullptr) out << " " << name << "=\"" << escape(*value) << "\" ";
}

void pair(std::ostream& out, const char* name, const int32_t* value) {
  if (value != nullptr) out << " " << name << "=\"" << *value << "\" ";
}

const std::string& valueOrEmpty(const std::string* value) {
  static const std::string empty;
  return value != nullptr ? *value : empty;
}

bool writeWith(const char* type, const Primitive& p, std::ostream& out) {
  Writer writer = writerForType(type);
  return writer != nullptr && writer(p, out);
}

void writeHead(const Request& request, std::ostream& out) {
  out << "<dcd ";
  pair(out, "sid", request.getSessionId());
  pair(out, "tid", request.getTransactionId());
  pair(out, "device-type", request.getDeviceType());
  pair(out, "subscriber-id", request.getSubscriberId());
  out << " version=\"" << kDcdVersion << "\" " << ">\n";
}

void writeAbstractContentPairs(const AbstractContent& content, std::ostream& out) {
  pair(out, "id", content.getId());
  pair(out, "name", content.getName());
  pair(out, "sync-anchor", content.getSyncAnchor());
  pair(out, "priority", content.getPriority());
  pair(out, "display-timer", content.getDisplayTimer());
  pair(out, "container", content.getContainer());
  pair(out, "href", content.getHref());
  pair(out, "connection-profile", content.getConnectionProfile());
}

bool writePropertySet(const PropertySet& set, const char* elementName, std::ostream& out);

// Lifespan, then meta-data.
bool writeAbstractContentChildren(const AbstractContent& content, std::ostream& out) {
  if (content.getLifespan() != nullptr && !writeWith("Lifespan", *content.getLifespan(), out)) {
    QV_LOG(3, "Unable to unmarshall a Lifespan primitive. Aborting");
    return false;
  }
  if (content.getMetaData() != nullptr && !writePropertySet(*content.getMetaData(), "meta-data", out)) {
    QV_LOG(3, "Unable to unmarshall a meta-data primitive. Aborting");
    return false;
  }
  return true;
}

template <class T>
bool writeList(const char* type, const std::vector<std::unique_ptr<T>>& values, std::ostream& out) {
  for (const auto& value : values) {
    if (!writeWith(type, *value, out)) {
      QV_LOG(3, "Unable to unmarshall a content");
      return false;
    }
  }
  return true;
}

bool writePropertySet(const PropertySet& set, const char* elementName, std::ostream& out) {
  if (!set.isValid()) {
    QV_LOG(3, "Invalid PropertySet primitive");
    return false;
  }
  out << "<" << elementName << ">\n";
  for (const auto& nested : set.getPropertySets()) {
    if (!writePropertySet(*nested, "property-set", out)) {
      QV_LOG(3, "Unable to unmarshall property-set");
      return false;
    }
  }
  for (const auto& property : set.getProperties()) {
    out << "<property key=\"" << escape(property.first) << "\">" << escape(property.second) << "</property>\n";
  }
  out << "</" << elementName << ">\n";
  return true;
}

bool refuseResponse() {
  QV_LOG(3,
         "Response subclasses do not support unmarshalling. One can not convert a txn::Response instance to a XML "
         "snippet.");
  return false;
}

bool refuseResponseWrite(const Primitive&, std::ostream&) { return refuseResponse(); }

bool writePropertySetElement(const Primitive& primitive, std::ostream& out) {
  return writePropertySet(static_cast<const PropertySet&>(primitive), "property-set", out);
}

bool writeLifespan(const Primitive& primitive, std::ostream& out) {
  const auto& p = static_cast<const Lifespan&>(primitive);
  if (!p.isValid()) {
    QV_LOG(3, "Invalid lifespan primitive.");
    return false;
  }
  out << "<lifespan>\n";
  if (p.getActivation() != nullptr) out << "<activation>" << escape(*p.getActivation()) << "</activation>\n";
  if (p.getExpiration() != nullptr) out << "<expiration>" << escape(*p.getExpiration()) << "</expiration>\n";
  if (p.getLifetime() != nullptr) out << "<lifetime>" << *p.getLifetime() << "</lifetime>\n";
  out << "</lifespan>\n";
  return true;
}

bool writeUpdateSchedule(const Primitive& primitive, std::ostream& out) {
  const auto& p = static_cast<const UpdateSchedule&>(primitive);
  if (!p.isValid()) {
    QV_LOG(3, "Invalid update-schedule primitive.");
    return false;
  }
  out << "<update-schedule>\n";
  for (const auto& time : p.getTimes()) out << "<time>" << escape(time) << "</time>\n";
  out << "</update-schedule>\n";
  return true;
}

bool writeDetail(const Primitive& primitive, std::ostream& out) {
  const auto& p = static_cast<const Detail&>(primitive);
  if (!p.isValid()) {
    QV_LOG(3, "Invalid Detail primitive");
    return false;
  }
  out << "<detail code=\"" << p.getCode()->code() << "\" ";
  if (p.getDescription() != nullptr) out << "description=\"" << escape(*p.getDescription()) << "\" ";
  if (p.getId() != nullptr) out << "id=\"" << escape(*p.getId()) << "\" ";
  out << ">\n";
  if (p.getPropertySet() != nullptr && !writePropertySet(*p.getPropertySet(), "property-set", out)) return false;
  out << "</detail>\n";
  return true;
}

bool writeDetails(const Primitive& primitive, std::ostream& out) {
  const auto& p = static_cast<const Details&>(primitive);
  if (!p.isValid()) {
    QV_LOG(3, "Invalid Details primitive");
    return false;
  }
  out << "<details>\n";
  for (const auto& detail : p.getDetails()) {
    if (!writeDetail(*detail, out)) {
      QV_LOG(3, "Unable to unmarshall a Detail element. Aborting.");
      return false;
    }
  }
  out << "</details>\n";
  return true;
}

bool writeResult(const Primitive& primitive, std::ostream& out) {
  const auto& p = static_cast<const Result&>(primitive);
  if (!p.isValid()) {
    QV_LOG(3, "Invalid Result primitive");
    return false;
  }
  out << "<result code=\"" << p.getCode()->code() << "\" ";
  if (p.getDescription() != nullptr) out << "description=\"" << escape(*p.getDescription()) << "\" ";
  out << ">\n";
  if (p.getDetails() != nullptr && !writeDetails(*p.getDetails(), out)) return false;
  out << "</result>\n";
  return true;
}

bool writeContent(const Primitive& primitive, std::ostream& out) {
  const auto& p = static_cast<const Content&>(primitive);
  if (!p.isValid()) {
    QV_LOG(3, "Invalid content primitive.");
    return false;
  }
  out << "<content ";
  writeAbstractContentPairs(p, out);
  pair(out, "content-id", p.getContentId());
  pair(out, "content-type", p.getContentType());
  out << ">\n";
  if (p.getContentValue() != nullptr) out << escape(*p.getContentValue());
  if (!writeAbstractContentChildren(p, out)) {
    QV_LOG(3, "Unable to unmarshall children of content");
    return false;
  }
  out << "</content>\n";
  return true;
}

bool writeContentSet(const Primitive& primitive, std::ostream& out) {
  const auto& p = static_cast<const ContentSet&>(primitive);
  if (!p.isValid()) return false;
  out << "<content-set ";
  writeAbstractContentPairs(p, out);
  pair(out, "bundle-id", p.getBundleId());
  pair(out, "order", p.getOrder());
  if (p.getAbsentMode() != nullptr) out << " absent-mode=\"" << escape(p.getAbsentMode()->name()) << "\" ";
  pair(out, "update-ttl", p.getUpdateTtl());
  out << ">\n";
  if (!writeList("ContentSet", p.getContentSets(), out) || !writeList("Content", p.getContents(), out)) return false;
  if (!writeAbstractContentChildren(p, out)) return false;
  out << "</content-set>\n";
  return true;
}

bool writeApplication(const Primitive& primitive, std::ostream& out) {
  const auto& p = static_cast<const Application&>(primitive);
  if (!p.isValid()) return false;
  // The engine always sets id, name and sync anchor; a missing one is
  // written empty.
  out << "<application id=\"" << escape(valueOrEmpty(p.getId())) << "\" ";
  out << "name=\"" << escape(valueOrEmpty(p.getName())) << "\" ";
  out << "sync-anchor=\"" << escape(valueOrEmpty(p.getSyncAnchor())) << "\" ";
  if (p.getAbsentMode() != nullptr) out << "absent-mode=\"" << escape(p.getAbsentMode()->name()) << "\" ";
  pair(out, "update-ttl", p.getUpdateTtl());
  out << ">\n";
  if (p.getMetaData() != nullptr && !writePropertySet(*p.getMetaData(), "meta-data", out)) {
    QV_LOG(3, "Unable to unmarshall a PropertySet primitive. Aborting");
    return false;
  }
  if (!writeList("ContentSet", p.getContentSets(), out) || !writeList("Content", p.getContents(), out)) return false;
  out << "</application>\n";
  return true;
}

bool writeNotify(const Primitive& primitive, std::ostream& out) {
  const auto& p = static_cast<const Notify&>(primitive);
  if (!p.isValid()) {
    QV_LOG(3, "Invalid notify primitive");
    return false;
  }
  out << "<notify ";
  pair(out, "client-token", p.getClientToken());
  pair(out, "href", p.getHref());
  pair(out, "connection-profile", p.getConnectionProfile());
  out << " action=\"" << escape(p.getAction()->name()) << "\" " << ">\n";
  if (!writeList("ContentSet", p.getContentSets(), out) || !writeList("Content", p.getContents(), out)) return false;
  if (p.getDetails() != nullptr && !writeDetails(*p.getDetails(), out)) {
    QV_LOG(3, "Unable to unmarshall a Details primitive. Aborting");
    return false;
  }
  out << "</notify>\n";
  return true;
}

bool writeClientId(const Primitive& primitive, std::ostream& out) {
  const auto& p = static_cast<const ClientId&>(primitive);
  if (!p.isValid()) {
    QV_LOG(3, "Invalid clientId primitive.");
    return false;
  }
  out << "<client-id ";
  out << "subscriber-id=\"" << escape(*p.getSubscriberId()) << "\" ";
  out << "device-id=\"" << escape(*p.getDeviceId()) << "\" ";
  out << "/>\n";
  return true;
}

bool writeGetRequest(const Primitive& primitive, std::ostream& out) {
  writeHead(static_cast<const Request&>(primitive), out);
  out << "<get-request />\n</dcd>\n";
  return true;
}

bool writeContentUpdateRequest(const Primitive& primitive, std::ostream& out) {
  const auto& p = static_cast<const ContentUpdateRequest&>(primitive);
  if (!p.isValid()) {
    QV_LOG(3, "Invalid content-update-request primitive.");
    return false;
  }
  writeHead(p, out);
  out << "<content-update-request ";
  out << " request-trigger=\"" << escape(p.getTrigger()->name()) << "\" ";
  out << " expected-content=\"" << escape(p.getExpected()->name()) << "\" ";
  out << ">\n";
  if (p.getApplication() != nullptr && !writeApplication(*p.getApplication(), out)) {
    QV_LOG(3, "Unable to unmarshall content-update-request's application.");
    return false;
  }
  out << "</content-update-request>\n</dcd>\n";
  return true;
}

bool writeServiceRegistrationRequest(const Primitive& primitive, std::ostream& out) {
  const auto& p = static_cast<const ServiceRegistrationRequest&>(primitive);
  if (!p.isValid()) {
    QV_LOG(3, "[18344]Invalid service-registration-request primitive");
    return false;
  }
  writeHead(p, out);
  out << "<service-registration-request ";
  out << "client-msisdn=\"" << escape(*p.getClientMsisdn());
  out << "\" application-id=\"" << escape(*p.getApplicationId());
  out << "\" encryption=\"" << (*p.getIsContentEncrypted() ? "true\" " : "false\" ");
  out << ">\n";
  if (p.getClientId() != nullptr && !writeClientId(*p.getClientId(), out)) return false;
  out << "</service-registration-request>\n</dcd>\n";
  return true;
}

}  // namespace

Writer writerForType(const std::string& type) {
  static const std::map<std::string, Writer> writers = {
      {"Result", writeResult},
      {"Details", writeDetails},
      {"Detail", writeDetail},
      {"PropertySet", writePropertySetElement},
      {"UpdateSchedule", writeUpdateSchedule},
      {"Lifespan", writeLifespan},
      {"Content", writeContent},
      {"ContentSet", writeContentSet},
      {"Application", writeApplication},
      {"Status", refuseResponseWrite},
      {"Notify", writeNotify},
      {"ContentUpdateResponse", refuseResponseWrite},
      {"GetResponse", refuseResponseWrite},
      {"ContentUpdateRequest", writeContentUpdateRequest},
      {"GetRequest", writeGetRequest},
      {"ServiceRegistrationRequest", writeServiceRegistrationRequest},
      {"ServiceRegistrationResponse", refuseResponseWrite},
  };
  auto it = writers.find(type);
  return it == writers.end() ? nullptr : it->second;
}

}  // namespace xml
}  // namespace dcd
