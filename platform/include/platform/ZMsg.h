// Application messaging of the platform: a named message with text
// arguments, sent on a channel to whichever application listens there (the
// idle-screen framework, for instance).
//
// On this platform a message travels as an event on the bus, published
// through the event-and-status facade:
//
//   topic       ZMsg::kTopic, "/kestrova/quorvel/newsreader/app/message"
//   value       the number of arguments
//   properties  "channel"  the channel, e.g. "QPX/HSFRAMEWORK"
//               "message"  the message, e.g. "activePlugIn()"
//               "argc"     the number of arguments, in decimal
//               "arg0", "arg1", ...  each argument as UTF-8 text
//   payload     empty
//
// QCString (bytes) and QString (wide text) are the small text types of the
// messaging interface.
//
// Threads: a ZMsg belongs to one thread at a time; send may be called from
// any thread (the facade's publishing is locked).
#pragma once

#include <string>
#include <vector>

#include "platform/Types.h"

// A byte string.
class QCString {
 public:
  QCString() = default;
  QCString(const char* text) : mText(text != nullptr ? text : "") {}  // NOLINT: converts like the original
  QCString(const std::string& text) : mText(text) {}                 // NOLINT
  const char* data() const { return mText.c_str(); }
  const std::string& str() const { return mText; }
  bool isEmpty() const { return mText.empty(); }

 private:
  std::string mText;
};

// A wide text.
class QString {
 public:
  QString() = default;
  // From UTF-8 bytes.
  QString(const char* utf8);                    // NOLINT: converts like the original
  QString(const qvTypes::String& text) : mText(text) {}  // NOLINT
  const qvTypes::String& wide() const { return mText; }
  std::string utf8() const;
  bool isEmpty() const { return mText.empty(); }

 private:
  qvTypes::String mText;
};

class ZMsg {
 public:
  static constexpr const char* kTopic = "/kestrova/quorvel/newsreader/app/message";

  // reserved is the platform's delivery flag; it has no effect here.
  ZMsg(const QCString& channel, const QCString& message, bool reserved = false);

  // Appends one text argument.
  ZMsg& operator<<(const QString& argument);

  // Publishes the message. True when it went out; a failure is logged.
  bool send();

  const QCString& channel() const { return mChannel; }
  const QCString& message() const { return mMessage; }
  const std::vector<QString>& arguments() const { return mArguments; }

 private:
  QCString mChannel;
  QCString mMessage;
  std::vector<QString> mArguments;
};
