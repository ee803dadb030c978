// kx-service end to end: kx-sim on a pseudo-terminal, kx-service on a free
// loopback port mapped to it, and real HTTP over sockets. The reads a web
// page makes, the card's removal and insertion on the event stream, and the
// refusals over the wire, each of which must leave kx-sim's trace (every
// frame the reader sees) without a new line.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tools/child_process.h"

namespace {

using kx::tools::ChildProcess;
using Clock = std::chrono::steady_clock;

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

int Connect(int port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// Everything the server sends until it closes, or `ms` passes.
std::string ReadUntilClosed(int s, int ms) {
  std::string all;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  char buffer[4096];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{s, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
    const ssize_t n = recv(s, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    all.append(buffer, static_cast<std::size_t>(n));
  }
  return all;
}

struct Answer {
  int status = 0;
  std::string head, body;
};

Answer Parse(const std::string& raw) {
  Answer a;
  if (raw.size() > 12 && raw.starts_with("HTTP/1.1 ")) a.status = std::stoi(raw.substr(9, 3));
  const std::size_t end = raw.find("\r\n\r\n");
  a.head = raw.substr(0, end);
  if (end != std::string::npos) a.body = raw.substr(end + 4);
  return a;
}

class ServiceE2e : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    sim_ = new ChildProcess;
    ASSERT_TRUE(sim_->Start({KX_SIM_PATH, "--trace", "--console"},
                            ChildProcess::kStdin | ChildProcess::kStdout | ChildProcess::kStderr,
                            &error))
        << error;
    const std::string device =
        kx::tools::SimulatorDevicePath(sim_->ReadLine(ChildProcess::kStdout, 5000));
    ASSERT_FALSE(device.empty());
    config_ = std::string(::testing::TempDir()) + "kx-service-" + std::to_string(getpid());
    std::ofstream(config_) << "allow_origin = http://allowed.example\n"
                              "allow_typed_pin = true\nrequest_timeout_ms = 1000\n";
    port_ = FreePort();
    service_ = new ChildProcess;
    ASSERT_TRUE(service_->Start(
        {KX_SERVICE_PATH, "--port", std::to_string(port_), "--device", device, "--config", config_},
        ChildProcess::kStdout, &error))
        << error;
    const std::string line = service_->ReadLine(ChildProcess::kStdout, 5000);
    ASSERT_NE(line.find("listening on"), std::string::npos) << line;
  }
  static void TearDownTestSuite() {
    delete service_;
    delete sim_;
    std::remove(config_.c_str());
  }

  // One request on its own connection; the answer as the server closed it.
  static Answer Send(const std::string& raw, int ms = 10000) {
    const int s = Connect(port_);
    if (s < 0) return {};
    send(s, raw.data(), raw.size(), MSG_NOSIGNAL);
    const Answer a = Parse(ReadUntilClosed(s, ms));
    close(s);
    return a;
  }
  static std::string Host() { return "Host: 127.0.0.1:" + std::to_string(port_) + "\r\n"; }
  static Answer Get(const std::string& path, const std::string& headers = "") {
    return Send("GET " + path + " HTTP/1.1\r\n" + Host() + headers + "\r\n");
  }
  static Answer Post(const std::string& path, const std::string& body,
                     const std::string& headers = "Content-Type: application/json\r\n") {
    return Send("POST " + path + " HTTP/1.1\r\n" + Host() + headers +
                "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  }
  // What kx-sim printed since the last call (its trace, its console).
  static std::string SimSaid(int quietMs = 300) {
    return sim_->ReadAll(ChildProcess::kStderr, quietMs);
  }

  static ChildProcess* sim_;
  static ChildProcess* service_;
  static std::string config_;
  static int port_;
};

ChildProcess* ServiceE2e::sim_ = nullptr;
ChildProcess* ServiceE2e::service_ = nullptr;
std::string ServiceE2e::config_;
int ServiceE2e::port_ = 0;

TEST_F(ServiceE2e, ReadsTheBasicDataAPinGuardedItemAndTheIdentity) {
  Answer a = Get("/v1/card/files/3F00/EF05");
  EXPECT_EQ(a.status, 200) << a.body;
  EXPECT_NE(a.body.find(R"("name":"卡号","record":7,"value":"K12345678")"), std::string::npos)
      << a.body;
  a = Post("/v1/card/files/DF01/EF05/records/2", R"({"pin":"123456"})");
  EXPECT_EQ(a.status, 200) << a.body;
  EXPECT_NE(a.body.find("浙江省"), std::string::npos) << a.body;
  a = Get("/v1/card/identity", "Origin: http://allowed.example\r\n");
  EXPECT_EQ(a.status, 200) << a.body;
  EXPECT_NE(a.body.find(R"("cardNumber":"K12345678")"), std::string::npos) << a.body;
  EXPECT_NE(a.head.find("Access-Control-Allow-Origin: http://allowed.example"), std::string::npos);
  a = Post("/v1/pin/verify", R"({"pin":"654321"})");
  EXPECT_EQ(a.status, 403) << a.body;
  EXPECT_NE(a.body.find(R"("code":-11)"), std::string::npos) << a.body;
  EXPECT_NE(a.body.find("triesLeft"), std::string::npos) << a.body;
  a = Post("/v1/pin/verify", R"({"pin":"123456"})");  // the tries back to full
  EXPECT_EQ(a.status, 200) << a.body;
  EXPECT_FALSE(SimSaid().empty()) << "the reads reached the card";
}

TEST_F(ServiceE2e, RefusalsOverTheWireReachNoCard) {
  SimSaid();
  const std::string bigBody(20000, ' ');
  std::string headerFlood;
  for (int i = 0; i < 3000; ++i) headerFlood += "X-Flood-" + std::to_string(i) + ": x\r\n";
  const struct {
    const char* what;
    std::string raw;
    int status;
  } rows[] = {
      {"disallowed Origin",
       "GET /v1/card/identity HTTP/1.1\r\n" + Host() + "Origin: http://evil.example\r\n\r\n", 403},
      {"rebinding Host",
       "GET /v1/card/identity HTTP/1.1\r\nHost: attacker.example:" + std::to_string(port_) +
           "\r\n\r\n",
       421},
      {"write while writing is disabled",
       "PUT /v1/card/files/3F00/EF06/records/2 HTTP/1.1\r\n" + Host() +
           "Content-Type: application/json\r\nContent-Length: 13\r\n\r\n{\"value\":\"A\"}",
       403},
      {"malformed JSON",
       "POST /v1/pin/verify HTTP/1.1\r\n" + Host() +
           "Content-Type: application/json\r\nContent-Length: 7\r\n\r\n{\"pin\":",
       400},
      {"unknown field",
       "POST /v1/pin/verify HTTP/1.1\r\n" + Host() +
           "Content-Type: application/json\r\nContent-Length: 15\r\n\r\n"
           "{\"apdu\":\"00A4\"}",
       400},
      {"wrong type",
       "POST /v1/pin/verify HTTP/1.1\r\n" + Host() +
           "Content-Type: application/json\r\nContent-Length: 14\r\n\r\n"
           "{\"pin\":123456}",
       400},
      {"directory not four hex digits",
       "GET /v1/card/files/3F0/EF05 HTTP/1.1\r\n" + Host() + "\r\n", 400},
      {"oversized body",
       "POST /v1/pin/verify HTTP/1.1\r\n" + Host() +
           "Content-Type: application/json\r\nContent-Length: 20000\r\n\r\n" + bigBody,
       413},
      {"header flood", "GET /v1/reader HTTP/1.1\r\n" + Host() + headerFlood + "\r\n", 431},
      {"no request line", "\x16\x03\x01 TLS HELLO\r\n\r\n", 400},
      {"slow client", "GET /v1/card/identity HTTP/1.1\r\n" + Host() + "X-Slow: ", 408},
  };
  for (const auto& row : rows) {
    const auto start = Clock::now();
    const Answer a = Send(row.raw, 5000);
    EXPECT_EQ(a.status, row.status) << row.what << ": " << a.head << "\n" << a.body;
    EXPECT_NE(a.head.find("application/json"), std::string::npos) << row.what;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3)) << row.what;
  }

  // 500 connections at once, sending nothing: the service stays up, and a
  // request on the next connection is answered.
  std::vector<int> flood;
  for (int i = 0; i < 500; ++i) {
    const int s = Connect(port_);
    if (s >= 0) flood.push_back(s);
  }
  EXPECT_EQ(flood.size(), 500u);
  const auto start = Clock::now();
  const Answer a = Get("/v1/");
  EXPECT_EQ(a.status, 200) << a.body;
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  for (int s : flood) close(s);
  EXPECT_EQ(Get("/v1/").status, 200);
  EXPECT_EQ(SimSaid(), "") << "a refused request reached the reader";
}

TEST_F(ServiceE2e, TheEventStreamSeesTheCardRemovedAndInserted) {
  const int s = Connect(port_);
  ASSERT_GE(s, 0);
  const std::string request = "GET /v1/events HTTP/1.1\r\n" + Host() + "\r\n";
  send(s, request.data(), request.size(), MSG_NOSIGNAL);
  std::string seen;
  auto waitFor = [&](const std::string& state) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    const std::string line = "data: {\"state\":\"" + state + "\"}";
    while (Clock::now() < deadline) {
      if (seen.find(line) != std::string::npos) {
        seen.erase(0, seen.find(line) + line.size());
        return true;
      }
      char buffer[1024];
      pollfd p{s, POLLIN, 0};
      if (poll(&p, 1, 200) > 0) {
        const ssize_t n = recv(s, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        seen.append(buffer, static_cast<std::size_t>(n));
      }
    }
    return false;
  };
  EXPECT_TRUE(waitFor("present")) << seen;
  sim_->Write("remove 0\n");
  EXPECT_TRUE(waitFor("absent")) << seen;
  sim_->Write("insert 0\n");
  EXPECT_TRUE(waitFor("present")) << seen;
  close(s);
  // With no listener left the polling stops: the reader hears nothing more.
  SimSaid(3000);
  EXPECT_EQ(SimSaid(1200), "") << "the reader was polled with no client listening";
}

TEST_F(ServiceE2e, ASecondServiceOnTheSamePortExitsWithAMessage) {
  ChildProcess second;
  std::string error;
  ASSERT_TRUE(
      second.Start({KX_SERVICE_PATH, "--port", std::to_string(port_), "--config", "/dev/null"},
                   ChildProcess::kStderr, &error));
  const std::string said = second.ReadAll(ChildProcess::kStderr, 3000);
  EXPECT_NE(said.find("is in use"), std::string::npos) << said;
  EXPECT_EQ(second.Stop(0, 3000), 1);
}

}  // namespace
