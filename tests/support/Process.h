// Runs a program of the build as a child process for integration tests:
// environment overrides, standard output and error captured in files,
// waiting with a time limit. Header-only.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace qvtest {

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string makeTempDir(const char* prefix = "qvtest") {
  std::string tmpl = std::string("/tmp/") + prefix + ".XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) return "";
  return buf.data();
}

inline void removeTree(const std::string& dir) {
  if (dir.size() > 5 && dir.compare(0, 5, "/tmp/") == 0) {
    std::string cmd = "rm -rf '" + dir + "'";
    int ignored = std::system(cmd.c_str());
    (void)ignored;
  }
}

class Process {
 public:
  // env: variables to set ("" value unsets). stdinText is written to the
  // child's standard input (then closed).
  Process(const std::string& program, const std::vector<std::string>& args, const std::string& outDir,
          const std::map<std::string, std::string>& env = {}, const std::string& stdinText = "") {
    static int counter = 0;
    const std::string base = outDir + "/proc" + std::to_string(++counter);
    mOutPath = base + ".out";
    mErrPath = base + ".err";
    const std::string inPath = base + ".in";
    {
      std::ofstream in(inPath, std::ios::binary);
      in << stdinText;
    }
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    mPid = ::fork();
    if (mPid == 0) {
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      for (const auto& kv : env) {
        if (kv.second.empty()) {
          unsetenv(kv.first.c_str());
        } else {
          setenv(kv.first.c_str(), kv.second.c_str(), 1);
        }
      }
      int in = ::open(inPath.c_str(), O_RDONLY);
      int out = ::open(mOutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = ::open(mErrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (in < 0 || out < 0 || err < 0) ::_exit(126);
      ::dup2(in, 0);
      ::dup2(out, 1);
      ::dup2(err, 2);
      std::vector<char*> cargv;
      for (std::string& a : argv) cargv.push_back(&a[0]);
      cargv.push_back(nullptr);
      ::execv(program.c_str(), cargv.data());
      ::_exit(127);
    }
  }
  ~Process() {
    if (running()) {
      ::kill(mPid, SIGKILL);
      int status;
      ::waitpid(mPid, &status, 0);
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool running() {
    if (mPid <= 0 || mExited) return false;
    int status = 0;
    pid_t r = ::waitpid(mPid, &status, WNOHANG);
    if (r == mPid) {
      record(status);
      return false;
    }
    return true;
  }

  // The exit status, or -1 when the process did not end in time (or died of
  // a signal: then 128 + the signal).
  int wait(long timeoutMillis = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMillis);
    while (running()) {
      if (std::chrono::steady_clock::now() >= deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return mStatus;
  }

  void signal(int sig) {
    if (running()) ::kill(mPid, sig);
  }

  std::string out() const { return readFile(mOutPath); }
  std::string err() const { return readFile(mErrPath); }

  // Waits until standard output contains text.
  bool waitForOutput(const std::string& text, long timeoutMillis = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMillis);
    for (;;) {
      if (out().find(text) != std::string::npos) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

 private:
  void record(int status) {
    mExited = true;
    mStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  pid_t mPid = -1;
  bool mExited = false;
  int mStatus = -1;
  std::string mOutPath;
  std::string mErrPath;
};

}  // namespace qvtest
