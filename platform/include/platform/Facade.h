// The event-and-status facade: publishes events and answers device queries.
//
// Device facts are read from the settings store, category 12 "QVDevice"
// (keys "MSISDN", "ModelId", "SoftwareVersion", "Language",
// "InstalledLanguages" (comma-separated), "NetworkStatus" (1 other, 2 3G),
// "NetworkTimeAvailable"), so that a device image or a test sets them with
// nrctl settings. The current time is the system clock. A fact that is not
// set (or set with another type) gives a non-zero result and leaves the out
// value untouched; it is not logged here, the caller reports it.
//
// Threads: publishEvent may be called from any thread (the bus connection
// used for sending is locked). The queries may be called from any thread.
#pragma once

#include <string>
#include <vector>

#include "platform/QV_Event.h"
#include "platform/Types.h"

class QV_EventAndStatusFacade {
 public:
  // The process-wide facade; never null once the process runs.
  static QV_EventAndStatusFacade* instance();
  // Replaces the process-wide facade (tests); null restores the real one.
  // Not owned. Call only while no other thread uses the facade.
  static void setInstanceForTesting(QV_EventAndStatusFacade* facade);

  virtual ~QV_EventAndStatusFacade() = default;

  // Publishes the event on the bus; reserved is always null. 0 on success,
  // non-zero after one log line. The properties travel with
  // "__QV_Event__mValue" set to mValue (replacing any such entry of the map)
  // and the payload is every byte of mData. Needs no subscription; a
  // connection that the bus dropped is reopened once.
  virtual int publishEvent(const QV_Event& event, void* reserved);
  // 1 other, 2 3G (0 unknown).
  virtual int getDataNetworkStatus(int& status);
  virtual int getMSISDN(qvTypes::String& msisdn);
  virtual int getPhoneModelId(qvTypes::String& modelId);
  virtual int getPhoneSoftwareVersion(qvTypes::String& version);
  virtual int getCurrentLanguageCode(qvTypes::String& language);
  virtual int getInstalledLanguageCodes(std::vector<qvTypes::String>& languages);
  virtual int getCurrentTime(long& secondsSinceEpoch);
  virtual int isNetworkTimeAvailable(bool& available);
};
