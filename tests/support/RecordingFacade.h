// A facade that records published events instead of sending them, and a
// capture of the log stream, for tests that run without a bus.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Facade.h"
#include "platform/Log.h"

struct RecordedEvent {
  std::string name;
  int value = 0;
  std::map<std::string, std::string> properties;
  bool hasProperties = false;
  std::string data;
  std::string prop(const std::string& key) const {
    auto it = properties.find(key);
    return it == properties.end() ? std::string() : it->second;
  }
};

class RecordingFacade : public QV_EventAndStatusFacade {
 public:
  RecordingFacade() { QV_EventAndStatusFacade::setInstanceForTesting(this); }
  ~RecordingFacade() override { QV_EventAndStatusFacade::setInstanceForTesting(nullptr); }

  int publishEvent(const QV_Event& event, void*) override {
    RecordedEvent copy;
    copy.name = event.mName;
    copy.value = event.mValue;
    copy.data = event.mData;
    if (!event.mProperties.isNull()) {
      copy.hasProperties = true;
      copy.properties.insert(event.mProperties->begin(), event.mProperties->end());
    }
    {
      std::lock_guard<std::mutex> guard(mLock);
      mEvents.push_back(copy);
    }
    mCond.notify_all();
    return 0;
  }

  std::vector<RecordedEvent> events() {
    std::lock_guard<std::mutex> guard(mLock);
    return mEvents;
  }
  std::vector<RecordedEvent> eventsOn(const std::string& topic) {
    std::vector<RecordedEvent> out;
    for (const RecordedEvent& e : events())
      if (e.name == topic) out.push_back(e);
    return out;
  }
  // Waits until at least count events were published on topic.
  bool waitFor(const std::string& topic, size_t count, int timeoutMs = 5000) {
    std::unique_lock<std::mutex> guard(mLock);
    return mCond.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
      size_t n = 0;
      for (const RecordedEvent& e : mEvents)
        if (e.name == topic) ++n;
      return n >= count;
    });
  }

 private:
  std::mutex mLock;
  std::condition_variable mCond;
  std::vector<RecordedEvent> mEvents;
};

// Sends the log to a temporary file for the lifetime of the object.
class LogCapture {
 public:
  LogCapture() : mFile(std::tmpfile()) { librunlog_to_module_ptr = mFile; }
  ~LogCapture() {
    librunlog_to_module_ptr = nullptr;
    if (mFile != nullptr) std::fclose(mFile);
  }
  std::string text() {
    std::string out;
    if (mFile == nullptr) return out;
    std::fflush(mFile);
    long end = std::ftell(mFile);
    std::rewind(mFile);
    out.resize(static_cast<size_t>(end));
    size_t n = std::fread(&out[0], 1, out.size(), mFile);
    out.resize(n);
    std::fseek(mFile, 0, SEEK_END);
    return out;
  }
  bool contains(const std::string& needle) { return text().find(needle) != std::string::npos; }
  // The text logged so far, read with pread so that the stream's position
  // is left alone: unlike text(), safe while another thread is logging
  // (every log line is flushed as it is written).
  std::string written() const {
    std::string out;
    if (mFile == nullptr) return out;
    const int fd = ::fileno(mFile);
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_size <= 0) return out;
    out.resize(static_cast<size_t>(st.st_size));
    const ssize_t n = ::pread(fd, &out[0], out.size(), 0);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
  }
  size_t count(const std::string& needle) {
    std::string all = text();
    size_t n = 0;
    for (size_t pos = all.find(needle); pos != std::string::npos; pos = all.find(needle, pos + 1)) ++n;
    return n;
  }

 private:
  FILE* mFile;
};
