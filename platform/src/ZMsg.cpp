#include "platform/ZMsg.h"

#include <sstream>

#include "platform/Facade.h"
#include "platform/Log.h"
#include "platform/QV_Event.h"

QString::QString(const char* utf8) : mText(MString::toWide(utf8 != nullptr ? utf8 : "")) {}

std::string QString::utf8() const {
  std::ostringstream out;
  UTF_8Util::LineWriter writer(out);
  writer.write(mText);
  writer.flush();
  return out.str();
}

ZMsg::ZMsg(const QCString& channel, const QCString& message, bool /*reserved*/)
    : mChannel(channel), mMessage(message) {}

ZMsg& ZMsg::operator<<(const QString& argument) {
  mArguments.push_back(argument);
  return *this;
}

bool ZMsg::send() {
  QV_Event event(kTopic, static_cast<int32_t>(mArguments.size()));
  event.mProperties.reset(new QV_PropertyMap);
  QV_PropertyMap& properties = *event.mProperties;
  properties["channel"] = mChannel.str();
  properties["message"] = mMessage.str();
  properties["argc"] = std::to_string(mArguments.size());
  for (size_t i = 0; i < mArguments.size(); ++i) properties["arg" + std::to_string(i)] = mArguments[i].utf8();
  int rc = QV_EventAndStatusFacade::instance()->publishEvent(event, nullptr);
  if (rc != 0) {
    QV_LOG(3, "ZMsg: sending %s on %s failed (%d)\n", mMessage.data(), mChannel.data(), rc);
    return false;
  }
  return true;
}
