// e2e_pull_latency [SAMPLES]: how long a change another client makes on the
// server takes to land in this client's folder, through the engine's own
// server event puller (Syncer, default timing: after a pass that found
// nothing new it sleeps 5 s) and its workers, against the real
// tidewell-server on loopback. The moment of each change is drawn at random
// (seeded, 0-6 s after the previous one landed) so that it falls anywhere
// in the puller's cycle. Prints each sample and the median, mean and
// maximum, measured from the server's acknowledgement of the upload to the
// new content being readable in the folder.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/engine_harness.h"
#include "common/server_client.h"
#include "common/server_process.h"
#include "sync/syncer.h"

int main(int argc, char** argv) {
  using namespace tidewell;
  using Clock = std::chrono::steady_clock;
  const int samples = argc > 1 ? std::atoi(argv[1]) : 10;
  testing::ServerProcess server;
  if (!server.Start()) return 1;
  testing::ServerClient other(server);
  testing::EngineClient client(server);
  client.StartWorkers(2);
  Syncer syncer(client.env());
  if (syncer.Run() != 0) {
    std::fprintf(stderr, "e2e_pull_latency: the puller did not start\n");
    return 1;
  }
  std::mt19937_64 rng(20261208);
  std::uniform_int_distribution<int> phase_ms(0, 6000);
  std::vector<double> seconds;
  for (int i = 0; i < samples; ++i) {
    // Spreads the changes over the puller's cycle; not a synchronisation.
    std::this_thread::sleep_for(std::chrono::milliseconds(phase_ms(rng)));
    const std::string content = "change " + std::to_string(i);
    PObject reply = other.Upload("/latency.txt", content, other.SyncIdOf("/latency.txt"));
    if (reply.hasMember("error")) {
      std::fprintf(stderr, "e2e_pull_latency: upload refused: %s\n", reply.toString().c_str_utf8());
      return 1;
    }
    const auto acknowledged = Clock::now();
    const auto deadline = acknowledged + std::chrono::seconds(60);
    while (!(client.Exists("/latency.txt") && client.Read("/latency.txt") == content)) {
      if (Clock::now() > deadline) {
        std::fprintf(stderr, "e2e_pull_latency: change %d did not land within 60 s\n", i);
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));  // polling the folder
    }
    seconds.push_back(std::chrono::duration<double>(Clock::now() - acknowledged).count());
    std::printf("sample %d: %.3f s\n", i, seconds.back());
    std::fflush(stdout);
  }
  syncer.StopAndJoin();
  std::vector<double> sorted = seconds;
  std::sort(sorted.begin(), sorted.end());
  double sum = 0;
  for (double s : sorted) sum += s;
  std::printf("server change to client folder: median %.3f s, mean %.3f s, max %.3f s over %d samples\n",
              sorted[sorted.size() / 2], sum / sorted.size(), sorted.back(), samples);
  return 0;
}
