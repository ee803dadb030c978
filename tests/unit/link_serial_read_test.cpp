// The serial read loop on the virtual clock: end byte, overall limit, idle
// rule, Escape, bounded buffer, and the waits it asks the platform for.
#include <gtest/gtest.h>

#include <algorithm>

#include "link/reader_port.h"
#include "tests/support/counting_backend.h"
#include "tests/unit/link_test_device.h"

namespace kx::test {
namespace {

// Every rule holds alike whether the waits are cut into slices to watch an
// Escape key (Windows) or made in one piece (POSIX, no key).
class SerialRead : public LinkTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    backend.SetEscapeKey(GetParam());
    ASSERT_TRUE(OpenCom1().ok());
  }
};

INSTANTIATE_TEST_SUITE_P(EscapeKey, SerialRead, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "WithKey" : "WithoutKey";
                         });

class SerialReadWithEscapeKey : public LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    ASSERT_TRUE(OpenCom1().ok());
  }
};

TEST_P(SerialRead, OneChunkReply) {
  com1.Then({Chunk(30,
                   "\x02"
                   "0123\x03")});
  Send();
  const LinkResult n = Read();
  EXPECT_EQ(n, LinkDone(6));
  EXPECT_EQ(Text(n),
            "\x02"
            "0123\x03");
  EXPECT_EQ(buffer[n.count], 0);
  EXPECT_EQ(tookMs, 30u);
}

TEST_P(SerialRead, ChunksAreGatheredUntilOneHoldsTheEndByte) {
  com1.Then({Chunk(20,
                   "\x02"
                   "AB"),
             Chunk(30, "CD"), Chunk(40, "E\x03"), Chunk(5, "late")});
  Send();
  const LinkResult n = Read();
  EXPECT_EQ(Text(n),
            "\x02"
            "ABCDE\x03");
  EXPECT_EQ(tookMs, 90u);
  EXPECT_EQ(backend.PendingBytes(1), 4u);  // the chunk after the end is not read
}

TEST_P(SerialRead, BytesAfterTheEndByteInTheSameChunkStay) {
  com1.Then({Chunk(10,
                   "\x02"
                   "AB\x03"
                   "XY")});
  Send();
  const LinkResult n = Read();
  EXPECT_EQ(n, LinkDone(6));
  EXPECT_EQ(Text(n),
            "\x02"
            "AB\x03"
            "XY");
}

// Line noise before STX, an ETX included, does not end a framed reply.
TEST_P(SerialRead, AnEtxBeforeTheStxIsNoise) {
  struct Case {
    const char* what;
    std::vector<kx::sim::ReplyChunk> chunks;
    std::string expected;
    std::uint32_t tookMs;
  } cases[] = {
      {"noise chunk, then the frame",
       {Chunk(10, "\x03"), Chunk(20,
                                 "\x02"
                                 "AB\x03")},
       "\x03\x02"
       "AB\x03",
       30},
      {"noise and frame in one chunk",
       {Chunk(10,
              "x\x03\x02"
              "AB\x03")},
       "x\x03\x02"
       "AB\x03",
       10},
      {"STX in one chunk, ETX in a later one",
       {Chunk(10,
              "\x03\x02"
              "A"),
        Chunk(20, "B\x03")},
       "\x03\x02"
       "AB\x03",
       30},
      {"noise alone ends on the idle rule", {Chunk(10, "\x03")}, "\x03", 10 + 101},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    com1.Then(c.chunks);
    Send();
    EXPECT_EQ(Text(Read()), c.expected);
    EXPECT_EQ(tookMs, c.tookMs);
  }
}

TEST_P(SerialRead, TheEndByteIsTheCallersChoice) {
  com1.Then({Chunk(10,
                   "ab\x03"
                   "cd\n"),
             Chunk(10, "ef")});
  Send();
  buffer.fill(0);
  const LinkResult n = ReaderPort.Read(buffer.data(), kReceiveSize, '\n', 5);
  EXPECT_EQ(Text(n),
            "ab\x03"
            "cd\n");
}

TEST_P(SerialRead, ASilentDeviceCostsTheWholeLimitAndNoMore) {
  Send();
  EXPECT_EQ(Read(5).status, LinkStatus::kTimedOut);
  EXPECT_EQ(tookMs, 5001u);  // the first millisecond past 5 s
  EXPECT_EQ(Read(2).status, LinkStatus::kTimedOut);
  EXPECT_EQ(tookMs, 2001u);
  EXPECT_EQ(Read(0).status, LinkStatus::kTimedOut);
  EXPECT_EQ(tookMs, 1u);
  EXPECT_EQ(Read(-1).status, LinkStatus::kTimedOut);
  EXPECT_EQ(tookMs, 1u);
}

