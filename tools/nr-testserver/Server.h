// The HTTP/1.1 server of nr-testserver: listens on 127.0.0.1 only, reads
// each request with bounded head and body, answers it from the root
// directory (Content.h) as changed by the fault rules (Rules.h), writes the
// request log, and closes the connection after every answer.
//
// Threads: the main thread calls start() and run(); run() accepts
// connections and serves each on a thread of its own (at most
// kMaxConnections at a time). Every wait of a connection thread also wakes
// on the stop event, so run() returns promptly once stopFd is readable and
// has joined every connection thread by then.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Content.h"
#include "Rules.h"
#include "UniqueFd.h"

namespace testserver {

struct Config {
  Mode mode = Mode::kDcd;
  std::string root;
  int port = 0;  // 0: any free port
  std::string rulesPath;
  std::string logPath;
  std::size_t maxBody = 16u << 20;
};

class Server {
 public:
  static constexpr std::size_t kMaxConnections = 64;
  // A connection that sends or accepts nothing for this long is closed.
  static constexpr long kIdleMillis = 30000;

  explicit Server(Config config);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Reads the rules file. False with a message when it does not parse.
  bool loadRules(std::string& error);
  // Opens the log and listens. False with a message.
  bool start(std::string& error);
  // The port listened on (after start).
  int port() const { return mPort; }
  // Serves until stopFd is readable; then stops and joins every connection.
  void run(int stopFd);

 private:
  struct Worker {
    UniqueFd conn;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  struct LogFileClose {
    void operator()(FILE* f) const {
      if (f != nullptr) std::fclose(f);
    }
  };

  void serve(int fd);
  bool readMore(int fd, std::string& buffer);
  bool waitMillis(int fd, long millis);
  bool writeAll(int fd, const char* data, std::size_t length);
  void refuse(int fd, int status, const char* why);
  void lingeringClose(int fd);
  void answer(int fd, const Request& request);
  void logRequest(const Request& request, const Plan& plan, int status);
  std::string expand(const std::string& text) const;
  void reapWorkers(bool all);

  Config mConfig;
  RuleBook mRules;
  UniqueFd mListen;
  UniqueFd mWake;  // eventfd, made readable once to stop every connection
  int mPort = 0;
  std::unique_ptr<FILE, LogFileClose> mLog;
  std::mutex mLogLock;
  unsigned long mSeq = 0;  // under mLogLock
  std::list<std::unique_ptr<Worker>> mWorkers;  // main thread only
};

}  // namespace testserver
