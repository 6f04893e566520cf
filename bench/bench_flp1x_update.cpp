// The end-to-end FLP 1.x update: the real flp1xsvc on a private bus asks
// nr-testserver for a large generated sync package (200 feeds x 100
// entries) served gzip-compressed, inflates, parses and stores it. Timed
// from the update event to the status event that reports the content
// stored ("complete", "content"). The package refers to no asset, so the
// data stage (and its fixed pause) is empty and not what is measured.
//
// The floor, measured in the same run (each part the best of three):
// gzip -dc of the compressed package, xmllint --stream --noout of the
// inflated one, and as many rows (channels and items) inserted into SQLite
// in one transaction with the store's settings (WAL, synchronous=FULL).
// The package is served pre-compressed (a sidecar rule gives the .gz file
// as the body), so the server's own deflate is not timed.
//
//   bench_flp1x_update                         run it
//   bench_flp1x_update --benchmark_repetitions=3
//
// Counters: pkg_MB the inflated package, gz_MB the compressed one;
// floor_ms and its parts; x_floor the mean update time over the floor;
// parsed_ms the mean time to the ttlupdate event (fetched, inflated and
// parsed; the rest of the time is the store);
// rss_MB the daemon's peak resident set (VmHWM, the largest of the
// iterations); rss_limit_MB three times the package plus 10 MiB.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Flp1xLargePackage.h"
#include "PrivateBus.h"
#include "Process.h"
#include "framework/Protocol.h"
#include "platform/Facade.h"
#include "platform/Log.h"
#include "platform/QV_Event.h"
#include "platform/Settings.h"

namespace {

namespace fs = std::filesystem;

constexpr int kFeeds = 200;
constexpr int kEntries = 100;
const std::string kDaemon = std::string(QV_BINARY_DIR) + "/flp1x/flp1xsvc";
const std::string kServer = std::string(QV_BINARY_DIR) + "/tools/nr-testserver";

double msSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

double timeCommand(const std::string& command) {
  auto t0 = std::chrono::steady_clock::now();
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "failed: %s\n", command.c_str());
  return msSince(t0);
}

// The generated package without its contents and templates: nothing for
// the data stage to fetch.
std::string packageWithoutAssets() {
  const std::string full = flp1xbench::largeSyncPkg(kFeeds, kEntries);
  std::string out;
  out.reserve(full.size());
  size_t at = 0;
  while (at < full.size()) {
    size_t end = full.find('\n', at);
    end = end == std::string::npos ? full.size() : end + 1;
    if (full.compare(at, 9, "<content ") != 0) out.append(full, at, end - at);
    at = end;
  }
  for (const std::string& attribute :
       {std::string(" template-id=\"tpl-channel\""),
        std::string(" entry-template-id=\"tpl-entry\" entry-template-href=\"http://flp.example/tpl/entry.xml\"")}) {
    for (size_t p = out.find(attribute); p != std::string::npos; p = out.find(attribute, p)) out.erase(p, attribute.size());
  }
  return out;
}

double timeSqliteRows(const std::string& dbPath) {
  sqlite3* raw = nullptr;
  sqlite3_open(dbPath.c_str(), &raw);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, &sqlite3_close);
  sqlite3_exec(raw,
               "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
               "CREATE TABLE rows (id TEXT PRIMARY KEY, title TEXT, summary TEXT, fields TEXT, saved_at INTEGER)",
               nullptr, nullptr, nullptr);
  const std::string fields(300, 'f');
  auto t0 = std::chrono::steady_clock::now();
  sqlite3_exec(raw, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(raw, "INSERT INTO rows VALUES (?1, ?2, ?3, ?4, ?5)", -1, &s, nullptr);
  std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(s, &sqlite3_finalize);
  for (int i = 0; i < kFeeds * (kEntries + 1); ++i) {
    const std::string id = "row-" + std::to_string(i);
    sqlite3_bind_text(s, 1, id.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 2, "Feed 12, story 34: markets move and the weather turns", -1, SQLITE_STATIC);
    sqlite3_bind_text(s, 3, "Summary of story 34 in feed 12, long enough to look like a teaser line.", -1,
                      SQLITE_STATIC);
    sqlite3_bind_text(s, 4, fields.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_int64(s, 5, 1767225600);
    sqlite3_step(s);
    sqlite3_reset(s);
  }
  sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr);
  return msSince(t0);
}

