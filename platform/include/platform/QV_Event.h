// The event record that the services publish and receive.
//
// It lives in the platform layer because the event-and-status facade
// publishes it; the framework builds and reads it.
//
// Thread safety: a QV_Event and its property map belong to one thread (the
// PtrRef count is not atomic). Every event gets a map of its own; the facade
// copies what it keeps.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/PtrRef.h"

using QV_PropertyMap = std::map<std::string, std::string>;

class QV_Event {
 public:
  QV_Event() = default;
  QV_Event(const std::string& name, int32_t value) : mName(name), mValue(value) {}
  virtual ~QV_Event() = default;

  std::string mName;                 // the topic
  int32_t mValue = 0;                // the event's value
  PtrRef<QV_PropertyMap> mProperties;  // may be null: no properties
  std::string mData;                 // raw payload text
  // Every byte of a received payload, NUL bytes included (mData is cut at
  // the first NUL): a pushed body may be binary. Not published.
  std::string mPayload;
};

// Name of the property that carries mValue through the event service.
constexpr const char* kQvEventValueProperty = "__QV_Event__mValue";
