// kx-service's cost: the time a request adds over a direct call of the same
// export (medians), requests per second with 8 clients, and the service's
// resident memory and open descriptors before and after 10,000 requests.
// kx-sim unpaced on a pseudo-terminal, kx-service on a free loopback port;
// prints the README's table. Run by hand: build-release/bench/service_bench.
#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "KX_ICCReader.h"
#include "tools/child_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using kx::tools::ChildProcess;

int port = 0;

int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

// One request on its own connection; the status code (0: none).
int Request(const std::string& method, const std::string& path, const std::string& extra = "",
            const std::string& body = "") {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return 0;
  }
  std::string raw =
      method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" + extra;
  if (!body.empty()) {
    raw +=
        "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  }
  raw += "\r\n" + body;
  send(s, raw.data(), raw.size(), MSG_NOSIGNAL);
  std::string answer;
  char buffer[4096];
  for (ssize_t n; (n = recv(s, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, n);
  close(s);
  return answer.size() > 12 ? std::atoi(answer.c_str() + 9) : 0;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

long StatusKb(int pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(std::string(field) + ":", 0) == 0)
      return std::atol(line.c_str() + line.find(':') + 1);
  }
  return -1;
}

int Descriptors(int pid) {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return -1;
  int n = 0;
  while (readdir(dir) != nullptr) ++n;
  closedir(dir);
  return n - 2;
}

}  // namespace

int main() {
  ChildProcess sim, service;
  std::string error;
  if (!sim.Start({KX_SIM_PATH}, ChildProcess::kStdout, &error)) {
    std::fprintf(stderr, "kx-sim: %s\n", error.c_str());
    return 1;
  }
  const std::string device =
      kx::tools::SimulatorDevicePath(sim.ReadLine(ChildProcess::kStdout, 5000));
  port = FreePort();
  if (!service.Start({KX_SERVICE_PATH, "--port", std::to_string(port), "--device", device,
                      "--config", "/dev/null"},
                     ChildProcess::kStdout, &error) ||
      service.ReadLine(ChildProcess::kStdout, 5000).find("listening") == std::string::npos) {
    std::fprintf(stderr, "kx-service did not start: %s\n", error.c_str());
    return 1;
  }
  KXSetComDevice(1, device.c_str());

  // The same export directly and through the service, alternately.
  constexpr int kRuns = 200;
  std::vector<double> direct, served, empty;
  for (int i = 0; i < kRuns; ++i) {
    char number[KX_CARD_NUMBER_SIZE], code[KX_IDENTIFICATION_CODE_SIZE],
        organisation[KX_ORGANISATION_NUMBER_SIZE];
    auto start = Clock::now();
    if (KXReadCardIDAIO(number, code, organisation) != 0)
      std::fprintf(stderr, "direct call failed\n");
    direct.push_back(MsSince(start));
    start = Clock::now();
    if (Request("GET", "/v1/card/identity") != 200) std::fprintf(stderr, "request failed\n");
    served.push_back(MsSince(start));
    start = Clock::now();
    Request("GET", "/v1/");
    empty.push_back(MsSince(start));
  }

  // 8 clients at once.
  auto rate = [](const std::string& path, double seconds) {
    std::atomic<long> done{0}, failed{0};
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    std::vector<std::thread> clients;
    const auto start = Clock::now();
    for (int c = 0; c < 8; ++c) {
      clients.emplace_back([&] {
        while (Clock::now() < end) (Request("GET", path) == 200 ? done : failed)++;
      });
    }
    for (auto& t : clients) t.join();
    return std::make_pair(done / std::chrono::duration<double>(Clock::now() - start).count(),
                          failed.load());
  };
  const auto [cardRate, cardFailed] = rate("/v1/card/identity", 5);
  const auto [plainRate, plainFailed] = rate("/v1/", 5);

  // 10,000 requests of every kind: memory and descriptors before and after.
  const int pid = service.pid();
  int failures = 0;
  auto soak = [&](int count) {
    for (int i = 0; i < count; ++i) {
      int status = 0;
      switch (i % 5) {
        case 0:
          status = Request("GET", "/v1/");
          failures += status != 200;
          break;
        case 1:
          status = Request("GET", "/v1/card/identity");
          failures += status != 200;
          break;
        case 2:
          status = Request("GET", "/v1/reader", "Origin: http://evil.example\r\n");
          failures += status != 403;
          break;
        case 3:
          status = Request("POST", "/v1/pin/verify", "", "{\"pin\":");
          failures += status != 400;
          break;
        case 4:
          status = Request("GET", "/v1/card/files/3F00/EF05");
          failures += status != 200;
          break;
      }
    }
  };
  // A first round settles what the process keeps for good (each worker
  // thread's stack pages and allocator arena).
  soak(2000);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const long rssStart = StatusKb(pid, "VmRSS");
  const int fdsStart = Descriptors(pid);
  const auto soakStart = Clock::now();
  soak(10000);
  // The last connection's worker may still be closing it.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const long rssTenThousand = StatusKb(pid, "VmRSS");
  soak(10000);
  const double soakS = MsSince(soakStart) / 1000 - 0.2;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const long rssEnd = StatusKb(pid, "VmRSS");
  const int fdsEnd = Descriptors(pid);

  std::printf("\n| what | median ms |\n| --- | ---: |\n");
  std::printf("| KXReadCardIDAIO, direct | %.2f |\n", Median(direct));
  std::printf("| GET /v1/card/identity | %.2f |\n", Median(served));
  std::printf("| overhead per request | %.2f |\n", Median(served) - Median(direct));
  std::printf("| GET /v1/ (no card) | %.3f |\n", Median(empty));
  std::printf("\n| 8 clients | requests/s | failed |\n| --- | ---: | ---: |\n");
  std::printf("| GET /v1/card/identity | %.0f | %ld |\n", cardRate, cardFailed);
  std::printf("| GET /v1/ | %.0f | %ld |\n", plainRate, plainFailed);
  std::printf(
      "\n| requests | wall s | failures | RSS kB: start | after 10,000 | after 20,000 "
      "| fds: start | end |\n| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |\n");
  std::printf("| 2 x 10,000 | %.1f | %d | %ld | %ld | %ld | %d | %d |\n", soakS, failures, rssStart,
              rssTenThousand, rssEnd, fdsStart, fdsEnd);
  return 0;
}