// VmHWM of a process, in kB (0 when unreadable).
long peakRssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 6, "VmHWM:") == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

// The daemon as a child with its output thrown away (its log carries the
// whole package).
pid_t spawnDaemon(const std::string& home, const std::string& busAddress) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    setenv("QUORVEL_HOME", home.c_str(), 1);
    setenv("QUORVEL_BUS_ADDRESS", busAddress.c_str(), 1);
    setenv("QUORVEL_SLEEP_SCALE", "0.001", 1);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execl(kDaemon.c_str(), kDaemon.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

struct Fixture {
  std::string dir;
  size_t packageBytes = 0;
  size_t compressedBytes = 0;
  double gzipMs = 1e12, xmllintMs = 1e12, sqliteMs = 1e12;
  std::unique_ptr<qvtest::PrivateBus> bus;
  std::unique_ptr<qvtest::Process> server;
  int port = 0;

  Fixture() {
    static FILE* sink = std::fopen("/dev/null", "w");
    librunlog_to_module_ptr = sink;  // the settings writes of each home
    dir = qvtest::makeTempDir("qv-bench-flp1x-update");
    const std::string root = dir + "/root";
    fs::create_directories(root + "/flp");
    const std::string package = packageWithoutAssets();
    packageBytes = package.size();
    const std::string xmlFile = dir + "/package.xml";
    std::ofstream(xmlFile, std::ios::binary) << package;
    if (std::system(("gzip -c '" + xmlFile + "' > '" + root + "/package.gz'").c_str()) != 0)
      std::fprintf(stderr, "gzip failed\n");
    compressedBytes = fs::file_size(root + "/package.gz");
    std::ofstream(root + "/flp/index.xml") << "<sync-pkg/>";
    std::ofstream(root + "/flp/index.xml.rules") << "body package.gz\n";

    for (int run = 0; run < 3; ++run) {
      gzipMs = std::min(gzipMs, timeCommand("gzip -dc '" + root + "/package.gz' > /dev/null"));
      xmllintMs = std::min(xmllintMs, timeCommand("xmllint --stream --noout '" + xmlFile + "'"));
      sqliteMs = std::min(sqliteMs, timeSqliteRows(dir + "/floor-" + std::to_string(run) + ".db"));
    }

    bus = std::make_unique<qvtest::PrivateBus>();
    server = std::make_unique<qvtest::Process>(
        kServer, std::vector<std::string>{"--root", root, "--mode", "flp1x", "--port", "0"}, dir);
    if (server->waitForOutput("\n")) port = std::atoi(server->out().c_str());
  }
  ~Fixture() {
    server.reset();
    bus.reset();
    qvtest::removeTree(dir);
  }
  double floorMs() const { return gzipMs + xmllintMs + sqliteMs; }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

// Writes the settings of a fresh home: the server, an MSISDN.
bool prepareHome(const std::string& home, int port) {
  setenv("QUORVEL_HOME", home.c_str(), 1);
  QuorvelSettingMgr::resetForTesting();
  QuorvelSettingMgr* settings = QuorvelSettingMgr::getSettingMgrInstance();
  const bool ok = settings != nullptr &&
                  settings->setString(1, "flp1x.ServerURL", MString::toWide("http://127.0.0.1:" + std::to_string(port) + "/flp")) == 0 &&
                  settings->setString(12, "MSISDN", L"4915112345678") == 0;
  QuorvelSettingMgr::resetForTesting();
  return ok;
}

int itemsDownloaded(const std::string& home) {
  setenv("QUORVEL_HOME", home.c_str(), 1);
  QuorvelSettingMgr::resetForTesting();
  int items = -1;
  if (QuorvelSettingMgr* settings = QuorvelSettingMgr::getSettingMgrInstance()) {
    settings->getInt(1, "RuntimeValues.ItemsDownloaded", items);
  }
  QuorvelSettingMgr::resetForTesting();
  return items;
}

void BM_Flp1xUpdateEndToEnd(benchmark::State& state) {
  Fixture& f = fixture();
  if (!f.bus->ok() || f.port <= 0) {
    state.SkipWithError("no bus or no server");
    return;
  }
  double totalMs = 0;
  double parsedMs = 0;
  long rssKb = 0;
  int iteration = 0;
  for (auto _ : state) {
    const std::string home = f.dir + "/home-" + std::to_string(iteration++);
    if (!prepareHome(home, f.port)) {
      state.SkipWithError("cannot write the settings");
      break;
    }
    qvtest::EventRecorder recorder{"/kestrova/quorvel/newsreader"};
    const pid_t daemon = spawnDaemon(home, f.bus->address());
    if (!recorder.waitFor(PROTOCOL_TOPIC_STARTUP, 20000)) {
      state.SkipWithError("the daemon did not start");
      ::kill(daemon, SIGKILL);
      ::waitpid(daemon, nullptr, 0);
      break;
    }
    QV_Event update(PROTOCOL_TOPIC_UPDATE, 0);
    update.mProperties = PtrRef<QV_PropertyMap>(new QV_PropertyMap{{"protocolversion", "flp1x"}, {"trigger", "man"}});
    const auto t0 = std::chrono::steady_clock::now();
    QV_EventAndStatusFacade::instance()->publishEvent(update, nullptr);
    // The interval is announced once the package is parsed, before it is
    // stored.
    if (recorder.waitFor(PROTOCOL_TOPIC_TTLUPDATE, 300000)) parsedMs += msSince(t0);
    const auto stored = recorder.waitFor(PROTOCOL_TOPIC_REPORTSTATUS, 300000, [](const ES_EventRecord& e) {
      auto status = e.properties.find("status");
      auto type = e.properties.find("type");
      return status != e.properties.end() && status->second == "complete" && type != e.properties.end() &&
             type->second == "content";
    });
    const double ms = msSince(t0);
    state.SetIterationTime(ms / 1000.0);
    totalMs += ms;
    rssKb = std::max(rssKb, peakRssKb(daemon));
    const bool answered = recorder.waitFor(PROTOCOL_TOPIC_RESPONSE, 60000).has_value();
    ::kill(daemon, SIGTERM);
    ::waitpid(daemon, nullptr, 0);
    if (!stored || !answered || itemsDownloaded(home) != kFeeds * kEntries) {
      state.SkipWithError("the update did not store the package");
      break;
    }
    qvtest::removeTree(home);
  }
  const double pkgMb = static_cast<double>(f.packageBytes) / (1024.0 * 1024.0);
  state.counters["pkg_MB"] = pkgMb;
  state.counters["gz_MB"] = static_cast<double>(f.compressedBytes) / (1024.0 * 1024.0);
  state.counters["gzip_ms"] = f.gzipMs;
  state.counters["xmllint_ms"] = f.xmllintMs;
  state.counters["sqlite_ms"] = f.sqliteMs;
  state.counters["floor_ms"] = f.floorMs();
  if (state.iterations() > 0) {
    state.counters["x_floor"] = totalMs / static_cast<double>(state.iterations()) / f.floorMs();
    state.counters["parsed_ms"] = parsedMs / static_cast<double>(state.iterations());
  }
  state.counters["rss_MB"] = static_cast<double>(rssKb) / 1024.0;
  state.counters["rss_limit_MB"] = 3 * pkgMb + 10;
}
BENCHMARK(BM_Flp1xUpdateEndToEnd)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