// What a silent reader's 5 s costs: the driver is never asked for input
// after a wait that saw none; with a key to watch the wait comes in slices,
// without one (POSIX) it is one call, so one poll.
TEST(SerialReadCost, ASilentWaitAsksTheDriverNothingAndWaitsOnlyAsOftenAsTheKeyNeeds) {
  struct Row {
    bool escapeKey;
    int waits;
    std::uint32_t longestWaitMs;
    int maxCalls;
  };
  // With a key: 5001 ms in slices of at most 10, without spinning.
  for (const Row row : {Row{false, 1, 5001, 9}, Row{true, 501, 10, 4 * 502}}) {
    SCOPED_TRACE(row.escapeKey ? "with a key" : "without a key");
    ResetLibraryForTests();
    platform::sim::SimBackend sim;
    ScriptedDevice silent;
    sim.Attach(1, &silent);
    sim.SetEscapeKey(row.escapeKey);
    CountingBackend counting(sim);
    platform::SetBackend(&counting);
    ASSERT_TRUE(ReaderPort.Open(1, 9600, 8, 1).ok());
    const Bytes command = B("cmd");
    ASSERT_EQ(ReaderPort.Write(command.data(), 3), LinkDone(3));
    counting.Reset();

    std::uint8_t buffer[64];
    const std::uint32_t start = sim.Now();
    EXPECT_EQ(ReaderPort.Read(buffer, sizeof buffer, kEtx, 5).status, LinkStatus::kTimedOut);
    EXPECT_EQ(sim.Now() - start, 5001u);
    EXPECT_EQ(counting.Count(CountingBackend::kRead), 0);
    EXPECT_EQ(counting.Count(CountingBackend::kBytesWaiting), 0);
    EXPECT_EQ(counting.Count(CountingBackend::kSleep), 0);
    EXPECT_EQ(counting.Count(CountingBackend::kWaitReadable), row.waits);
    EXPECT_EQ(sim.LongestWaitMs(), row.longestWaitMs);
    EXPECT_LE(counting.Total(), row.maxCalls);
    ResetLibraryForTests();
  }
}

TEST_P(SerialRead, AReplyArrivingAtTheLimitStillCounts) {
  com1.Then({Chunk(5000,
                   "\x02"
                   "A\x03")});
  Send();
  EXPECT_EQ(Text(Read(5)),
            "\x02"
            "A\x03");
  EXPECT_EQ(tookMs, 5000u);

  com1.Then({Chunk(5001,
                   "\x02"
                   "A\x03")});
  Send();
  EXPECT_EQ(Read(5).status, LinkStatus::kTimedOut);
  EXPECT_EQ(tookMs, 5001u);
}

TEST_P(SerialRead, APartialReplyEndsOnceSilentForMoreThan100Ms) {
  com1.Then({Chunk(50,
                   "\x02"
                   "AB")});
  Send();
  const LinkResult n = Read();
  EXPECT_EQ(Text(n),
            "\x02"
            "AB");
  EXPECT_EQ(tookMs, 50u + 101u);
}

TEST_P(SerialRead, TheIdleRuleCountsFromTheLatestChunk) {
  com1.Then({Chunk(50, "a"), Chunk(90, "b"), Chunk(100, "c"), Chunk(101, "d"), Chunk(102, "e")});
  Send();
  const LinkResult n = Read();
  EXPECT_EQ(Text(n), "abcd");  // "e" comes 102 ms after "d": too late
  EXPECT_EQ(tookMs, 50u + 90u + 100u + 101u + 101u);
  EXPECT_EQ(backend.PendingBytes(1), 1u);
}

TEST_P(SerialRead, ATrickleWithoutEndByteRunsIntoTheOverallLimit) {
  std::vector<kx::sim::ReplyChunk> trickle;
  for (int i = 0; i < 40; ++i) trickle.push_back(Chunk(60, "x"));
  com1.Then(trickle);
  Send();
  EXPECT_EQ(Read(1).status, LinkStatus::kTimedOut);
  EXPECT_EQ(tookMs, 1001u);
}

TEST_F(SerialReadWithEscapeKey, AnEscapePressBeforeTheReadIsDiscarded) {
  backend.PressEscapeAt(backend.Now());
  com1.Then({Chunk(40,
                   "\x02"
                   "A\x03")});
  Send();
  EXPECT_EQ(Text(Read()),
            "\x02"
            "A\x03");
}

TEST_F(SerialReadWithEscapeKey, AnEscapePressDuringTheReadEndsItAtOnce) {
  Send();
  backend.PressEscapeAt(backend.Now() + 250);
  EXPECT_EQ(Read().status, LinkStatus::kEscape);
  EXPECT_GE(tookMs, 250u);
  EXPECT_LE(tookMs, 260u);
}

TEST_F(SerialReadWithEscapeKey, EscapeAlsoEndsAReplyInProgress) {
  com1.Then({Chunk(10,
                   "\x02"
                   "AB"),
             Chunk(50, "CD"), Chunk(50, "\x03")});
  Send();
  backend.PressEscapeAt(backend.Now() + 75);
  EXPECT_EQ(Read().status, LinkStatus::kEscape);
  EXPECT_LE(tookMs, 85u);
}

