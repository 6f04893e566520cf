// The DCD HTTP transport against the real loopback content server
// (nr-testserver, started here).
//
// BM_DcdAssetDownload / BM_DcdCurlCommand: one 32 MiB asset requested by URL,
// through DcdHttpTransport::send (headers, redirect check, the body read in
// 2048-byte pieces and held whole) and through the curl command writing to
// /dev/null, on the same URL. Compare their bytes_per_second.
// BM_DcdCancelLatency: a send blocked in the body of a dripping answer is
// cancelled from another thread; the time from cancel() to the return of
// send (manual time; max_ms is the worst iteration).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "Process.h"
#include "platform/Log.h"
#include "transport/DcdHttpTransport.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kAssetBytes = 32u << 20;

class ContentServer {
 public:
  explicit ContentServer(const std::string& dir) : mRoot(dir + "/root") {
    ::mkdir(mRoot.c_str(), 0755);
    std::string asset(kAssetBytes, '\0');
    for (std::size_t i = 0; i < asset.size(); ++i) asset[i] = static_cast<char>('a' + i % 23);
    std::ofstream(mRoot + "/asset.bin", std::ios::binary) << asset;
    std::ofstream(mRoot + "/slow.bin", std::ios::binary) << std::string(1 << 20, 's');
    std::ofstream(dir + "/rules") << "[file slow.bin]\ndrip 256 5\n";
    mProcess.reset(new qvtest::Process(std::string(QV_BINARY_DIR) + "/tools/nr-testserver",
                                       {"--root", mRoot, "--port", "0", "--rules", dir + "/rules"}, dir));
    if (mProcess->waitForOutput("\n")) mPort = std::atoi(mProcess->out().c_str());
  }
  ~ContentServer() {
    mProcess->signal(SIGTERM);
    mProcess->wait(10000);
  }
  bool ok() const { return mPort > 0; }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(mPort) + path; }

 private:
  std::string mRoot;
  std::unique_ptr<qvtest::Process> mProcess;
  int mPort = 0;
};

std::string gDir;

ContentServer& server() {
  static ContentServer* instance = new ContentServer(gDir);
  return *instance;
}

void askForAsset(DcdHttpTransport& transport, const std::string& url) {
  transport.mUrl = url;
  transport.mMethod = DcdTransport::GET;
  transport.mRequestHeaders = {{"X-FL-RequestType", "data"}};
}

void BM_DcdAssetDownload(benchmark::State& state) {
  if (!server().ok()) {
    state.SkipWithError("nr-testserver did not start");
    return;
  }
  DcdHttpTransport transport;
  for (auto _ : state) {
    askForAsset(transport, server().url("/asset.bin"));
    if (transport.send() != DcdTransport::SEND_SUCCESS ||
        transport.mResponseLength != static_cast<int32_t>(kAssetBytes)) {
      state.SkipWithError("the download failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kAssetBytes));
}
BENCHMARK(BM_DcdAssetDownload)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DcdCurlCommand(benchmark::State& state) {
  if (!server().ok() || std::system("command -v curl >/dev/null 2>&1") != 0) {
    state.SkipWithError("no server or no curl command");
    return;
  }
  const std::string command =
      "curl -s -f -o /dev/null -H 'X-FL-RequestType: data' '" + server().url("/asset.bin") + "'";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("curl failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kAssetBytes));
}
BENCHMARK(BM_DcdCurlCommand)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DcdCancelLatency(benchmark::State& state) {
  if (!server().ok()) {
    state.SkipWithError("nr-testserver did not start");
    return;
  }
  double worst = 0;
  for (auto _ : state) {
    DcdHttpTransport transport;
    askForAsset(transport, server().url("/slow.bin"));
    std::atomic<long long> returnedAt{0};
    int result = -1;
    std::thread worker([&] {
      result = transport.send();
      returnedAt.store(Clock::now().time_since_epoch().count());
    });
    // The answer drips for seconds; by now send is blocked in the body.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const Clock::time_point cancelledAt = Clock::now();
    const bool accepted = transport.cancel();
    worker.join();
    if (!accepted) {
      state.SkipWithError("cancel was refused");
      break;
    }
    if (result != DcdTransport::SEND_CANCELLED) {
      state.SkipWithError("send was not cancelled");
      break;
    }
    const double seconds =
        std::chrono::duration<double>(Clock::time_point(Clock::duration(returnedAt.load())) - cancelledAt).count();
    worst = std::max(worst, seconds);
    state.SetIterationTime(seconds);
  }
  state.counters["max_ms"] = worst * 1000;
}
BENCHMARK(BM_DcdCancelLatency)->UseManualTime()->Iterations(50)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  // The stack reads its settings; keep them away from the real store.
  char dir[] = "/tmp/qv-bench-dcd-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  gDir = dir;
  setenv("QUORVEL_HOME", dir, 1);
  librunlog_to_module_ptr = std::fopen("/dev/null", "w");  // one line per exchange otherwise
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  delete &server();
  std::string cleanup = std::string("rm -rf '") + dir + "'";
  return std::system(cleanup.c_str()) == 0 ? 0 : 0;
}
