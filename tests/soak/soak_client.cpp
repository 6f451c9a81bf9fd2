// The client side of scripts/soak: one Client, every read operation called from four threads
// for MINUTES, the RPC reads once a second (from whichever of the four threads is due), and the
// process's resident memory, threads and open descriptors sampled every 10 s.
//
//   soak_client SERIAL_NUMBER MINUTES [WARMUP_SECONDS]
//
// Fails (exit 1) on any exception from a read, any line the library logs at warning level or
// above, a stream that stops advancing, or, after the warm-up, more threads or descriptors than
// the warm-up saw or resident memory more than 4 MiB above its size at the end of the warm-up.
// Prints one line per sample and a closing summary.
#include <dirent.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <orbaltkvt.hpp>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using orbalt::kvt::JointGroup;

constexpr int kReaders = 4;
constexpr auto kSamplePeriod = std::chrono::seconds(10);
constexpr auto kRpcPeriod = std::chrono::seconds(1);
constexpr auto kRoundPause = std::chrono::milliseconds(1);
constexpr long kRssSlackKiB = 4 * 1024;

std::atomic<long> failures{0};
std::atomic<bool> stop{false};
std::atomic<long> missed_probes{0};
std::mutex report_mutex;

// Growth is judged at every sample but does not end the run, so its course is seen whole.
std::atomic<long> growth{0};

void Growth(const std::string& what) {
  ++growth;
  std::lock_guard<std::mutex> lock(report_mutex);
  std::fprintf(stderr, "soak: FAILURE: %s\n", what.c_str());
}

void Failure(const std::string& what) {
  ++failures;
  std::lock_guard<std::mutex> lock(report_mutex);
  std::fprintf(stderr, "soak: FAILURE: %s\n", what.c_str());
}

// Counts what the library logs at warning level or above, and shows every line.
class CountingSink : public spdlog::sinks::base_sink<std::mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t line;
    formatter_->format(msg, line);
    std::fwrite(line.data(), 1, line.size(), stderr);
    if (msg.level >= spdlog::level::warn) {
      Failure("library logged: " + std::string(msg.payload.data(), msg.payload.size()));
    }
  }
  void flush_() override { std::fflush(stderr); }
};

struct Usage {
  long rss_kib = 0;
  long threads = 0;
  long fds = 0;
};

Usage ReadUsage() {
  Usage u;
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") status >> u.rss_kib;
    if (key == "Threads:") status >> u.threads;
  }
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ++u.fds;
    }
    closedir(dir);
    --u.fds;  // the directory being read
  }
  return u;
}

struct Counters {
  std::atomic<long> rounds{0};
  std::atomic<long> rpc_rounds{0};
  std::atomic<std::int64_t> newest_stamp{0};
};

std::int64_t Stamp(const std::pair<std::int32_t, std::int32_t>& t) {
  return (static_cast<std::int64_t>(t.first) << 32) | static_cast<std::uint32_t>(t.second);
}

// One round of every stream read, with the checks a healthy dual-arm robot passes.
void StreamRound(const orbalt::kvt::Client& client, Counters& counters) {
  const auto groups = client.groups();
  const auto states = client.states();
  const auto actions = client.actions();
  if (groups.size() != 5) Failure("groups(): " + std::to_string(groups.size()) + " groups");
  const auto arm = states.find(JointGroup::ARM_1);
  if (arm == states.end() || arm->second.q.size() != 7) {
    Failure("states(): no 7-joint ARM_1 record");
  } else {
    const std::int64_t stamp = Stamp(arm->second.timestamp);
    std::int64_t seen = counters.newest_stamp.load();
    while (stamp > seen && !counters.newest_stamp.compare_exchange_weak(seen, stamp)) {
    }
  }
  const auto desired = actions.find(JointGroup::ARM_2);
  if (desired == actions.end() || desired->second.q_d.size() != 7) {
    Failure("actions(): no 7-joint ARM_2 record");
  }
  static_cast<void>(client.estop_released());
  static_cast<void>(client.enabling_device_on());
  static_cast<void>(client.digital_inputs());
  static_cast<void>(client.digital_outputs());
}

void RpcRound(const orbalt::kvt::Client& client) {
  // A probe waits 1 s at most; on a starved machine the robot may miss it, which is no fault of
  // the client. The summary counts them.
  if (!client.connected()) ++missed_probes;
  const auto plan = client.plan_info();
  if (plan.pt_name.empty()) Failure("plan_info(): no primitive name");
  if (client.primitive_states().empty()) Failure("primitive_states(): empty");
  if (client.configuration_score().empty()) Failure("configuration_score(): empty");
}

