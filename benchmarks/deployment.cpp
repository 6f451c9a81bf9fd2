// Stream latency, intake CPU and construction time against robots that are already running
// (scripts/bench starts them, directly reachable or behind a router). Run through scripts/netns.
//
//   deployment latency SECONDS SN...   publish-to-visible: the library's subscriber path (decode,
//                                      publish as newest sample) next to a raw subscriber of the
//                                      same session that reads only the timestamp; the two take
//                                      turns every 0.5 s; then both at once, and two raw ones at
//                                      once (what being second in line costs by itself). Robots
//                                      must run with --stamp-send-time.
//   deployment intake SECONDS SN...    CPU share of this process holding one Client per robot,
//                                      each read ten times a second; a read that fails or shows
//                                      no newer sample than 100 ms before counts as an error
//   deployment transport SECONDS SN... the same for plain subscribers of the transport that only
//                                      count samples: the transport's own share
//   deployment construct N SN          Client construction, N times, next to opening a session
//                                      and getting the first reply from the robot's service
//
// Prints a summary and a last line "json: {...}" for scripts/bench.
#include <spdlog/spdlog.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "messages/rpc_messages.hpp"
#include "messages/stream_messages.hpp"
#include "middleware/nodes.hpp"
#include "middleware/subscriber.hpp"
#include "orbaltkvt.hpp"
#include "raw_query.hpp"
#include "stream/data_stream.hpp"
#include "stream/data_stream_access.hpp"
#include "zenoh.hxx"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using orbalt::zenoh_msgs::kvt_msg::AllBasicStreamData;

std::string BasicTopic(const std::string& sn) {
  return "orbalt/robot/" + sn + "/basic_stream_data";
}

class Recorder {
 public:
  // Records the microseconds from the sample's send time (its timestamp) to now, on the wall
  // clock.
  void Add(std::int64_t sec, std::uint32_t nsec, int robot) {
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    const std::int64_t sent = sec * 1'000'000'000 + nsec;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!recording_) return;
    us_.push_back(static_cast<double>(now - sent) / 1000.0);
    sent_.emplace_back(sent, robot);
  }
  // Per sample seen by both recorders: this one's age minus the other's.
  std::vector<double> DifferenceTo(const Recorder& other) const {
    std::map<std::pair<std::int64_t, int>, double> theirs;
    for (std::size_t i = 0; i < other.sent_.size(); ++i) theirs[other.sent_[i]] = other.us_[i];
    std::vector<double> out;
    for (std::size_t i = 0; i < sent_.size(); ++i) {
      const auto it = theirs.find(sent_[i]);
      if (it != theirs.end()) out.push_back(us_[i] - it->second);
    }
    return out;
  }
  void Recording(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    recording_ = on;
  }
  std::vector<double> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.clear();
    return std::move(us_);
  }

 private:
  std::mutex mutex_;
  std::vector<double> us_;
  std::vector<std::pair<std::int64_t, int>> sent_;  // send time and robot of each figure
  bool recording_ = false;
};

double Quantile(std::vector<double> v, double q) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(v.size())));
  return v[std::min(v.size() - 1, rank == 0 ? 0 : rank - 1)];
}

// The library's intake of the basic stream, with the moment a sample becomes visible to readers
// recorded: the typed subscriber decodes into the stream's buffer and the stream publishes it
// as its newest sample, exactly as DataStream::Init wires it.
class LibraryPath {
 public:
  LibraryPath(const std::shared_ptr<zenoh::Session>& session, const std::string& sn, int robot,
              Recorder& recorder) {
    auto& buffer = orbalt::kvt_impl::DataStreamTestAccess::BasicBuffer(stream_);
    subscriber_ = std::make_shared<orbalt::zenoh_mdw::Subscriber<AllBasicStreamData>>(
        session,
        [this, &buffer, &recorder, robot] {
          stream_.BasicSubCallback();
          recorder.Add(buffer.timestamp.first, buffer.timestamp.second, robot);
        },
        buffer, BasicTopic(sn));
  }

 private:
  orbalt::kvt_impl::DataStream stream_;
  std::shared_ptr<orbalt::zenoh_mdw::Subscriber<AllBasicStreamData>> subscriber_;
};

// The reference: a plain subscriber that takes the timestamp from the payload's last 8 bytes.
zenoh::Subscriber<void> RawPath(const std::shared_ptr<zenoh::Session>& session,
                                const std::string& sn, int robot, Recorder& recorder) {
  return session->declare_subscriber(
      zenoh::KeyExpr(BasicTopic(sn)),
      [&recorder, robot](const zenoh::Sample& sample) {
        const auto& payload = sample.get_payload();
        if (payload.size() < 8) return;
        std::int32_t sec = 0;
        std::uint32_t nsec = 0;
        std::memcpy(&sec, payload.data() + payload.size() - 8, 4);
        std::memcpy(&nsec, payload.data() + payload.size() - 4, 4);
        recorder.Add(sec, nsec, robot);
      },
      [] {});
}

