// A scripted device and a fixture for the link tests: the link on the
// simulated platform with scripted devices on COM1 and COM2.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <deque>
#include <ostream>
#include <string>
#include <vector>

#include "link/link_result.h"
#include "link/reader_port.h"
#include "platform/platform.h"
#include "platform/sim/sim_backend.h"
#include "sim/wire.h"

namespace kx::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes B(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// Answers each host write with the next scripted reply (or with nothing once
// the script is used up) and keeps what the host wrote.
class ScriptedDevice : public kx::sim::SerialDevice {
 public:
  void Then(std::vector<kx::sim::ReplyChunk> reply) { replies_.push_back(std::move(reply)); }
  void ThenSilence() { replies_.push_back({}); }

  std::vector<kx::sim::ReplyChunk> OnHostBytes(const std::uint8_t* bytes, std::size_t n) override {
    received.emplace_back(bytes, bytes + n);
    if (replies_.empty()) return {};
    auto reply = std::move(replies_.front());
    replies_.pop_front();
    return reply;
  }

  std::vector<Bytes> received;

 private:
  std::deque<std::vector<kx::sim::ReplyChunk>> replies_;
};

inline kx::sim::ReplyChunk Chunk(std::uint32_t delayMs, const std::string& text) {
  return kx::sim::ReplyChunk{delayMs, B(text)};
}

}  // namespace kx::test

namespace kx {
inline void PrintTo(const LinkResult& r, std::ostream* os) {
  *os << "{status " << static_cast<int>(r.status) << ", count " << r.count << "}";
}
}  // namespace kx

namespace kx::test {

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLibraryForTests();
    platform::SetBackend(&backend);
    backend.Attach(1, &com1);
    backend.Attach(2, &com2);
  }
  void TearDown() override { ResetLibraryForTests(); }

  LinkResult OpenCom1() { return ReaderPort.Open(1, 9600, 8, 1); }

  // Writes a command, so the device answers with its next scripted reply.
  void Send(const std::string& command = "cmd") {
    const Bytes bytes = B(command);
    ASSERT_EQ(ReaderPort.Write(bytes.data(), static_cast<int>(bytes.size())),
              LinkDone(static_cast<int>(bytes.size())));
  }

  // Reads into `buffer`, noting how much virtual time the read took.
  LinkResult Read(int timeoutSeconds = 5) {
    buffer.fill(0xEE);
    const std::uint32_t start = backend.Now();
    const LinkResult read = ReaderPort.Read(buffer.data(), kReceiveSize, kEtx, timeoutSeconds);
    tookMs = backend.Now() - start;
    return read;
  }

  // The reply a read stored; "<failed>" when it failed.
  std::string Text(int n) const { return std::string(buffer.begin(), buffer.begin() + n); }
  std::string Text(const LinkResult& read) const {
    return read.ok() ? Text(read.count) : "<failed>";
  }

  static constexpr int kReceiveSize = 1024;
  platform::sim::SimBackend backend;
  ScriptedDevice com1;
  ScriptedDevice com2;
  std::array<std::uint8_t, kReceiveSize> buffer{};
  std::uint32_t tookMs = 0;
};

}  // namespace kx::test