void Reader(const orbalt::kvt::Client& client, Counters& counters,
            std::atomic<std::int64_t>& next_rpc) {
  while (!stop.load() && failures.load() == 0) {
    try {
      StreamRound(client, counters);
      ++counters.rounds;
      const std::int64_t now = Clock::now().time_since_epoch().count();
      std::int64_t due = next_rpc.load();
      if (now >= due && next_rpc.compare_exchange_strong(
                            due, now + std::chrono::nanoseconds(kRpcPeriod).count())) {
        RpcRound(client);
        ++counters.rpc_rounds;
      }
    } catch (const std::exception& e) {
      Failure(std::string("exception: ") + e.what());
    }
    std::this_thread::sleep_for(kRoundPause);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s SERIAL_NUMBER MINUTES [WARMUP_SECONDS]\n", argv[0]);
    return 2;
  }
  const double minutes = std::stod(argv[2]);
  const auto duration = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double, std::ratio<60>>(minutes));
  const auto warmup = std::chrono::seconds(argc > 3 ? std::stol(argv[3]) : 60);

  auto logger = std::make_shared<spdlog::logger>("soak", std::make_shared<CountingSink>());
  logger->set_level(spdlog::level::info);
  spdlog::set_default_logger(logger);

  std::unique_ptr<orbalt::kvt::Client> client;
  try {
    client = std::make_unique<orbalt::kvt::Client>(argv[1], false);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "soak: cannot connect: %s\n", e.what());
    return 1;
  }

  Counters counters;
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = start + duration;
  std::atomic<std::int64_t> next_rpc{0};
  const Usage first = ReadUsage();
  std::printf("soak: %d reader threads for %.1f min, warm-up %lld s\n", kReaders, minutes,
              static_cast<long long>(warmup.count()));
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i) {
    readers.emplace_back(Reader, std::cref(*client), std::ref(counters), std::ref(next_rpc));
  }

  Usage warm_max{};
  Usage baseline{};
  Usage last{};
  bool warmed = false;
  std::int64_t previous_stamp = -1;
  for (Clock::time_point next = start + kSamplePeriod; failures.load() == 0;
       next += kSamplePeriod) {
    while (Clock::now() < std::min(next, end) && failures.load() == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (failures.load() != 0) break;
    const bool final_sample = Clock::now() >= end;
    last = ReadUsage();
    const long elapsed =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
    const std::int64_t stamp = counters.newest_stamp.load();
    std::printf("soak: t=%5ld s rss=%ld KiB threads=%ld fds=%ld rounds=%ld rpc=%ld\n", elapsed,
                last.rss_kib, last.threads, last.fds, counters.rounds.load(),
                counters.rpc_rounds.load());
    std::fflush(stdout);
    if (stamp == previous_stamp) Failure("the basic stream stopped advancing");
    previous_stamp = stamp;
    if (Clock::now() - start <= warmup) {
      warm_max.rss_kib = std::max(warm_max.rss_kib, last.rss_kib);
      warm_max.threads = std::max(warm_max.threads, last.threads);
      warm_max.fds = std::max(warm_max.fds, last.fds);
      baseline = last;
      if (final_sample) break;
      continue;
    }
    if (!warmed) {
      warmed = true;
      if (baseline.rss_kib == 0) baseline = warm_max = last;  // a warm-up shorter than a sample
    }
    if (last.threads > warm_max.threads) Growth("threads grew to " + std::to_string(last.threads));
    if (last.fds > warm_max.fds) Growth("descriptors grew to " + std::to_string(last.fds));
    if (last.rss_kib > baseline.rss_kib + kRssSlackKiB) {
      Growth("resident memory grew from " + std::to_string(baseline.rss_kib) + " to " +
             std::to_string(last.rss_kib) + " KiB");
    }
    if (final_sample) break;
  }
  stop = true;
  for (auto& t : readers) t.join();
  client.reset();

  std::printf(
      "soak: start rss=%ld KiB threads=%ld fds=%ld; after warm-up rss=%ld KiB threads=%ld "
      "fds=%ld; end rss=%ld KiB threads=%ld fds=%ld\n",
      first.rss_kib, first.threads, first.fds, baseline.rss_kib, baseline.threads, baseline.fds,
      last.rss_kib, last.threads, last.fds);
  std::printf(
      "soak: %ld stream rounds, %ld RPC rounds (%ld probes unanswered), %ld failures, %ld "
      "growth samples\n",
      counters.rounds.load(), counters.rpc_rounds.load(), missed_probes.load(), failures.load(),
      growth.load());
  if (!warmed && failures.load() == 0) {
    std::printf("soak: the run ended inside the warm-up; growth was not judged\n");
  }
  return failures.load() == 0 && growth.load() == 0 ? 0 : 1;
}
