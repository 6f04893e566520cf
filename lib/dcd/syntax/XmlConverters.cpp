#include "syntax/XmlConverters.h"

#include <cstring>
#include <string>
#include <vector>

#include "platform/Log.h"
#include "platform/Types.h"
#include "syntax/XmlSyntax.h"

namespace dcd {
namespace xml {

using namespace txn;

namespace {

// One child element a primitive knows. Either a nested primitive, read with
// the rule of element readAs and handed to the parent by attach, or a value
// that read stores in the parent itself.
struct ChildRule {
  const char* element;
  const char* readAs;
  void (*attach)(Primitive& parent, std::unique_ptr<Primitive> child);
  bool (*read)(Primitive& parent, Reader& reader);
};

// How one element is read.
struct ElementRule {
  const char* element;
  // Whether a document may hold this element as its primitive.
  bool topLevel;
  std::unique_ptr<Primitive> (*create)();
  // Reads the element's own attributes; false (logged) refuses it.
  bool (*attributes)(Primitive& p, Reader& reader);
  std::vector<ChildRule> children;
  // Text directly inside the element; null ignores it.
  bool (*text)(Primitive& p, Reader& reader);
};

template <class T>
std::unique_ptr<Primitive> create() {
  return std::unique_ptr<Primitive>(new T());
}

template <class>
struct SetterTraits;
template <class Parent, class Child>
struct SetterTraits<void (Parent::*)(std::unique_ptr<Child>)> {
  using ParentType = Parent;
  using ChildType = Child;
};

// Hands a nested primitive to its parent through a setter or adder
// (&Parent::setX / &Parent::addX taking a unique_ptr).
template <auto Set>
void attach(Primitive& parent, std::unique_ptr<Primitive> child) {
  using Traits = SetterTraits<decltype(Set)>;
  using Child = typename Traits::ChildType;
  (static_cast<typename Traits::ParentType&>(parent).*Set)(std::unique_ptr<Child>(static_cast<Child*>(child.release())));
}

ChildRule nested(const char* element, const char* readAs, void (*attachTo)(Primitive&, std::unique_ptr<Primitive>)) {
  return ChildRule{element, readAs, attachTo, nullptr};
}

ChildRule value(const char* element, bool (*read)(Primitive&, Reader&)) {
  return ChildRule{element, nullptr, nullptr, read};
}

// Kept verbatim by every primitive that carries extensions.
const ChildRule kExtBlock = value("ext-block", readExtBlock);

// --- attributes -----------------------------------------------------------

bool noAttributes(Primitive&, Reader&) { return true; }

bool requestAttributes(Primitive& primitive, Reader& reader) {
  auto& request = static_cast<Request&>(primitive);
  stringAttribute(reader, "sid", [&](const std::string& v) { request.setSessionId(v); });
  stringAttribute(reader, "tid", [&](const std::string& v) { request.setTransactionId(v); });
  return true;
}

bool responseAttributes(Primitive& primitive, Reader& reader) {
  auto& response = static_cast<Response&>(primitive);
  stringAttribute(reader, "sid", [&](const std::string& v) { response.setSessionId(v); });
  stringAttribute(reader, "tid", [&](const std::string& v) { response.setTransactionId(v); });
  return true;
}

void abstractContentAttributes(AbstractContent& content, Reader& reader) {
  stringAttribute(reader, "id", [&](const std::string& v) { content.setId(v); });
  stringAttribute(reader, "name", [&](const std::string& v) { content.setName(v); });
  stringAttribute(reader, "sync-anchor", [&](const std::string& v) { content.setSyncAnchor(v); });
  intAttribute(reader, "priority", [&](int32_t v) { content.setPriority(v); });
  intAttribute(reader, "display-timer", [&](int32_t v) { content.setDisplayTimer(v); });
  stringAttribute(reader, "container", [&](const std::string& v) { content.setContainer(v); });
  stringAttribute(reader, "href", [&](const std::string& v) { content.setHref(v); });
  stringAttribute(reader, "connection-profile", [&](const std::string& v) { content.setConnectionProfile(v); });
}

bool contentAttributes(Primitive& primitive, Reader& reader) {
  auto& p = static_cast<Content&>(primitive);
  abstractContentAttributes(p, reader);
  stringAttribute(reader, "content-id", [&](const std::string& v) { p.setContentId(v); });
  stringAttribute(reader, "content-type", [&](const std::string& v) { p.setContentType(v); });
  return true;
}

bool contentSetAttributes(Primitive& primitive, Reader& reader) {
  auto& p = static_cast<ContentSet&>(primitive);
  abstractContentAttributes(p, reader);
  stringAttribute(reader, "bundle-id", [&](const std::string& v) { p.setBundleId(v); });
  stringAttribute(reader, "absent-mode", [&](const std::string& v) { p.setAbsentMode(AbsentMode::fromString(v)); });
  intAttribute(reader, "order", [&](int32_t v) { p.setOrder(v); });
  intAttribute(reader, "update-ttl", [&](int32_t v) { p.setUpdateTtl(v); });
  return true;
}

bool applicationAttributes(Primitive& primitive, Reader& reader) {
  auto& p = static_cast<Application&>(primitive);
  std::unique_ptr<std::string> id = requiredAttribute(reader, "id");
  if (!id) return false;
  std::unique_ptr<std::string> name = requiredAttribute(reader, "name");
  if (!name) return false;
  std::unique_ptr<std::string> anchor = requiredAttribute(reader, "sync-anchor");
  if (!anchor) return false;
  p.setId(*id);
  p.setName(*name);
  p.setSyncAnchor(*anchor);
  intAttribute(reader, "update-ttl", [&](int32_t v) { p.setUpdateTtl(v); });
  stringAttribute(reader, "absent-mode", [&](const std::string& v) { p.setAbsentMode(AbsentMode::fromString(v)); });
  return true;
}

bool detailAttributes(Primitive& primitive, Reader& reader) {
  auto& p = static_cast<Detail&>(primitive);
  const StatusCode* code = codeAttribute(reader);
  if (code == nullptr) return false;
  p.setCode(code);
  stringAttribute(reader, "description", [&](const std::string& v) { p.setDescription(v); });
  stringAttribute(reader, "id", [&](const std::string& v) { p.setId(v); });
  return true;
}

bool resultAttributes(Primitive& primitive, Reader& reader) {
  auto& p = static_cast<Result&>(primitive);
  const StatusCode* code = codeAttribute(reader);
  if (code == nullptr) return false;
  p.setCode(code);
  stringAttribute(reader, "description", [&](const std::string& v) { p.setDescription(v); });
  return true;
}

bool notifyAttributes(Primitive& primitive, Reader& reader) {
  auto& p = static_cast<Notify&>(primitive);
  stringAttribute(reader, "client-token", [&](const std::string& v) { p.setClientToken(v); });
  stringAttribute(reader, "href", [&](const std::string& v) { p.setHref(v); });
  stringAttribute(reader, "connection-profile", [&](const std::string& v) { p.setConnectionProfile(v); });
  std::unique_ptr<std::string> action = requiredAttribute(reader, "action");
  if (!action) return false;
  const NotifyAction* value = NotifyAction::fromString(*action);
  if (value == nullptr) {
    QV_LOG(3, "Unable to convert this value %s to a valid action.", action->c_str());
    return false;
  }
  p.setAction(value);
  return true;
}

bool clientIdAttributes(Primitive& primitive, Reader& reader) {
  auto& p = static_cast<ClientId&>(primitive);
  stringAttribute(reader, "subscriber-id", [&](const std::string& v) { p.setSubscriberId(v); });
  stringAttribute(reader, "device-id", [&](const std::string& v) { p.setDeviceId(v); });
  return true;
}

bool contentUpdateRequestAttributes(Primitive& primitive, Reader& reader) {
  auto& p = static_cast<ContentUpdateRequest&>(primitive);
  requestAttributes(p, reader);
  std::unique_ptr<std::string> trigger = requiredAttribute(reader, "request-trigger");
  if (!trigger) return false;
  p.setTrigger(RequestTrigger::fromString(*trigger));
  if (p.getTrigger() == nullptr) return false;
  std::unique_ptr<std::string> expected = requiredAttribute(reader, "expected-content");
  if (!expected) return false;
  p.setExpected(ExpectedContent::fromString(*expected));
  return p.getExpected() != nullptr;
}

bool serviceRegistrationRequestAttributes(Primitive& primitive, Reader& reader) {
  auto& p = static_cast<ServiceRegistrationRequest&>(primitive);
  requestAttributes(p, reader);
  stringAttribute(reader, "client-msisdn", [&](const std::string& v) { p.setClientMsisdn(v); });
  stringAttribute(reader, "application-id", [&](const std::string& v) { p.setApplicationId(v); });
  stringAttribute(reader, "encryption", [&](const std::string& v) { p.setIsContentEncrypted(v == "true"); });
  stringAttribute(reader, "client-token", [&](const std::string& v) { p.setClientToken(v); });
  stringAttribute(reader, "supported-authentication-method", [&](const std::string& v) {
    for (const std::string& token : MString::splitAll(v, ' ')) {
      if (!token.empty()) p.addSupportedAuthenticationMethod(token);
    }
  });
  return true;
}

bool serviceRegistrationResponseAttributes(Primitive& primitive, Reader& reader) {
  auto& p = static_cast<ServiceRegistrationResponse&>(primitive);
  responseAttributes(p, reader);
  stringAttribute(reader, "encrypted-user-key", [&](const std::string& v) { p.setEncryptedUserKey(v); });
  intAttribute(reader, "session-ttl", [&](int32_t v) { p.setSessionTtl(v); });
  return true;
}

// --- values ---------------------------------------------------------------

// The text of a lifespan child; an element without text refuses the
// lifespan.
bool lifespanText(Reader& reader, const char* which, std::string& value) {
  if (!elementText(reader, value)) return false;
  if (value.empty()) {
    QV_LOG(3, "No value for this %s element.Skipping.", which);
    return false;
  }
  return true;
}

bool readLifetime(Primitive& primitive, Reader& reader) {
  std::string value;
  if (!lifespanText(reader, "lifetime", value)) return false;
  int32_t lifetime = 0;
  if (parseInt(value, lifetime)) static_cast<Lifespan&>(primitive).setLifetime(lifetime);
  return true;
}

bool readActivation(Primitive& primitive, Reader& reader) {
  std::string value;
  if (!lifespanText(reader, "activation", value)) return false;
  static_cast<Lifespan&>(primitive).setActivation(value);
  return true;
}

bool readExpiration(Primitive& primitive, Reader& reader) {
  std::string value;
  if (!lifespanText(reader, "expiration", value)) return false;
  static_cast<Lifespan&>(primitive).setExpiration(value);
  return true;
}

bool readTime(Primitive& primitive, Reader& reader) {
  std::string value;
  if (!elementText(reader, value)) return false;
  if (value.empty()) {
    QV_LOG(3, "No value for this time element.Skipping.");
    return false;
  }
  static_cast<UpdateSchedule&>(primitive).addTime(value);
  return true;
}

// A property without a value is left out; one without a key refuses the set.
bool readProperty(Primitive& primitive, Reader& reader) {
  std::unique_ptr<std::string> key = attribute(reader, "key");
  if (!key) return false;
  std::string value;
  if (!elementText(reader, value)) return false;
  if (value.empty()) {
    QV_LOG(3, "The key, %s, has no value. Not adding this property.", key->c_str());
    return true;
  }
  static_cast<PropertySet&>(primitive).setProperty(*key, value);
  return true;
}

bool contentText(Primitive& primitive, Reader& reader) {
  const xmlChar* text = xmlTextReaderConstValue(reader.r);
  static_cast<Content&>(primitive).setContentValue(text != nullptr ? reinterpret_cast<const char*>(text) : "");
  return true;
}

// --- the table ------------------------------------------------------------

const std::vector<ElementRule>& rules() {
  static const std::vector<ElementRule> table = {
      {"lifespan", true, create<Lifespan>, noAttributes,
       {value("lifetime", readLifetime), value("activation", readActivation), value("expiration", readExpiration)},
       nullptr},
      {"update-schedule", true, create<UpdateSchedule>, noAttributes, {kExtBlock, value("time", readTime)}, nullptr},
      {"property-set", true, create<PropertySet>, noAttributes,
       {kExtBlock, nested("property-set", "property-set", attach<&PropertySet::addPropertySet>),
        value("property", readProperty)},
       nullptr},
      {"detail", true, create<Detail>, detailAttributes,
       {kExtBlock, nested("property-set", "property-set", attach<&Detail::setPropertySet>)}, nullptr},
      {"details", true, create<Details>, noAttributes,
       {kExtBlock, nested("detail", "detail", attach<&Details::addDetail>)}, nullptr},
      {"result", true, create<Result>, resultAttributes,
       {kExtBlock, nested("details", "details", attach<&Result::setDetails>)}, nullptr},
      {"content", true, create<Content>, contentAttributes,
       {kExtBlock, nested("meta-data", "property-set", attach<&Content::setMetaData>),
        nested("lifespan", "lifespan", attach<&Content::setLifespan>)},
       contentText},
      {"content-set", true, create<ContentSet>, contentSetAttributes,
       {kExtBlock, nested("meta-data", "property-set", attach<&ContentSet::setMetaData>),
        nested("lifespan", "lifespan", attach<&ContentSet::setLifespan>),
        nested("content-set", "content-set", attach<&ContentSet::addContentSet>),
        nested("content", "content", attach<&ContentSet::addContent>),
        nested("update-schedule", "update-schedule", attach<&ContentSet::setUpdateSchedule>)},
       nullptr},
      {"application", true, create<Application>, applicationAttributes,
       {kExtBlock, nested("meta-data", "property-set", attach<&Application::setMetaData>),
        nested("content-set", "content-set", attach<&Application::addContentSet>),
        nested("content", "content", attach<&Application::addContent>)},
       nullptr},
      {"notify", true, create<Notify>, notifyAttributes,
       {kExtBlock, nested("content-set", "content-set", attach<&Notify::addContentSet>),
        nested("content", "content", attach<&Notify::addContent>)},
       nullptr},
      {"client-id", false, create<ClientId>, clientIdAttributes, {kExtBlock}, nullptr},
      {"get-request", true, create<GetRequest>, requestAttributes, {kExtBlock}, nullptr},
      {"content-update-request", true, create<ContentUpdateRequest>, contentUpdateRequestAttributes,
       {nested("application", "application", attach<&ContentUpdateRequest::setApplication>)}, nullptr},
      {"service-registration-request", true, create<ServiceRegistrationRequest>,
       serviceRegistrationRequestAttributes,
       {nested("client-id", "client-id", attach<&ServiceRegistrationRequest::setClientId>)}, nullptr},
      // Every response keeps ext-blocks and its result.
      {"status", true, create<Status>, responseAttributes,
       {kExtBlock, nested("result", "result", attach<&Response::setResult>)}, nullptr},
      {"content-update-response", true, create<ContentUpdateResponse>, responseAttributes,
       {kExtBlock, nested("result", "result", attach<&Response::setResult>),
        nested("application", "application", attach<&ContentUpdateResponse::setApplication>)},
       nullptr},
      {"get-response", true, create<GetResponse>, responseAttributes,
       {kExtBlock, nested("result", "result", attach<&Response::setResult>),
        nested("system-messages", "details", attach<&GetResponse::setSystemMessages>)},
       nullptr},
      {"service-registration-response", true, create<ServiceRegistrationResponse>,
       serviceRegistrationResponseAttributes,
       {kExtBlock, nested("result", "result", attach<&Response::setResult>)}, nullptr},
  };
  return table;
}

const ElementRule* ruleFor(const char* element) {
  for (const ElementRule& rule : rules()) {
    if (std::strcmp(rule.element, element) == 0) return &rule;
  }
  return nullptr;
}

bool readElement(Primitive& p, Reader& reader, const ElementRule& rule);

bool readChild(Primitive& parent, Reader& reader, const ChildRule& child) {
  if (child.read != nullptr) return child.read(parent, reader);
  const ElementRule* rule = ruleFor(child.readAs);
  if (rule == nullptr) return false;
  std::unique_ptr<Primitive> nestedPrimitive = rule->create();
  if (!readElement(*nestedPrimitive, reader, *rule)) return false;
  child.attach(parent, std::move(nestedPrimitive));
  return true;
}

// Walks the element the reader stands on: its attributes, then its direct
// children and text, until its end.
bool readElement(Primitive& p, Reader& reader, const ElementRule& rule) {
  int depth = xmlTextReaderDepth(reader.r);
  std::string name = nodeName(reader);
  if (depth < 0 || depth > XmlSyntax::kMaxDepth) {
    QV_LOG(3, "The element %s is nested deeper than %d levels. Refusing it.", name.c_str(), XmlSyntax::kMaxDepth);
    return false;
  }
  if (!rule.attributes(p, reader)) return false;
  // A self-closing element has no end node: it ends here.
  if (xmlTextReaderIsEmptyElement(reader.r) == 1) return true;
  for (;;) {
    if (!advance(reader, name.c_str())) return false;
    int d = xmlTextReaderDepth(reader.r);
    if (d == depth) return true;
    if (d != depth + 1) continue;
    int type = xmlTextReaderNodeType(reader.r);
    if (type == XML_READER_TYPE_TEXT) {
      if (rule.text != nullptr && !rule.text(p, reader)) return false;
    } else if (type == XML_READER_TYPE_ELEMENT) {
      const char* childName = nodeName(reader);
      for (const ChildRule& child : rule.children) {
        if (std::strcmp(child.element, childName) != 0) continue;
        if (!readChild(p, reader, child)) return false;
        break;
      }
    }
  }
}

}  // namespace

std::unique_ptr<Primitive> readPrimitive(Reader& reader) {
  const ElementRule* rule = ruleFor(nodeName(reader));
  if (rule == nullptr || !rule->topLevel) return nullptr;
  std::unique_ptr<Primitive> primitive = rule->create();
  if (!readElement(*primitive, reader, *rule)) return nullptr;
  return primitive;
}

}  // namespace xml
}  // namespace dcd
