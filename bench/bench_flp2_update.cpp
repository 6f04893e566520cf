// One large FLP 2.0 content update through the real flp2svc: a generated
// answer of 200 channels x 100 items served by nr-testserver, from the
// update event to the response event (the asset phase is empty), against a
// floor measured in the same run on the same answer: xmllint --stream
// --noout over the file, plus as many rows (channels and items) of similar
// size inserted into a fresh SQLite database in one transaction, with the
// content cache's settings (WAL, synchronous=FULL).
//
//   bench_flp2_update                      run the benchmarks
//   bench_flp2_update --write-answer=FILE  write the answer and exit
//
// Every iteration starts flp2svc on a fresh QUORVEL_HOME over a private bus
// (its log goes to a file, as a daemon's does). Counters: answer_MB the
// answer's size; objects_per_s channels and items stored per second;
// daemon_cpu_ms the CPU time flp2svc spent on the update (less sensitive to
// a busy machine than the wall time);
// peak_rss_MB the daemon's peak resident memory (VmHWM) and rss_aim_MB three
// times the answer plus 10 MiB; floor_ms the floor (each part the best of
// three runs) and x_floor the mean update time over it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Flp2LargeAnswer.h"
#include "PrivateBus.h"
#include "framework/Protocol.h"
#include "platform/Facade.h"
#include "platform/Log.h"
#include "platform/QV_Event.h"

extern char** environ;

