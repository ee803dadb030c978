// A reader pulled out in the middle of a call: the call ends when the device
// goes, with the link's failure code, and the next call finds the port
// closed instead of waiting for a reader that is not there.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "KX_ICCReader.h"
#include "core/state.h"
#include "link/deadline.h"
#include "sim/user_card.h"
#include "tests/support/gbk.h"
#include "tests/support/sim_fixture.h"

namespace kx {
namespace {

using test::Utf8;

using ReaderPulledOut = test::SimFixture;

int GetChallenge() {
  const unsigned char command[] = {0x00, 0x84, 0x00, 0x00, 0x08};
  unsigned char reply[KX_APDU_REPLY_SIZE] = {};
  int length = 0;
  return KXRunApdu(0, sizeof command, command, &length, reply);
}

TEST_F(ReaderPulledOut, TheCallEndsWhenTheDeviceGoesAndTheNextFindsNoPort) {
  struct Case {
    const char* name;
    void (*arrange)(sim::Reader&);
    std::uint32_t pulledAfterMs;
    const char* text;
  };
  const Case cases[] = {
      {"before the command", nullptr, 0, "发送数据失败"},
      {"while the reader is silent", [](sim::Reader& r) { r.faults().silent = true; }, 300,
       "接收数据失败，返回：-2"},
      {"between two pieces of the reply",
       [](sim::Reader& r) {
         r.faults().splitInto = 2;
         r.faults().splitGapMs = 60;
       },
       30, "接收数据失败，返回：-2"},
  };
  for (const bool escapeKey : {true, false}) {
    for (const Case& c : cases) {
      const std::string row = std::string(c.name) + (escapeKey ? ", with" : ", without") + " key";
      ResetLibraryForTests();
      platform::SetBackend(&backend);
      backend.Attach(1, &reader);
      backend.SetEscapeKey(escapeKey);
      reader.ClearFaults();
      reader.Insert(0, std::make_shared<sim::UserCard>());
      ASSERT_EQ(KXReaderInitTest(1, 9600), 0) << row;
      char status = 0;
      ASSERT_EQ(GetReaderStatus(0, &status), 0) << row;
      if (c.arrange != nullptr) c.arrange(reader);

      const std::uint32_t start = backend.Now();
      const int waitsBefore = backend.WaitCalls() + backend.SleepCalls();
      backend.PullOutAt(1, start + c.pulledAfterMs);
      EXPECT_EQ(GetChallenge(), -2) << row;
      EXPECT_EQ(backend.Now() - start, c.pulledAfterMs) << row;
      // Waits in slices where a key is watched, else in one piece; never a
      // loop on a port that answers at once.
      const int slices =
          escapeKey ? static_cast<int>(c.pulledAfterMs / deadline::kMaxWaitSliceMs) : 0;
      EXPECT_LE(backend.WaitCalls() + backend.SleepCalls() - waitsBefore, slices + 3) << row;
      EXPECT_EQ(Utf8(ErrorText), c.text) << row;
      EXPECT_FALSE(SerialPortOpen) << row;
      EXPECT_FALSE(backend.IsOpen(1)) << row;

      // The next call fails at once, without touching the device.
      const std::size_t writes = backend.Writes(1).size();
      EXPECT_EQ(GetChallenge(), -2) << row;
      EXPECT_EQ(Utf8(ErrorText), "发送数据失败") << row;
      EXPECT_EQ(backend.Now() - start, c.pulledAfterMs) << row;
      EXPECT_EQ(backend.Writes(1).size(), writes) << row;

      // Plugged back in, the reader opens and answers again.
      reader.ClearFaults();
      backend.Attach(1, &reader);
      ASSERT_EQ(KXReaderInitTest(1, 9600), 0) << row;
      EXPECT_EQ(GetReaderStatus(0, &status), 0) << row;
      EXPECT_EQ(status, '2') << row;
    }
  }
}

}  // namespace
}  // namespace kx
