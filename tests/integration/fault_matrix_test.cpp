// Every operation against every way the reader, the line or a card can fail
// it: one table, one cell per fault and operation, each with its result code
// and ErrorText. No cell may report success, crash, or wait longer than the
// reply limits of the frames it sent (+ 50 ms) on the virtual clock.
//
// A fault strikes the operation's decisive command (the target) and every
// later command of the same kind to the same slot, so that a retry (the
// all-in-one search tries COM1 twice) meets it again.
#include <cstring>
#include <string>

#include "link/reader_port.h"
#include "tests/integration/services_fixture.h"

namespace kx {
namespace {

using test::Gbk;

enum class Fault {
  kSilent,          // no reply at all
  kSilentMidFrame,  // half a frame, then nothing
  kDroppedByte,
  kDuplicatedByte,
  kFlippedByte,
  kNoiseWithStx,  // noise before the frame that holds an STX of its own
  kMissingEtx,
  kEarlyEtx,  // an ETX inside the frame, the frame's other bytes after it
  kBadCheck,
  kCardRemoved,
  kPsamRemoved,
  kSw6581,
  kSw6A84,
  kEndless61,  // every answer 61 08, GET RESPONSE included
  kLoop6C,     // every answer 6C 08, the re-sent command included
  kSw0000,
  kLinkClosed,  // the serial adapter pulled between command and reply
};
constexpr int kFaultCount = 17;

const char* const kFaultNames[kFaultCount] = {
    "silent",       "silent mid-frame", "dropped byte", "duplicated byte",
    "flipped byte", "noise+STX",        "missing ETX",  "early ETX",
    "bad check",    "card removed",     "PSAM removed", "6581",
    "6A84",         "61xx endless",     "6Cxx loop",    "00 00",
    "link closed"};

// The command a fault strikes: the occurrence-th command with this
// instruction to this slot (and, for an APDU, this instruction byte).
struct Target {
  std::uint8_t command;  // 0x22 power on, 0x26 APDU
  int slot;
  int apduIns;  // -1: any
  int occurrence;
};

int SlotOf(const sim::Bytes& body) {
  if (body.size() >= 5 && body[1] == 0x22) return body[4];
  if (body.size() >= 3 && body[1] == 0x26) return body[2];
  return -1;
}

// Reply limit of a command frame the library wrote, from its digits.
std::uint32_t ReplyLimitMs(const std::vector<std::uint8_t>& written) {
  if (written.size() < 9 || written[0] != 0x02) return 0;  // a control sequence
  const int instruction = (written[7] - 0x30) * 16 + (written[8] - 0x30);
  if (instruction == 0x22 || instruction == 0x24) return 2000;
  if (instruction == 0x23 || instruction == 0x25) return 3000;
  return 5000;
}

class FaultMatrix : public test::ServicesFixture {
 protected:
  // Arms `fault` on `target` through the reader's command hook.
  void Arm(Fault fault, const Target& target) {
    seen_ = 0;
    reached_ = false;
    reader.SetCommandHook([this, fault, target](std::size_t, const sim::Bytes& body) {
      if (body.size() < 3 || body[1] != target.command || SlotOf(body) != target.slot) return;
      if (!reached_) {
        const bool insMatches =
            target.apduIns < 0 || (body.size() > 4 && body[4] == target.apduIns);
        if (!insMatches || ++seen_ < target.occurrence) return;
        reached_ = true;
        Strike(fault, target, body, true);
        return;
      }
      Strike(fault, target, body, false);
    });
  }