namespace {

constexpr int kChannels = 200;
constexpr int kItems = 100;
constexpr int kObjects = kChannels * (kItems + 1);

const std::string kFlp2 = std::string(QV_BINARY_DIR) + "/flp2/flp2svc";
const std::string kServer = std::string(QV_BINARY_DIR) + "/tools/nr-testserver";

// A child process with its own environment and standard output in a file.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv, const std::string& outPath) {
    // The parent's environment with extraEnv's "NAME=value" entries in
    // place of any of the same name.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('=') + 1);
      bool replaced = false;
      for (const std::string& x : extraEnv) replaced = replaced || x.compare(0, name.size(), name) == 0;
      if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> cargv;
    for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    std::vector<char*> cenv;
    for (const std::string& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
    cenv.push_back(nullptr);
    const std::string errPath = outPath + ".err";
    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls. The child ends with the benchmark, also when
    // the benchmark dies.
    mPid = ::fork();
    if (mPid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0 || err < 0) ::_exit(126);
      ::dup2(out, 1);
      ::dup2(err, 2);
      ::execve(cargv[0], cargv.data(), cenv.data());
      ::_exit(127);
    }
  }
  ~Child() { stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return mPid; }
  // Peak resident memory in kB (VmHWM), 0 when unknown.
  long peakRssKb() const {
    std::ifstream status("/proc/" + std::to_string(mPid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.compare(0, 6, "VmHWM:") == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
  }
  // User and system CPU time so far, in milliseconds.
  double cpuMs() const {
    std::ifstream stat("/proc/" + std::to_string(mPid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::string::size_type close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14 || i == 15) ticks += std::atof(field.c_str());
    }
    return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  void stop() {
    if (mPid <= 0) return;
    ::kill(mPid, SIGTERM);
    int status = 0;
    ::waitpid(mPid, &status, 0);
    mPid = -1;
  }

 private:
  pid_t mPid = -1;
};

struct Fixture {
  std::string dir;
  std::string file;
  std::string answer;
  double xmllintMs = 0;
  double sqliteMs = 0;

  Fixture() {
    char pattern[] = "/tmp/qv-bench-flp2-XXXXXX";
    char* made = mkdtemp(pattern);
    dir = made != nullptr ? made : "/tmp";
    std::filesystem::create_directories(dir + "/root");
    file = dir + "/root/content-update-response.xml";
    answer = flp2bench::largeAnswer(kChannels, kItems);
    std::ofstream(file, std::ios::binary) << answer;
    static FILE* sink = std::fopen("/dev/null", "w");
    librunlog_to_module_ptr = sink;
    measureFloor();
  }
  ~Fixture() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  double floorMs() const { return xmllintMs + sqliteMs; }

  // The best of three runs of each part, so that a busy moment of the
  // machine does not lower the bar.
  void measureFloor() {
    xmllintMs = 1e12;
    sqliteMs = 1e12;
    for (int run = 0; run < 3; ++run) {
      xmllintMs = std::min(xmllintMs, timeXmllint());
      sqliteMs = std::min(sqliteMs, timeSqlite(run));
    }
  }

  double timeXmllint() {
    const std::string command = "xmllint --stream --noout '" + file + "'";
    auto t0 = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "xmllint failed on %s\n", file.c_str());
    auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::milli>(t1 - t0).count();
  }

  // Rows shaped like the cache's: an id, the title and summary texts, and
  // a JSON text of the other fields of about the size the cache writes.
  double timeSqlite(int run) {
    const std::string dbPath = dir + "/floor-" + std::to_string(run) + ".db";
    sqlite3* raw = nullptr;
    sqlite3_open(dbPath.c_str(), &raw);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, &sqlite3_close);
    sqlite3_exec(raw,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                 "CREATE TABLE rows (id TEXT PRIMARY KEY, title TEXT, summary TEXT, fields TEXT, saved_at INTEGER)",
                 nullptr, nullptr, nullptr);
    const std::string fields(420, 'f');
    auto t0 = std::chrono::steady_clock::now();
    sqlite3_exec(raw, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(raw, "INSERT INTO rows VALUES (?1, ?2, ?3, ?4, ?5)", -1, &s, nullptr);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(s, &sqlite3_finalize);
    for (int i = 0; i < kObjects; ++i) {
      const std::string id = "ch" + std::to_string(i / (kItems + 1)) + "-it" + std::to_string(i);
      sqlite3_bind_text(s, 1, id.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(s, 2, "Channel 12, story 34: council approves the harbour plan after a long night of debate",
                        -1, SQLITE_STATIC);
      sqlite3_bind_text(s, 3,
                        "Story 34 of channel 12. The vote was close, the public gallery was full and the mayor "
                        "spoke for twenty minutes; work on the quay starts in spring.",
                        -1, SQLITE_STATIC);
      sqlite3_bind_text(s, 4, fields.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_int64(s, 5, 1767225600);
      sqlite3_step(s);
      sqlite3_reset(s);
    }
    sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr);
    auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::milli>(t1 - t0).count();
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_Flp2Floor(benchmark::State& state) {
  const Fixture& f = fixture();
  for (auto _ : state) benchmark::DoNotOptimize(f.floorMs());
  state.counters["xmllint_ms"] = f.xmllintMs;
  state.counters["sqlite_ms"] = f.sqliteMs;
  state.counters["floor_ms"] = f.floorMs();
  state.counters["answer_MB"] = static_cast<double>(f.answer.size()) / 1e6;
}

void BM_Flp2Update(benchmark::State& state) {
  Fixture& f = fixture();
  qvtest::PrivateBus bus;
  if (!bus.ok()) {
    state.SkipWithError(("no private bus: " + bus.error()).c_str());
    return;
  }
  qvtest::EventRecorder recorder{"/kestrova/quorvel/newsreader/protocol"};
  Child server({kServer, "--root", f.dir + "/root", "--port", "0"}, {}, f.dir + "/server.out");
  std::string portText;
  for (int i = 0; i < 500 && portText.find('\n') == std::string::npos; ++i) {
    std::ifstream in(f.dir + "/server.out");
    portText.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (portText.find('\n') == std::string::npos) {
    state.SkipWithError("nr-testserver did not start");
    return;
  }
  const std::string serverUrl = "http://127.0.0.1:" + portText.substr(0, portText.find('\n')) + "/dcd";

  double totalMs = 0;
  double cpuMs = 0;
  long peakKb = 0;
  int run = 0;
  for (auto _ : state) {
    const std::string home = f.dir + "/home-" + std::to_string(run++);
    std::filesystem::create_directories(home);
    const std::vector<std::string> env{"QUORVEL_HOME=" + home, "QUORVEL_BUS_ADDRESS=" + bus.address(),
                                       "QUORVEL_SLEEP_SCALE=0.001"};
    {
      // The server URL, set as a person would before the daemon starts.
      Child set(
          {std::string(QV_BINARY_DIR) + "/tools/nrctl", "settings", "set", "QVCore.DCD.flp20.ServerURL", serverUrl},
          env, home + "/nrctl.out");
      int status = 0;
      ::waitpid(set.pid(), &status, 0);
    }
    Child daemon({kFlp2}, env, home + "/flp2svc.log");
    if (!recorder.waitFor(PROTOCOL_TOPIC_STARTUP, 20000).has_value()) {
      state.SkipWithError("flp2svc did not start");
      break;
    }
    const double cpuBefore = daemon.cpuMs();
    QV_Event update(PROTOCOL_TOPIC_UPDATE, 0);
    update.mProperties =
        PtrRef<QV_PropertyMap>(new QV_PropertyMap{{PROPERTY_PROTOCOL_VERSION, "flp20"}, {PROPERTY_TRIGGER, "man"}});
    auto t0 = std::chrono::steady_clock::now();
    if (QV_EventAndStatusFacade::instance()->publishEvent(update, nullptr) != 0) {
      state.SkipWithError("cannot publish the update event");
      break;
    }
    auto response = recorder.waitFor(PROTOCOL_TOPIC_RESPONSE, 600000);
    auto t1 = std::chrono::steady_clock::now();
    if (!response || response->properties[kQvEventValueProperty] != "0") {
      state.SkipWithError("the update did not succeed");
      break;
    }
    const double ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
    state.SetIterationTime(ms / 1000.0);
    totalMs += ms;
    cpuMs += daemon.cpuMs() - cpuBefore;
    peakKb = std::max(peakKb, daemon.peakRssKb());
    daemon.stop();
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
  }
  if (state.iterations() == 0 || totalMs == 0) return;
  const double meanMs = totalMs / static_cast<double>(state.iterations());
  state.counters["answer_MB"] = static_cast<double>(f.answer.size()) / 1e6;
  state.counters["daemon_cpu_ms"] = cpuMs / static_cast<double>(state.iterations());
  state.counters["objects_per_s"] = kObjects / (meanMs / 1000.0);
  state.counters["peak_rss_MB"] = static_cast<double>(peakKb) / 1024.0;
  state.counters["rss_aim_MB"] = 3.0 * static_cast<double>(f.answer.size()) / (1024.0 * 1024.0) + 10.0;
  state.counters["floor_ms"] = f.floorMs();
  state.counters["x_floor"] = meanMs / f.floorMs();
}

BENCHMARK(BM_Flp2Floor)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Flp2Update)->Iterations(3)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
  const char kWrite[] = "--write-answer=";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], kWrite, sizeof kWrite - 1) == 0) {
      std::ofstream out(argv[i] + sizeof kWrite - 1, std::ios::binary);
      out << flp2bench::largeAnswer(kChannels, kItems);
      return out ? 0 : 1;
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
