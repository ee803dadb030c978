// Calls from several host threads at once, against the in-process simulator:
// the library carries them out one after another, so each gives exactly
// what it gives alone. Built under ThreadSanitizer too, where any data race
// between the calls fails the run.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "KX_ICCReader.h"
#include "tests/integration/services_fixture.h"

namespace kx {
namespace {

// A call's code and everything it wrote for the caller.
struct Outcome {
  int code = 0;
  std::string output;
  bool operator==(const Outcome&) const = default;
};

Outcome RunApdu(const std::vector<unsigned char>& command) {
  unsigned char reply[KX_APDU_REPLY_SIZE] = {};
  int length = 0;
  const int code = KXRunApdu(0, static_cast<int>(command.size()), command.data(), &length, reply);
  return {code, std::string(reinterpret_cast<char*>(reply), static_cast<std::size_t>(length))};
}

struct Call {
  const char* name;
  Outcome (*run)();
};

const Call kCalls[] = {
    {"GetReaderStatus",
     [] {
       char status = 0;
       const int code = GetReaderStatus(0, &status);
       return Outcome{code, std::string(1, status)};
     }},
    {"GetReaderInfo",
     [] {
       char model[KX_READER_MODEL_SIZE] = {}, version[KX_READER_VERSION_SIZE] = {};
       const int code = GetReaderInfo(0, model, version);
       return Outcome{code, std::string(model) + "/" + version};
     }},
    {"KXRunApdu select MF",
     [] {
       return RunApdu({0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00});
     }},
    {"KXRunApduTest select MF",
     [] {
       char reply[KX_APDU_HEX_REPLY_SIZE] = {};
       const int code = KXRunApduTest(0, 14, "00A40000023F00", reply);
       return Outcome{code, reply};
     }},
    {"KXGetPsamID",
     [] {
       char id[KX_PSAM_ID_SIZE] = {};
       const int code = KXGetPsamID(0, id);
       return Outcome{code, id};
     }},
    {"KXReadInfo DF01 EF05 1",
     [] {
       unsigned char out[256] = {};
       const int code = KXReadInfo(0, "DF01", "EF05", 1, out);
       return Outcome{code, std::string(reinterpret_cast<char*>(out))};
     }},
    {"KXCheckKey UK1DF01",
     [] {
       return Outcome{KXCheckKey(0, "UK1DF01"), ""};
     }},
    {"KXCardVerifyPIN",
     [] {
       int retries = -1;
       const int code = KXCardVerifyPIN(0, "123456", &retries);
       return Outcome{code, std::to_string(retries)};
     }},
    {"KXGetErrMessage -4",
     [] {
       char message[KX_ERR_MESSAGE_SIZE] = {};
       const int code = KXGetErrMessage(-4, message);
       return Outcome{code, message};
     }},
    {"KXGetLibVer",
     [] {
       return Outcome{KXGetLibVer(), ""};
     }},
};
constexpr int kCallKinds = static_cast<int>(sizeof kCalls / sizeof kCalls[0]);

using Threads = test::ServicesFixture;

TEST_F(Threads, EachCallFromManyThreadsGivesWhatItGivesAlone) {
  struct Case {
    int threads;
    int callsEach;
  };
  const Case cases[] = {{4, 300}, {8, 150}};
  OpenReader();
  std::vector<Outcome> alone;
  for (const Call& call : kCalls) {
    alone.push_back(call.run());
    EXPECT_GE(alone.back().code, 0) << call.name << ": " << Message(-12);
  }
  for (const Case& c : cases) {
    std::vector<std::vector<std::string>> mismatches(static_cast<std::size_t>(c.threads));
    std::vector<std::thread> threads;
    for (int t = 0; t < c.threads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < c.callsEach; ++i) {
          // Each thread walks the calls in its own order.
          const int k = (t * 3 + i * (2 * t + 1)) % kCallKinds;
          const Outcome got = kCalls[k].run();
          if (!(got == alone[static_cast<std::size_t>(k)])) {
            mismatches[static_cast<std::size_t>(t)].push_back(std::string(kCalls[k].name) +
                                                              " gave " + std::to_string(got.code) +
                                                              " '" + got.output + "'");
          }
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < c.threads; ++t) {
      EXPECT_TRUE(mismatches[static_cast<std::size_t>(t)].empty())
          << c.threads << " threads, thread " << t << ": "
          << mismatches[static_cast<std::size_t>(t)].size() << " calls differ, first "
          << mismatches[static_cast<std::size_t>(t)].front();
    }
  }
}

}  // namespace
}  // namespace kx