  void Strike(Fault fault, const Target& target, const sim::Bytes& body, bool first) {
    sim::ReaderFaults f;
    f.remaining = 1;
    const bool apdu = body[1] == 0x26;
    auto cardStatus = [&](std::uint8_t sw1, std::uint8_t sw2) {
      // A command that carries no APDU has only the reader's status to go wrong.
      if (apdu) {
        f.onlyCommand = 0x26;
        f.replyData = sim::Bytes{sw1, sw2};
      } else {
        f.status = sw1 * 256 + sw2;
      }
    };
    switch (fault) {
      case Fault::kSilent:
        f.silent = true;
        break;
      case Fault::kSilentMidFrame:
        f.splitInto = 2;
        f.splitGapMs = 6000;
        break;
      case Fault::kDroppedByte:
        f.damage = sim::WireDamage::kDrop;
        break;
      case Fault::kDuplicatedByte:
        f.damage = sim::WireDamage::kDuplicate;
        break;
      case Fault::kFlippedByte:
        f.damage = sim::WireDamage::kFlip;
        break;
      case Fault::kNoiseWithStx:
        f.garbageBeforeStx = sim::Bytes{0x02, '1', 'x', 0x00};
        break;
      case Fault::kMissingEtx:
        f.damage = sim::WireDamage::kNoEtx;
        break;
      case Fault::kEarlyEtx:
        f.damage = sim::WireDamage::kEarlyEtx;
        f.damageAt = 9;  // after the length field and the status
        break;
      case Fault::kBadCheck:
        f.badCheck = true;
        break;
      // A card the target command addresses is pulled out; for the other
      // card, the reader reports it missing in answer to the target.
      case Fault::kCardRemoved:
        if (target.slot == 0) {
          if (first) reader.Remove(0);
          return;
        }
        f.status = 0x1002;
        break;
      case Fault::kPsamRemoved:
        if (target.slot == 16) {
          if (first) reader.Remove(16);
          return;
        }
        f.status = 0x2005;
        break;
      case Fault::kSw6581:
        cardStatus(0x65, 0x81);
        break;
      case Fault::kSw6A84:
        cardStatus(0x6A, 0x84);
        break;
      case Fault::kEndless61:
        cardStatus(0x61, 0x08);
        break;
      case Fault::kLoop6C:
        cardStatus(0x6C, 0x08);
        break;
      case Fault::kSw0000:
        cardStatus(0x00, 0x00);
        break;
      case Fault::kLinkClosed:
        if (first) backend.PullOutAt(1, backend.Now());
        return;
    }
    reader.faults() = f;
  }