// Both recorders on the same samples for `seconds` (at least 1 s): per sample, the age `later`
// saw minus the one `first` saw.
std::vector<double> RecordPaired(Recorder& first, Recorder& later, double seconds) {
  std::this_thread::sleep_for(20ms);
  first.Recording(true);
  later.Recording(true);
  std::this_thread::sleep_for(std::chrono::duration<double>(std::max(1.0, seconds)));
  later.Recording(false);
  first.Recording(false);
  return later.DifferenceTo(first);
}

int Latency(double seconds, const std::vector<std::string>& sns) {
  orbalt::zenoh_mdw::RealtimeNode node;
  Recorder library;
  Recorder raw;
  // Discovery and the first samples, outside the measurement.
  {
    std::vector<std::unique_ptr<LibraryPath>> warm;
    for (std::size_t i = 0; i < sns.size(); ++i)
      warm.push_back(
          std::make_unique<LibraryPath>(node.session_, sns[i], static_cast<int>(i), library));
    std::this_thread::sleep_for(1500ms);
  }
  const auto phase = 500ms;
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(seconds));
  for (int turn = 0; Clock::now() < end; ++turn) {
    if (turn % 2 == 0) {
      std::vector<std::unique_ptr<LibraryPath>> paths;
      for (std::size_t i = 0; i < sns.size(); ++i)
        paths.push_back(
            std::make_unique<LibraryPath>(node.session_, sns[i], static_cast<int>(i), library));
      std::this_thread::sleep_for(20ms);
      library.Recording(true);
      std::this_thread::sleep_for(phase);
      library.Recording(false);
    } else {
      std::vector<zenoh::Subscriber<void>> subs;
      for (std::size_t i = 0; i < sns.size(); ++i)
        subs.push_back(RawPath(node.session_, sns[i], static_cast<int>(i), raw));
      std::this_thread::sleep_for(20ms);
      raw.Recording(true);
      std::this_thread::sleep_for(phase);
      raw.Recording(false);
    }
  }
  const auto a = library.Take();
  const auto b = raw.Take();
  // Both paths on the same samples: the raw subscriber is declared first, so zenoh hands it each
  // sample first and the library's figure includes the few nanoseconds it takes.
  std::vector<double> added;
  {
    std::vector<zenoh::Subscriber<void>> subs;
    for (std::size_t i = 0; i < sns.size(); ++i)
      subs.push_back(RawPath(node.session_, sns[i], static_cast<int>(i), raw));
    std::vector<std::unique_ptr<LibraryPath>> paths;
    for (std::size_t i = 0; i < sns.size(); ++i)
      paths.push_back(
          std::make_unique<LibraryPath>(node.session_, sns[i], static_cast<int>(i), library));
    added = RecordPaired(raw, library, seconds / 3);
  }
  // What being second in line costs by itself: two raw subscribers on the same samples.
  std::vector<double> second;
  {
    Recorder first_raw;
    Recorder second_raw;
    std::vector<zenoh::Subscriber<void>> subs;
    for (std::size_t i = 0; i < sns.size(); ++i)
      subs.push_back(RawPath(node.session_, sns[i], static_cast<int>(i), first_raw));
    for (std::size_t i = 0; i < sns.size(); ++i)
      subs.push_back(RawPath(node.session_, sns[i], static_cast<int>(i), second_raw));
    second = RecordPaired(first_raw, second_raw, seconds / 3);
  }
  const double d50 = Quantile(added, 0.5), d99 = Quantile(added, 0.99);
  const double s50 = Quantile(second, 0.5);
  const double a50 = Quantile(a, 0.5), a99 = Quantile(a, 0.99);
  const double b50 = Quantile(b, 0.5), b99 = Quantile(b, 0.99);
  std::printf("publish-to-visible over %zu robot(s), %.0f s, paths taking turns\n", sns.size(),
              seconds);
  std::printf("%-34s %8s %10s %10s\n", "", "n", "p50 [us]", "p99 [us]");
  std::printf("%-34s %8zu %10.1f %10.1f\n", "library (decode + newest sample)", a.size(), a50, a99);
  std::printf("%-34s %8zu %10.1f %10.1f\n", "raw subscriber (timestamp only)", b.size(), b50, b99);
  std::printf("%-34s %8zu %10.2f %10.2f\n", "added, same samples (paired)", added.size(), d50, d99);
  std::printf("%-34s %8zu %10.2f %10.2f\n", "second raw subscriber (paired)", second.size(), s50,
              Quantile(second, 0.99));
  std::printf(
      "json: {\"library_n\": %zu, \"library_p50_us\": %.2f, \"library_p99_us\": %.2f, "
      "\"raw_n\": %zu, \"raw_p50_us\": %.2f, \"raw_p99_us\": %.2f, \"paired_n\": %zu, "
      "\"added_p50_us\": %.3f, \"added_p99_us\": %.3f, \"second_p50_us\": %.3f}\n",
      a.size(), a50, a99, b.size(), b50, b99, added.size(), d50, d99, s50);
  return a.empty() || b.empty() ? 1 : 0;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto tv = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return tv(usage.ru_utime) + tv(usage.ru_stime);
}

