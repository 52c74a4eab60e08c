// Load: 200 verified clients at once, each greeting, then 100 secret round
// trips and 5 tool runs. No request may fail, and the broker must hold no
// more descriptors or threads once they have left. Prints p50/p99 latency.
#include <dirent.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "harness.h"

using namespace kwtest;

namespace {

// What the broker's descriptors name, for the failure message.
std::string describeDescriptors(const std::string& directory) {
  std::string text;
  if (DIR* dir = ::opendir(directory.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      char target[256] = {};
      ::readlink((directory + "/" + entry->d_name).c_str(), target, sizeof target - 1);
      text += std::string(entry->d_name) + " -> " + target + "\n";
    }
    ::closedir(dir);
  }
  return text;
}

// The broker's descriptors other than the wake-up eventfds of GLib's own
// worker contexts (sockets, pipes, pid descriptors and files all count).
int countDescriptors(const std::string& proc) {
  int count = 0;
  std::string listing = describeDescriptors(proc + "/fd");
  for (std::size_t at = 0; (at = listing.find('\n', at)) != std::string::npos; ++at) ++count;
  for (std::size_t at = 0; (at = listing.find("[eventfd]", at)) != std::string::npos; ++at) --count;
  return count;
}

// The broker's own threads: the accept loop, the watchdog and one per
// connection (GLib's worker threads carry names of their own and come and go).
int countThreads(const std::string& proc) {
  int count = 0;
  if (DIR* dir = ::opendir((proc + "/task").c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      std::string name = readFile(proc + "/task/" + entry->d_name + "/comm");
      count += name.starts_with("keywarden");
    }
    ::closedir(dir);
  }
  return count;
}

}  // namespace

TEST(BrokerLoad, TwoHundredClients) {
  if (testBundle().empty()) GTEST_SKIP() << "needs root for the test bundle";
  Broker broker;
  ASSERT_GT(broker.start(), 0);
  std::string proc = "/proc/" + std::to_string(broker.pid);
  {
    // Warm up the store connection and the launcher before counting.
    KW_VERIFIED(warm, broker);
    EXPECT_EQ(warm.request({{"op", "secret.set"}, {"name", "warm"}, {"value", "w"}})["ok"], true);
    EXPECT_EQ(warm.request({{"op", "secret.get"}, {"name", "warm"}})["ok"], true);
    EXPECT_EQ(runTool(warm, {{"op", "run"}, {"tool", "/bin/echo"}}).reply["exit"], 0);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int fdsBefore = countDescriptors(proc), threadsBefore = countThreads(proc);
  std::string descriptorsBefore = describeDescriptors(proc + "/fd");

  const char* override = std::getenv("KEYWARDEN_LOAD_CLIENTS");  // for quick local runs
  const int clients = override ? std::atoi(override) : 200;
  std::atomic<int> failures{0};
  std::mutex latencyLock;
  std::vector<double> latencies;
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      std::optional<Stream> stream = connectVerified(broker.socketPath);
      std::vector<double> mine;
      auto timed = [&](const json::Value& request, bool isRun) {
        auto started = std::chrono::steady_clock::now();
        json::Value reply = isRun ? runTool(*stream, request).reply : stream->request(request);
        mine.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
        if (!reply.is_object() || reply.value("ok", false) != true) ++failures;
        return reply;
      };
      std::string name = "load-" + std::to_string(i);
      timed({{"op", "hello"}, {"v", 1}}, false);
      for (int k = 0; k < 100; ++k) {
        if (k % 2 == 0) {
          timed({{"op", "secret.set"}, {"name", name}, {"value", std::to_string(k)}}, false);
        } else if (timed({{"op", "secret.get"}, {"name", name}}, false).value("value", "") != std::to_string(k - 1)) {
          ++failures;
        }
      }
      for (int k = 0; k < 5; ++k) timed({{"op", "run"}, {"tool", "/bin/echo"}, {"args", {name}}}, true);
      std::lock_guard lock(latencyLock);
      latencies.insert(latencies.end(), mine.begin(), mine.end());
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_EQ(latencies.size(), std::size_t(clients) * 106);

  // The connection threads end just after their clients.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (countThreads(proc) > threadsBefore && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(countDescriptors(proc), fdsBefore) << descriptorsBefore << "now:\n" << describeDescriptors(proc + "/fd");
  EXPECT_EQ(countThreads(proc), threadsBefore);
  EXPECT_EQ(threadsBefore, 2);

  std::sort(latencies.begin(), latencies.end());
  auto percentile = [&](double p) { return latencies[std::size_t(p * double(latencies.size() - 1))]; };
  std::printf("keywarden load: %zu requests, p50 %.2f ms, p99 %.2f ms, max %.2f ms; fds %d, threads %d\n",
              latencies.size(), percentile(0.50), percentile(0.99), latencies.back(), fdsBefore, threadsBefore);
}
