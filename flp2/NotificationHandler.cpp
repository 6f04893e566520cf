#include "NotificationHandler.h"

#include <string>

#include "framework/MediaType.h"
#include "platform/Hivra.h"
#include "platform/Log.h"
#include "platform/NR_EngineUtils.h"
#include "platform/Settings.h"
#include "syntax/XmlSyntax.h"
#include "transport/DcdTransport.h"
#include "txn/Transaction.h"

namespace flp2 {

namespace {

// Pushed bodies and printouts are cut to this much in log lines.
constexpr std::size_t kLoggedBodyBytes = 1024;

// The content-update request a notification asks for.
std::unique_ptr<ProtocolRequest> buildContentUpdateRequest(const txn::Notify& notify) {
  if (notify.getContentSets().empty()) {
    QV_LOG(8,
           "Initialized a protocol request that was triggered by a server notification and will retrieve all "
           "channels.");
    return std::unique_ptr<ProtocolRequest>(new ProtocolRequest(ProtocolRequest::SERVER));
  }
  ProtocolRequest::Parameters channels;
  for (const std::unique_ptr<txn::ContentSet>& set : notify.getContentSets()) {
    if (set->getId() == nullptr) {
      QV_LOG(3,
             "Notify primitive is malformed. It did not specify a id for one of its content-set primitives. "
             "Skipping.");
      continue;
    }
    if (set->getSyncAnchor() == nullptr) {
      QV_LOG(3,
             "Notify primitive is malformed. It did not specify a sync-anchor for one of its content-set "
             "primitives. Skipping.");
      continue;
    }
    channels.emplace_back(*set->getId(), *set->getSyncAnchor());
  }
  QV_LOG(8,
         "Initialized a protocol request that was triggered by a server notification and will retrieve %d specific "
         "channels.",
         static_cast<int>(channels.size()));
  return std::unique_ptr<ProtocolRequest>(new ProtocolRequest(ProtocolRequest::SERVER, channels));
}

// The profile rule of the session variant's requests outside the session:
// the no-session profile when set, then the default one.
void chooseSessionProfiles(const ProtocolSettings& settings, DcdTransport& transport) {
  std::vector<std::string> profiles;
  const bool haveDefault = settings.mDefaultConnProf.has_value();
  if (haveDefault) {
    QV_LOG(8, "[18344]find the default profile, use it as backup");
    QV_LOG(3, "[18344]find the default profile, use it as backup");
  } else {
    QV_LOG(8, "[18344]Could not find the default profile, use empty");
    QV_LOG(3, "[18344]Could not find the default profile, use empty");
  }
  if (settings.mNoSessionProfile && !settings.mNoSessionProfile->empty()) {
    QV_LOG(8, "[18344]find the NonSessionProfile, try to use it");
    QV_LOG(3, "[18344]find the NonSessionProfile, try to use it");
    profiles.push_back(*settings.mNoSessionProfile);
  } else {
    QV_LOG(8, "[18344]Could not find the NonSessionProfile or it's empty, try to use default");
    QV_LOG(3, "[18344]Could not find the NonSessionProfile or it's empty, try to use default");
  }
  if (haveDefault) profiles.push_back(*settings.mDefaultConnProf);
  transport.mProfileNames = profiles;
}

bool handleGetResponse(const txn::Response* response, ProtocolSettings& settings) {
  if (response == nullptr) {
    QV_LOG(3, "Unable to retrieve any notification-related response from the server.");
    return false;
  }
  if (response->getType() == "Status") {
    QV_LOG(3,
           "In response to a get-request, received a status primitive from the server. Unable to further process "
           "this server notification.");
    const txn::Result* result = response->getResult();
    if (result != nullptr && result->getCode() != nullptr) {
      QV_LOG(3, "Received a status primitive from the server with code %d. Is this code an error code? %d",
             result->getCode()->code(), result->getCode()->isError() ? 1 : 0);
    }
    return false;
  }
  if (response->getType() != "GetResponse") {
    QV_LOG(3,
           "In response to a get-request, client did NOT receive a get-response as expected, but instead received "
           "the response %s",
           response->getType().c_str());
    return false;
  }
  QV_LOG(8, "Received a get-response from the server.");
  const txn::Details* messages = static_cast<const txn::GetResponse*>(response)->getSystemMessages();
  if (messages == nullptr || messages->getDetails().size() != 1) {
    QV_LOG(3,
           "Expected only a single system message with either a settings-update extension block or a "
           "phone-mode-change extension block.");
    return false;
  }
  const txn::Detail& detail = *messages->getDetails().front();
  if (detail.getExtBlock() == nullptr || detail.getExtBlock()->empty()) {
    QV_LOG(3,
           "Expected an extension block within the detail element. This extension block will either represent a "
           "settings-update extension block or a phone-mode-change extension block.");
    return false;
  }
  return interpretExtBlock(detail, settings);
}

bool fetchSystemMessage(const txn::Notify& notify, txn::Session& session, ProtocolSettings& settings) {
  const std::string protocolVer = session.getAttribute(txn::kAttrProtocolVer);
  std::unique_ptr<DcdTransport> transport = settings.createTransport();
  if (!transport) {
    QV_LOG(3, "Unable to create a transport for the notification's get-request.");
    return false;
  }
  std::string url;
  const bool fromHref = notify.getHref() != nullptr && !notify.getHref()->empty();
  if (fromHref) {
    url = *notify.getHref();
  } else if (settings.mServerUrl && !settings.mServerUrl->empty()) {
    url = *settings.mServerUrl;
    QV_LOG(8, "For nofify request, Setting server url to %s", url.c_str());
  }
  if (url.empty()) {
    QV_LOG(3, "Unable to determine the URL to fetch the system message from. Ignoring this server notification.");
    return false;
  }
  NR_EngineUtils::replacePatternsInURL(url);
  // The request carries the session id and the subscriber's number, and its
  // answer may rewrite the settings: a pushed href is only followed to the
  // configured server's own origin.
  if (fromHref) {
    std::string server = settings.mServerUrl ? *settings.mServerUrl : std::string();
    NR_EngineUtils::replacePatternsInURL(server);
    if (!Hivra::sameOrigin(url, server)) {
      QV_LOG(3, "Refusing to fetch the system message from %s: it is not on the configured server's origin.",
             printableText(url, kLoggedBodyBytes).c_str());
      return false;
    }
  }
  transport->mUrl = url;
  transport->mMethod = DcdTransport::POST;
  if (notify.getConnectionProfile() != nullptr && !notify.getConnectionProfile()->empty()) {
    transport->mProfileNames = {*notify.getConnectionProfile()};
  } else if (protocolVer == txn::kSessionProtocolVersion) {
    chooseSessionProfiles(settings, *transport);
  }

  txn::GetRequest request;
  std::unique_ptr<txn::Response> response;
  {
    txn::Transaction transaction(&request, transport.get(), &session);
    response = transaction.execute();
  }
  return handleGetResponse(response.get(), settings);
}

// The manager key of a full setting name: the name without its first two
// dot-separated words (where a dot is missing, the text stays whole).
std::string keyOf(const std::string& fullName) {
  std::string key = fullName;
  for (int word = 0; word < 2; ++word) {
    const std::string::size_type dot = key.find('.');
    if (dot != std::string::npos) key = key.substr(dot + 1);
  }
  return key;
}

// True when the store holds the setting's key with a type other than the
// provisioned one.
bool storedWithOtherType(const ProvisionedSetting& setting) {
  QuorvelSettingMgr* manager = QuorvelSettingMgr::getSettingMgrInstance();
  if (manager == nullptr) return false;
  const int category = manager->getCategory(fromUtf8(setting.name));
  if (category == QuorvelSettingMgr::kNoCategory) return false;  // refused by updateSetting
  const std::string key = keyOf(setting.name);
  int number = 0;
  bool flag = false;
  qvTypes::String text;
  const bool isInt = manager->getInt(category, key, number) == 0;
  const bool isBoolean = manager->getBoolean(category, key, flag) == 0;
  const bool isString = manager->getString(category, key, text) == 0;
  if (!isInt && !isBoolean && !isString) return false;  // a new key
  switch (setting.type) {
    case SettingType::STRING:
    case SettingType::LOCALIZED_STRING:
      return !isString;
    case SettingType::BOOLEAN:
      return !isBoolean;
    case SettingType::INT:
    case SettingType::LONG:
      return !isInt;
    default:
      return false;  // the array types are refused by updateSetting
  }
}

}  // namespace

bool applyProvisionedSettings(const std::vector<ProvisionedSetting>& provisioned, ProtocolSettings& settings) {
  if (provisioned.empty()) {
    QV_LOG(3, "No settings provided by the server notification message.");
    return false;
  }
  int updated = 0;
  for (const ProvisionedSetting& setting : provisioned) {
    QV_LOG(8, "Updating setting %s", setting.toString().c_str());
    bool ok = false;
    if (storedWithOtherType(setting)) {
      QV_LOG(3, "The setting %s is stored with another type than the one provisioned. Keeping the stored value.",
             printableText(setting.name).c_str());
    } else {
      ok = settings.updateSetting(setting.name, setting.value, setting.op, setting.language, setting.type);
    }
    if (ok) {
      ++updated;
    } else {
      QV_LOG(3, "Unable to update setting %s", printableText(setting.name).c_str());
    }
  }
  QV_LOG(3, "Updated %d out of %d new setting's values provisioned by the server.", updated,
         static_cast<int>(provisioned.size()));
  return updated == static_cast<int>(provisioned.size());
}

bool interpretExtBlock(const txn::Primitive& detail, ProtocolSettings& settings) {
  QV_LOG(8, "Attempting to interpret ext-block as a phone-mode-change command.");
  PhoneModeChangeHandler phoneMode;
  if (parseExtBlock(detail, phoneMode)) {
    if (!phoneMode.getPhoneMode()) {
      QV_LOG(3, "The phone-mode-change block names no phone mode. Nothing to change.");
      return false;
    }
    const int mode = *phoneMode.getPhoneMode();
    if (settings.mPhoneMode) {
      QV_LOG(3, "Changing the phone mode from %d to %d", static_cast<int>(*settings.mPhoneMode), mode);
    } else {
      QV_LOG(3, "Changing the phone mode to %d", mode);
    }
    settings.setPhoneMode(mode);
    return true;
  }
  SettingsUpdateHandler settingsUpdate;
  if (!parseExtBlock(detail, settingsUpdate)) return false;
  return applyProvisionedSettings(settingsUpdate.getSettings(), settings);
}

bool handleNotification(NotificationContext& context) {
  if (context.message == nullptr || context.session == nullptr || context.settings == nullptr) {
    QV_LOG(3, "A server notification needs a message, a session store and the settings. Ignoring it.");
    return false;
  }
  const PushMessage& message = *context.message;
  const MediaType media = readMediaType(message.getContentType());
  if (!media.securityParameter.empty()) {
    QV_LOG(3, "The server notification asks for a %s check of its sender, which this client cannot make. Ignoring it.",
           printableText(media.securityParameter).c_str());
    return false;
  }
  if (media.essence != txn::kDcdMimeType) {
    QV_LOG(3,
           "Received a server notification with an unexpected content type %s. Expecting the %s content-type "
           "instead.",
           printableText(message.getContentType()).c_str(), txn::kDcdMimeType);
    return false;
  }
  const std::string& body = message.getBody();
  dcd::XmlSyntax syntax;
  std::unique_ptr<txn::Primitive> primitive =
      syntax.marshall({}, body.data(), static_cast<long>(body.size()), message.getCharset());
  if (!primitive) {
    QV_LOG(3,
           "Unable to marshal a Notify primitive using the XML syntax.  Message was encoded in %s and had the body %s",
           printableText(message.getCharset()).c_str(), printableText(body, kLoggedBodyBytes).c_str());
    return false;
  }
  if (primitive->getType() != "Notify") {
    QV_LOG(3, "Expecting a Notify response from the server, but got, instead, the response:\n %s",
           printableText(primitive->getType() + ": " + primitive->toString(), kLoggedBodyBytes).c_str());
    return false;
  }
  const auto& notify = static_cast<const txn::Notify&>(*primitive);
  const txn::NotifyAction* action = notify.getAction();
  ProtocolSettings& settings = *context.settings;

  if (action == &txn::NotifyAction::SYSTEM) {
    if (settings.mIgnoreProv && *settings.mIgnoreProv) {
      QV_LOG(3, "Phone is configured to ignore provisioning by the server. Ignoring this system notification.");
      return false;
    }
    return fetchSystemMessage(notify, *context.session, settings);
  }
  if (action == &txn::NotifyAction::CONTENT_UPDATE) {
    if (settings.mEnableServerReq && !*settings.mEnableServerReq) {
      QV_LOG(3,
             "Phone is configured NOT to handle any server notifications that would result in a content-update.");
      return false;
    }
    context.needsContentUpdate = true;
    context.request = buildContentUpdateRequest(notify);
    return true;
  }
  if (action == &txn::NotifyAction::USAGE_TRACKING_REPORT) {
    QV_LOG(3, "Usage-tracking reports are not supported. Ignoring this server notification.");
  } else {
    QV_LOG(3, "The server notification names no action this client knows. Ignoring it.");
  }
  return false;
}

}  // namespace flp2
