// The HTTP stack over loopback.
//
// BM_AbortLatency: a transaction blocked in readBody on a dripping server is
// aborted from another thread; the time from abort() to the return of the
// blocked call (manual time; max_ms is the worst iteration).
// BM_DownloadHivra / BM_DownloadCurlCommand: one 64 MiB body from the same
// loopback server, through the stack (read in pieces of the given size) and
// through the curl command writing to /dev/null (skipped when the command
// is missing). Compare their bytes_per_second.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "MiniHttpServer.h"
#include "platform/Hivra.h"

namespace {

using Clock = std::chrono::steady_clock;
using qvtest::MiniHttpServer;

constexpr std::size_t kDownloadBytes = 64u << 20;

MiniHttpServer& server() {
  static MiniHttpServer* instance = [] {
    auto* s = new MiniHttpServer();
    MiniHttpServer::Response drip;
    drip.body = std::string(1 << 20, 'd');
    drip.dripBytes = 1;
    drip.dripIntervalMs = 5;
    s->on("/drip", drip);
    s->on("/large", MiniHttpServer::Response::make(200, std::string(kDownloadBytes, 'L')));
    return s;
  }();
  return *instance;
}

void BM_AbortLatency(benchmark::State& state) {
  Hivra::Error error;
  std::unique_ptr<Hivra::Agent, void (*)(Hivra::Agent*)> agent(
      Hivra::Agent::create(Hivra::ConnectionProfile(), Hivra::Headers(), error), [](Hivra::Agent* a) {
        Hivra::Error ignored;
        Hivra::Agent::destroy(a, ignored);
      });
  if (!agent) {
    state.SkipWithError(error.toString());
    return;
  }
  double worst = 0;
  for (auto _ : state) {
    Hivra::Transaction* t = agent->createSynchronizedTransaction("GET", server().url("/drip"), error);
    char piece[64];
    if (t == nullptr || !t->sendRequestHeaders(error) || t->receiveStatus(error) != 200 ||
        t->readBody(piece, sizeof piece, error) <= 0) {
      state.SkipWithError(error.toString());
      break;
    }
    std::atomic<long long> abortedAt{0};
    std::thread aborter([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));  // the reader is blocked again by now
      abortedAt.store(Clock::now().time_since_epoch().count());
      t->abort();
    });
    while (t->readBody(piece, sizeof piece, error) > 0) {
    }
    Clock::time_point returned = Clock::now();
    aborter.join();
    if (!error.isAborted()) {
      state.SkipWithError(error.toString());
      break;
    }
    double seconds = std::chrono::duration<double>(returned - Clock::time_point(Clock::duration(abortedAt.load())))
                         .count();
    worst = std::max(worst, seconds);
    state.SetIterationTime(seconds);
    agent->destroyTransaction(t, error);
  }
  state.counters["max_ms"] = worst * 1000;
}
BENCHMARK(BM_AbortLatency)->UseManualTime()->Iterations(100)->Unit(benchmark::kMicrosecond);

void BM_DownloadHivra(benchmark::State& state) {
  Hivra::ConnectionProfile profile;
  profile.setMaxBodyBytes(2 * kDownloadBytes);
  Hivra::Error error;
  Hivra::Agent* agent = Hivra::Agent::create(profile, Hivra::Headers(), error);
  if (agent == nullptr) {
    state.SkipWithError(error.toString());
    return;
  }
  std::vector<char> buffer(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    Hivra::Transaction* t = agent->createSynchronizedTransaction("GET", server().url("/large"), error);
    std::size_t total = 0;
    if (t != nullptr && t->sendRequestHeaders(error) && t->receiveStatus(error) == 200) {
      int n;
      while ((n = t->readBody(buffer.data(), static_cast<int>(buffer.size()), error)) > 0) total += n;
    }
    if (t != nullptr) {
      Hivra::Error ignored;
      agent->destroyTransaction(t, ignored);
    }
    if (error.code() != Hivra::ERR_END_OF_BODY || total != kDownloadBytes) {
      state.SkipWithError(error.toString());
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kDownloadBytes));
  Hivra::Agent::destroy(agent, error);
}
BENCHMARK(BM_DownloadHivra)->Arg(1024)->Arg(2048)->Arg(65536)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DownloadCurlCommand(benchmark::State& state) {
  if (std::system("command -v curl >/dev/null 2>&1") != 0) {
    state.SkipWithError("the curl command is not installed");
    return;
  }
  const std::string command = "curl -s -f -o /dev/null '" + server().url("/large") + "'";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("curl failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kDownloadBytes));
}
BENCHMARK(BM_DownloadCurlCommand)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // The stack reads its settings; keep them away from the real store.
  char home[] = "/tmp/qv-bench-http-XXXXXX";
  if (mkdtemp(home) != nullptr) setenv("QUORVEL_HOME", home, 1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::string cleanup = std::string("rm -rf '") + home + "'";
  return std::system(cleanup.c_str()) == 0 ? 0 : 0;
}