  int seen_ = 0;
  bool reached_ = false;
};

struct Operation {
  const char* name;
  void (*prepare)(FaultMatrix&);
  int (*call)();
  Target target;
};

struct Expected {
  int code;
  const char* text;  // UTF-8
};

// GetReaderStatus gives 0 for a reader without a card, with status '0';
// the table writes that outcome as 1, so 0 always means a powered card.
constexpr int kNoCardStatus = 1;

unsigned char gOut[1024];
const sim::Bytes gData = [] {
  sim::Bytes d(300);
  for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(0xA0 ^ i);
  return d;
}();

int Apdu(const char* hex) {
  const sim::Bytes apdu = test::HexBytes(hex);
  int length = 0;
  return KXRunApdu(0, static_cast<int>(apdu.size()), apdu.data(), &length, gOut);
}

// The reader open and the user card on is all these need.
void Open(FaultMatrix&) {}

const Operation kOperations[] = {
    {"reader init (all-in-one search)",
     [](FaultMatrix&) {},
     [] { return KXReadInfoAIO("3F00", "EF05", 1, gOut); },
     {0x22, 0, -1, 1}},
    {"reader status",
     Open,
     [] {
       char status = 'x';
       const int r = GetReaderStatus(0, &status);
       return r == 0 && status == '0' ? kNoCardStatus : r;
     },
     {0x22, 0, -1, 1}},
    {"APDU", Open, [] { return Apdu("00 84 00 00 08"); }, {0x26, 0, 0x84, 1}},
    {"PSAM id",
     Open,
     [] {
       char id[KX_PSAM_ID_SIZE] = {};
       return KXGetPsamID(0, id);
     },
     {0x26, 16, 0xB0, 1}},
    {"key check", Open, [] { return KXCheckKey(0, "UK1DF01"); }, {0x26, 0, 0x82, 1}},
    {"read record",
     [](FaultMatrix&) {
       ASSERT_EQ(Apdu("00 A4 00 00 02 3F 00"), 0);
       ASSERT_EQ(Apdu("00 A4 02 00 02 EF 05"), 0);
     },
     [] { return KXReadRecord(0, 1, 4, 0, gOut); },
     {0x26, 0, 0xB2, 1}},
    {"read binary in pieces",
     [](FaultMatrix&) {
       ASSERT_EQ(Apdu("00 A4 00 00 02 3F 00"), 0);
       ASSERT_EQ(Apdu("00 A4 02 00 02 EF 07"), 0);
     },
     [] { return KXReadBinary(0, 0, 300, gOut); },
     {0x26, 0, 0xB0, 2}},
    {"update binary in pieces",
     [](FaultMatrix&) {
       ASSERT_EQ(KXCheckKey(0, "UKMF"), 0);
       ASSERT_EQ(Apdu("00 A4 02 00 02 EF 07"), 0);
     },
     [] { return KXUpdateBinary(0, 0, 300, gData.data()); },
     {0x26, 0, 0xD6, 2}},
    {"PIN verify",
     Open,
     [] {
       int retries = -1;
       return KXCardVerifyPIN(0, "123456", &retries);
     },
     {0x26, 0, 0x20, 1}},
};
constexpr int kOperationCount = static_cast<int>(sizeof kOperations / sizeof kOperations[0]);

constexpr Expected kTimedOut = {-4, "接收数据失败，返回：-4"};
// The link drops a pulled-out port at once.
constexpr Expected kPortGone = {-2, "接收数据失败，返回：-2"};
constexpr Expected kCutShort = {-4, "获取接收的中间数据失败，返回：-2"};
constexpr Expected kDamaged = {-4, "通信校验错误"};
constexpr Expected kNoReader = {-2, "没有找到设备"};
constexpr Expected kNoStatusWord = {-4, "无效的状态字 0000"};
constexpr Expected kNoCard = {-6, "接触式用户卡未插到位"};
constexpr Expected kNoPsam = {-5, "未插入SAM卡"};
// KXGetPsamID puts its own words over every failure.
constexpr Expected PsamId(int code) {
  return {code, "KXGetPsamID 获取PSAM卡终端信息唯一标识号失败"};
}

struct Row {
  Fault fault;
  Expected expected[kOperationCount];  // in the order of kOperations
};

// The search of the all-in-one call (first column) passes over a reader
// whose status query fails and ends with "no reader"; a reader status
// without an APDU has only the reader's status field for a card's status
// word, which no reader status table knows (-1), and 00 00 there is a
// success without a reset answer (-2).
// clang-format off
// Columns: init, status, APDU, PSAM id, key check, record, binary read, binary update, PIN.
const Row kMatrix[] = {
    {Fault::kSilent, {kNoReader, kTimedOut, kTimedOut, PsamId(-4), kTimedOut, kTimedOut, kTimedOut, kTimedOut, kTimedOut}},
    {Fault::kSilentMidFrame, {kNoReader, kCutShort, kCutShort, PsamId(-4), kCutShort, kCutShort, kCutShort, kCutShort, kCutShort}},
    {Fault::kDroppedByte, {kNoReader, kDamaged, kDamaged, PsamId(-4), kDamaged, kDamaged, kDamaged, kDamaged, kDamaged}},
    {Fault::kDuplicatedByte, {kNoReader, kDamaged, kDamaged, PsamId(-4), kDamaged, kDamaged, kDamaged, kDamaged, kDamaged}},
    {Fault::kFlippedByte, {kNoReader, kDamaged, kDamaged, PsamId(-4), kDamaged, kDamaged, kDamaged, kDamaged, kDamaged}},
    {Fault::kNoiseWithStx, {kNoReader, kDamaged, kDamaged, PsamId(-4), kDamaged, kDamaged, kDamaged, kDamaged, kDamaged}},
    {Fault::kMissingEtx, {kNoReader, kCutShort, kCutShort, PsamId(-4), kCutShort, kCutShort, kCutShort, kCutShort, kCutShort}},
    {Fault::kEarlyEtx, {kNoReader, kDamaged, kDamaged, PsamId(-4), kDamaged, kDamaged, kDamaged, kDamaged, kDamaged}},
    {Fault::kBadCheck, {kNoReader, kDamaged, kDamaged, PsamId(-4), kDamaged, kDamaged, kDamaged, kDamaged, kDamaged}},
    {Fault::kCardRemoved, {{-6, "未插入用户卡"}, {kNoCardStatus, "接触式用户卡未插到位"}, kNoCard, PsamId(-6), kNoCard, kNoCard, kNoCard, kNoCard, kNoCard}},
    {Fault::kPsamRemoved, {kNoReader, kNoPsam, kNoPsam, PsamId(-5), kNoPsam, kNoPsam, kNoPsam, kNoPsam, kNoPsam}},
    {Fault::kSw6581, {kNoReader, {-1, ""}, {-25985, ""}, PsamId(-25985), {-25985, ""}, {-25985, ""}, {-25985, ""}, {-25985, ""}, {-25985, ""}}},
    {Fault::kSw6A84, {kNoReader, {-1, ""}, {-27268, ""}, PsamId(-27268), {-27268, ""}, {-27268, ""}, {-27268, ""}, {-27268, ""}, {-27268, ""}}},
    {Fault::kEndless61, {kNoReader, {-1, ""}, {-24840, ""}, PsamId(-24840), {-24840, ""}, {-24840, ""}, {-24840, ""}, {-24840, ""}, {-24840, ""}}},
    {Fault::kLoop6C, {kNoReader, {-1, ""}, {-27656, ""}, PsamId(-27656), {-27656, ""}, {-27656, ""}, {-27656, ""}, {-27656, ""}, {-27656, ""}}},
    {Fault::kSw0000, {kNoReader, {-2, ""}, kNoStatusWord, PsamId(-4), kNoStatusWord, kNoStatusWord, kNoStatusWord, kNoStatusWord, kNoStatusWord}},
    {Fault::kLinkClosed, {kNoReader, kPortGone, kPortGone, PsamId(-2), kPortGone, kPortGone, kPortGone, kPortGone, kPortGone}},
};
// clang-format on
static_assert(sizeof kMatrix / sizeof kMatrix[0] == kFaultCount);

TEST_F(FaultMatrix, EveryFaultFailsEveryOperationWithItsCodeAndText) {
  for (int o = 0; o < kOperationCount; ++o) {
    const Operation& op = kOperations[o];
    // The operation as it goes right, to show that the faults are what fail it.
    Restart();
    if (o != 0) OpenReader();
    op.prepare(*this);
    ASSERT_EQ(op.call(), 0) << op.name << ": " << Text();

    for (const Row& row : kMatrix) {
      const Expected& expected = row.expected[o];
      const std::string cell =
          std::string(op.name) + " / " + kFaultNames[static_cast<int>(row.fault)];
      Restart();
      if (o != 0) OpenReader();
      op.prepare(*this);
      backend.ClearWrites();
      Arm(row.fault, op.target);
      const std::uint32_t start = backend.Now();
      const int r = op.call();
      const std::uint32_t took = backend.Now() - start;
      reader.SetCommandHook(nullptr);
      // Each frame written may wait its reply limit; nothing else may wait.
      std::uint32_t limit = 0;
      for (const auto& written : backend.Writes(1)) limit += ReplyLimitMs(written);

      EXPECT_TRUE(reached_) << cell;
      EXPECT_NE(r, 0) << cell;
      EXPECT_EQ(r, expected.code) << cell;
      EXPECT_EQ(ErrorText, Gbk(expected.text)) << cell << ": " << Text();
      EXPECT_LE(took, limit + 50) << cell;
    }
  }
}

}  // namespace
}  // namespace kx