int Intake(double seconds, const std::vector<std::string>& sns) {
  std::vector<std::unique_ptr<orbalt::kvt::Client>> clients;
  for (const auto& sn : sns) clients.push_back(std::make_unique<orbalt::kvt::Client>(sn, false));
  std::this_thread::sleep_for(1s);
  struct Seen {
    std::pair<std::int32_t, std::int32_t> timestamp{};
    Clock::time_point changed = Clock::now();
  };
  std::vector<Seen> seen(clients.size());
  long reads = 0;
  long errors = 0;
  const double cpu0 = CpuSeconds();
  const auto t0 = Clock::now();
  const auto end =
      t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  auto next = t0;
  while (Clock::now() < end) {
    next += 100ms;
    std::this_thread::sleep_until(next);
    const auto now = Clock::now();
    for (std::size_t i = 0; i < clients.size(); ++i) {
      ++reads;
      try {
        const auto states = clients[i]->states();
        const auto all = states.find(orbalt::kvt::JointGroup::ALL);
        if (all == states.end()) {
          ++errors;
          continue;
        }
        if (all->second.timestamp != seen[i].timestamp) {
          seen[i] = {all->second.timestamp, now};
        } else if (now - seen[i].changed > 100ms) {
          ++errors;
        }
      } catch (const std::exception& e) {
        std::fprintf(stderr, "read of %s failed: %s\n", sns[i].c_str(), e.what());
        ++errors;
      }
    }
  }
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const double share = 100.0 * (CpuSeconds() - cpu0) / wall;
  std::printf("intake of %zu robot(s) for %.0f s: %.2f %% of one core, %ld reads, %ld errors\n",
              clients.size(), wall, share, reads, errors);
  std::printf("json: {\"cpu_percent\": %.3f, \"reads\": %ld, \"errors\": %ld}\n", share, reads,
              errors);
  return 0;
}

// The transport's own share: plain subscribers to both streams of every robot that only count.
int TransportIntake(double seconds, const std::vector<std::string>& sns) {
  orbalt::zenoh_mdw::RealtimeNode node;
  std::atomic<long> samples{0};
  std::vector<zenoh::Subscriber<void>> subs;
  for (const auto& sn : sns) {
    for (const char* stream : {"/basic_stream_data", "/extra_stream_data"}) {
      subs.push_back(node.session_->declare_subscriber(
          zenoh::KeyExpr("orbalt/robot/" + sn + stream),
          [&samples](const zenoh::Sample&) { samples.fetch_add(1, std::memory_order_relaxed); },
          [] {}));
    }
  }
  std::this_thread::sleep_for(1s);
  const long before = samples.load();
  const double cpu0 = CpuSeconds();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  const double share = 100.0 * (CpuSeconds() - cpu0) / wall;
  const long got = samples.load() - before;
  std::printf(
      "plain subscribers of the transport, %zu robot(s), %.0f s: %.2f %% of one core, "
      "%ld samples\n",
      sns.size(), wall, share, got);
  std::printf("json: {\"cpu_percent\": %.3f, \"samples\": %ld}\n", share, got);
  return got > 0 ? 0 : 1;
}

// A fresh session and the first reply of the robot's service to a probe: the floor under what
// construction has to do before it can ask anything.
double RawFirstReplyMs(const std::string& sn) {
  const auto start = Clock::now();
  auto session =
      std::make_shared<zenoh::Session>(zenoh::Session::open(zenoh::Config::create_default()));
  orbalt::bench::RawQuery probe(session, "orbalt/robot/" + sn + "/rpc",
                                orbalt::zenoh_msgs::kvt_msg::kRpcConnectionProbe, 1000);
  std::chrono::nanoseconds took{};
  for (int attempt = 0; attempt < 100 && !probe.Run(took); ++attempt) {
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int Construct(int times, const std::string& sn) {
  std::vector<double> client_ms;
  std::vector<double> raw_ms;
  for (int i = 0; i < times; ++i) {
    raw_ms.push_back(RawFirstReplyMs(sn));
    const auto start = Clock::now();
    { orbalt::kvt::Client client(sn, false); }
    client_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  const double a = Quantile(client_ms, 0.5);
  const double b = Quantile(raw_ms, 0.5);
  std::printf("construction, median of %d: Client %.1f ms; session + first reply %.1f ms\n", times,
              a, b);
  std::printf("json: {\"client_ms\": %.2f, \"raw_ms\": %.2f}\n", a, b);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("ORBALTKVT_IN_NETNS") == nullptr) {
    std::fprintf(stderr, "run through scripts/netns\n");
    return 1;
  }
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s latency|intake SECONDS SN... | construct N SN\n", argv[0]);
    return 2;
  }
  spdlog::set_level(spdlog::level::warn);
  const std::string mode = argv[1];
  const std::vector<std::string> sns(argv + 3, argv + argc);
  try {
    if (mode == "latency") return Latency(std::atof(argv[2]), sns);
    if (mode == "intake") return Intake(std::atof(argv[2]), sns);
    if (mode == "transport") return TransportIntake(std::atof(argv[2]), sns);
    if (mode == "construct") return Construct(std::atoi(argv[2]), sns.front());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}