TEST_F(SerialReadWithEscapeKey, AnEscapeKeyHeldDownEndsTheReadAtItsStart) {
  com1.Then({Chunk(40,
                   "\x02"
                   "A\x03")});
  Send();
  backend.SetEscapeDown(true);
  EXPECT_EQ(Read().status, LinkStatus::kEscape);
  EXPECT_EQ(tookMs, 0u);
  backend.SetEscapeDown(false);
}

TEST_P(SerialRead, AnOverlongReplyNeverOverrunsTheBuffer) {
  constexpr int kCapacity = 16;
  com1.Then({Chunk(10, std::string(40, 'z') + "\x03")});
  Send();
  std::array<std::uint8_t, 64> guarded;
  guarded.fill(0xEE);
  const std::uint32_t start = backend.Now();
  EXPECT_EQ(ReaderPort.Read(guarded.data(), kCapacity, kEtx, 5), LinkDone(kCapacity - 1));
  EXPECT_EQ(guarded[kCapacity - 1], 0);
  EXPECT_TRUE(std::all_of(guarded.begin() + kCapacity, guarded.end(),
                          [](std::uint8_t b) { return b == 0xEE; }));
  EXPECT_EQ(backend.Now() - start, 10u);  // the read ends as soon as it is full
  EXPECT_EQ(backend.PendingBytes(1), 41u - 15u);
}

TEST_P(SerialRead, AReplyThatFillsTheBufferAcrossChunksEndsWhenMoreComes) {
  constexpr int kCapacity = 8;
  com1.Then({Chunk(10, "abcd"), Chunk(10, "efg"), Chunk(30, "hij\x03")});
  Send();
  std::array<std::uint8_t, 32> guarded;
  guarded.fill(0xEE);
  const std::uint32_t start = backend.Now();
  EXPECT_EQ(ReaderPort.Read(guarded.data(), kCapacity, kEtx, 5), LinkDone(7));
  EXPECT_EQ(std::string(guarded.begin(), guarded.begin() + 7), "abcdefg");
  EXPECT_EQ(guarded[7], 0);
  EXPECT_EQ(guarded[8], 0xEE);
  EXPECT_EQ(backend.Now() - start, 50u);
}

TEST_P(SerialRead, AFullBufferStillEndsOnTheIdleRule) {
  com1.Then({Chunk(10, "abcdefg")});
  Send();
  std::array<std::uint8_t, 8> exact;
  const std::uint32_t start = backend.Now();
  EXPECT_EQ(ReaderPort.Read(exact.data(), 8, kEtx, 5), LinkDone(7));
  EXPECT_EQ(exact[7], 0);
  EXPECT_EQ(backend.Now() - start, 111u);
}

TEST_P(SerialRead, TinyOrMissingBuffersReadNothing) {
  com1.Then({Chunk(10,
                   "\x02"
                   "A\x03")});
  Send();
  std::uint8_t one = 0xEE;
  EXPECT_EQ(ReaderPort.Read(&one, 1, kEtx, 5), LinkDone(0));
  EXPECT_EQ(one, 0);
  EXPECT_EQ(ReaderPort.Read(&one, 0, kEtx, 5).status, LinkStatus::kBadArgument);
  EXPECT_EQ(ReaderPort.Read(nullptr, 1024, kEtx, 5).status, LinkStatus::kBadArgument);
}

TEST_P(SerialRead, ALineErrorIsClearedAndTheReplyStillGathered) {
  com1.Then({Chunk(20,
                   "\x02"
                   "AB"),
             Chunk(20, "CD\x03")});
  Send();
  backend.RaiseLineError(1);
  EXPECT_EQ(Text(Read()),
            "\x02"
            "ABCD\x03");
  EXPECT_EQ(tookMs, 40u);
}

TEST_P(SerialRead, APortThatWillNotHandOverInputIsNotSpunOn) {
  com1.Then({Chunk(20,
                   "\x02"
                   "AB\x03")});
  Send();
  backend.FailReads(1, true);
  EXPECT_EQ(Read(1).status, LinkStatus::kTimedOut);
  EXPECT_EQ(tookMs, 1001u);
  EXPECT_LE(backend.SleepCalls() + backend.WaitCalls(), 120);
  EXPECT_GE(backend.SleepCalls(), 98);
  backend.FailReads(1, false);
}

TEST_P(SerialRead, TheLimitAndIdleRuleHoldAcrossTheTickWrap) {
  backend.SetNow(0xFFFFFF00u);
  Send();
  EXPECT_EQ(Read(1).status, LinkStatus::kTimedOut);
  EXPECT_EQ(tookMs, 1001u);

  backend.SetNow(0xFFFFFFC0u);
  com1.Then({Chunk(40,
                   "\x02"
                   "AB"),
             Chunk(80, "C")});  // the wrap falls in between
  Send();
  EXPECT_EQ(Text(Read()),
            "\x02"
            "ABC");
  EXPECT_EQ(tookMs, 40u + 80u + 101u);
}

}  // namespace
}  // namespace kx::test
