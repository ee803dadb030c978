// The update services and the all-in-one frame through the C ABI, against
// the simulated card and PSAM: the exact APDU sequences, every write read
// back from the card, partial failures, and the link and both slots left
// off after every outcome of every all-in-one export.
#include <cstring>
#include <functional>
#include <string>

#include "link/reader_port.h"
#include "tests/integration/services_fixture.h"

namespace kx {
namespace {

using test::AuthenticationLines;
using test::HexText;
using test::Join;
using test::kFactorReads;
using test::Lines;

sim::Bytes Counting(std::size_t n, int start) {
  sim::Bytes bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(start + i);
  return bytes;
}

std::uint16_t Id(const char* text) {
  return static_cast<std::uint16_t>(std::stoi(text, nullptr, 16));
}

sim::Bytes Cat(std::initializer_list<sim::Bytes> parts) {
  sim::Bytes all;
  for (const sim::Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

using UpdateInfo = test::ServicesFixture;

TEST_F(UpdateInfo, WritesAuthenticateTheWriteKeyAndBuildEachRecordImage) {
  struct Case {
    const char* directory;
    const char* file;
    int record;
    Lines beforeAuthentication;
    const char* diversify;
    const char* authenticate;
    const char* selectFile;
    std::vector<std::pair<int, sim::Bytes>> records;  // as the card must hold them
  };
  const sim::Bytes data = Counting(100, 0x40);
  const Case cases[] = {
      // A record without a tag is written as its value alone.
      {"DF02",
       "EF07",
       1,
       {"0> 00 A4 00 00 02 3F 00", "0> 00 A4 00 00 02 DF 02"},
       "BF DE 48 46 18 {CF} {F2} {C2}",
       "00 82 00 85 10",
       "0> 00 A4 02 00 02 EF 07",
       {{1, Counting(85, 0x40)}}},
      // The write key of a file whose read condition is "UK2DF01|PIN": no PIN.
      {"DF01",
       "EF09",
       1,
       {"0> 00 A4 00 00 02 3F 00", "0> 00 A4 00 00 02 DF 01"},
       "BF DE 48 43 18 {CF} {F2} {C2}",
       "00 82 00 84 10",
       "0> 00 A4 02 00 02 EF 09",
       {{1, Cat({{0x2E, 62}, Counting(62, 0x40)})}}},
      // The whole file: four records from 1 + 62 + 18 + 2 = 83 bytes.
      {"DF01",
       "EF05",
       0,
       {"0> 00 A4 00 00 02 3F 00", "0> 00 A4 00 00 02 DF 01"},
       "BF DE 48 42 18 {CF} {F2} {C2}",
       "00 82 00 83 10",
       "0> 00 A4 02 00 02 EF 05",
       {{1, Cat({{0x20, 1}, Counting(1, 0x40)})},
        {2, Cat({{0x21, 62}, Counting(62, 0x41)})},
        {3, Cat({{0x22, 18}, Counting(18, 0x7F)})},
        {4, Cat({{0xF2, 2}, Counting(2, 0x91)})}}},
      // UKMF: no directory selection. Last: it changes the card's factors.
      {"3F00",
       "EF05",
       1,
       {"0> 00 A4 00 00 02 3F 00"},
       "BF DE 48 12 18 {CF} {F2} {C2}",
       "00 82 00 04 10",
       "0> 00 A4 02 00 02 EF 05",
       {{1, Cat({{0x01, 0x10}, Counting(16, 0x40)})}}},
  };
  OpenReader();
  for (const Case& c : cases) {
    reader.ClearTrace();
    EXPECT_EQ(KXUpdateInfo(0, c.directory, c.file, c.record, data.data()), 0)
        << c.directory << " " << c.file << ": " << Message(-12);
    Lines writes;
    for (const auto& [number, image] : c.records) {
      const sim::Bytes header = {0x00, 0xDC, static_cast<std::uint8_t>(number), 0x04,
                                 static_cast<std::uint8_t>(image.size())};
      writes.push_back("0> " + HexText(Cat({header, image})));
      EXPECT_EQ(Record(Id(c.directory), Id(c.file), number), image)
          << c.directory << " " << c.file << " " << number;
    }
    EXPECT_EQ(Sequence(), Expand(Join({kFactorReads,
                                       c.beforeAuthentication,
                                       AuthenticationLines(c.diversify, c.authenticate),
                                       {c.selectFile},
                                       writes})))
        << c.directory << " " << c.file;
  }
}

TEST_F(UpdateInfo, AWholeFileWriteRefusedAtRecordKKeepsTheRecordsBeforeIt) {
  // A card that refuses to write record k (SW 6581) and writes the others.
  struct RefusingCard : sim::UserCard {
    int refused = 0;
    sim::Bytes Transmit(const sim::Bytes& apdu) override {
      if (apdu.size() > 2 && apdu[0] == 0x00 && apdu[1] == 0xDC && apdu[2] == refused) {
        return {0x65, 0x81};
      }
      return UserCard::Transmit(apdu);
    }
  };
  const sim::Bytes data = Counting(83, 0x30);
  for (int k = 1; k <= 4; ++k) {
    Restart();
    auto refusing = std::make_shared<RefusingCard>();
    refusing->refused = k;
    card = refusing;
    reader.Insert(0, card);
    OpenReader();
    std::vector<sim::Bytes> before;
    for (int r = 1; r <= 4; ++r) before.push_back(Record(0xDF01, 0xEF05, r));
    EXPECT_EQ(KXUpdateInfo(0, "DF01", "EF05", 0, data.data()), -25985) << k;
    EXPECT_EQ(Message(-25985), "sw返回 6581 写EEPROM 失败\r\n") << k;
    for (int r = 1; r <= 4; ++r) {
      EXPECT_EQ(Record(0xDF01, 0xEF05, r) != before[r - 1], r < k)
          << "refused " << k << ", record " << r;
    }
  }
}

TEST_F(UpdateInfo, RefusalsComeBeforeAnyCardCommand) {
  struct Case {
    std::function<int(const unsigned char*)> call;
    const char* text;
  };
  const Case cases[] = {
      {[](const unsigned char* d) { return KXUpdateInfo(0, "DF04", "EF08", 1, d); },
       "写文件，为找到 DF04 目录下 COS 密钥信息 "},
      {[](const unsigned char* d) { return KXUpdateInfo(0, "3F00", "EF05", 8, d); },
       "写文件未找到3F00 EF05 目录下的第 8 条记录 "},
      {[](const unsigned char* d) { return KXUpdateInfo(0, "3F00", "EF07", 0, d); },
       "未找到写所有记录的目录 TagCardRecordInfo "},
      {[](const unsigned char* d) { return KXUpdateInfo(0, "EF", "EF05", 1, d); },
       "写文件未找到EF EF05 目录下的第 1 条记录 "},
      {[](const unsigned char* d) { return KXUpdateBinary(0, 32768, 1, d); },
       "KXReadBinary,写二进制文件起始地址超出参数范围"},
      {[](const unsigned char* d) { return KXUpdateBinary(0, -128, 1, d); },
       "KXReadBinary,写二进制文件起始地址超出参数范围"},
      {[](const unsigned char* d) { return KXUpdateBinary(0, 0, -1, d); },
       "KXReadBinary,写二进制文件起始地址超出参数范围"},
  };
  OpenReader();
  const sim::Bytes data(300, 0x11);
  for (const Case& c : cases) {
    reader.ClearTrace();
    EXPECT_EQ(c.call(data.data()), -12) << c.text;
    EXPECT_EQ(Message(-12), "输入参数不匹配\r\n" + std::string(c.text));
    EXPECT_EQ(Sequence(), Lines{}) << c.text;
  }
}

TEST_F(UpdateInfo, UpdateBinaryWritesPiecesOfAtMost128BytesIntoTheSelectedFile) {
  OpenReader();
  // The fingerprint file's write key, then the file itself.
  ASSERT_EQ(KXCheckKey(0, "UKMF"), 0) << Message(-12);
  unsigned char reply[300];
  int length = 0;
  const unsigned char select[] = {0x00, 0xA4, 0x02, 0x00, 0x02, 0xEF, 0x07};
  ASSERT_EQ(KXRunApdu(0, 7, select, &length, reply), 0);

  struct Case {
    int offset;
    int length;
    int code;
    Lines sent;
  };
  const sim::Bytes data = Counting(300, 1);
  const Case cases[] = {
      {0,
       300,
       0,
       {"0> 00 D6 00 00 80 " + HexText(sim::Bytes(data.begin(), data.begin() + 128)),
        "0> 00 D6 00 80 80 " + HexText(sim::Bytes(data.begin() + 128, data.begin() + 256)),
        "0> 00 D6 01 00 2C " + HexText(sim::Bytes(data.begin() + 256, data.end()))}},
      {32767, 1, -0x6B00, {"0> 00 D6 7F FF 01 01"}},
  };
  for (const Case& c : cases) {
    reader.ClearTrace();
    EXPECT_EQ(KXUpdateBinary(0, c.offset, c.length, data.data()), c.code) << c.offset;
    EXPECT_EQ(Sequence(), c.sent) << c.offset;
  }
  EXPECT_EQ(sim::Bytes(Binary(0x3F00, 0xEF07).begin(), Binary(0x3F00, 0xEF07).begin() + 300), data);
}

using AllInOne = test::ServicesFixture;

TEST_F(AllInOne, UpdatesAreReadBackAndKXTestReportsItsResult) {
  const sim::Bytes name = {0xD5, 0xC5, 0xC8, 0xFD, 0xB7, 0xE1};  // GBK
  sim::Bytes value(30, 0x00);
  std::copy(name.begin(), name.end(), value.begin());
  ASSERT_EQ(KXUpdateInfoAIO("3F00", "EF06", 2, value.data()), 0) << Message(-12);
  unsigned char out[64] = {};
  ASSERT_EQ(KXReadInfoAIO("3F00", "EF06", 2, out), 0) << Message(-12);
  EXPECT_EQ(sim::Bytes(out, out + 30), value);

  const sim::Bytes binary = Counting(256, 9);
  ASSERT_EQ(KXUpdateBinaryAIO("DF0B", "EF0C", 0, 256, binary.data()), 0) << Message(-12);
  EXPECT_EQ(sim::Bytes(Binary(0xDF0B, 0xEF0C).begin(), Binary(0xDF0B, 0xEF0C).begin() + 256),
            binary);
  char hex[16] = {};
  ASSERT_EQ(KXReadBinaryAIO("DF0B", "EF0C", 254, 2, hex), 0) << Message(-12);
  EXPECT_STREQ(hex, "0708");
  ExpectReleased("after the writes");

  // KXTest writes the card identification code with UKMF and reports.
  char message[545] = {};
  EXPECT_EQ(KXTest(message), 0);
  EXPECT_EQ(test::Utf8(message), "成功");
  EXPECT_EQ(Record(0x3F00, 0xEF05, 1), test::HexBytes("01 10 330329D15600000500006074BD3D5A3F"));
  reader.Remove(0);
  EXPECT_EQ(KXTest(message), 0);
  EXPECT_EQ(test::Utf8(message), "未插入用户卡");
  ExpectReleased("KXTest");
}

// Each all-in-one export, run once to count its reader commands, then again
// with each of those commands failing in turn (a card refusal for an APDU,
// the card gone for a power-on): whatever fails, the link ends closed and
// neither card powered, and an APDU refusal is never reported as success.
TEST_F(AllInOne, EveryFailureLeavesTheLinkClosedAndBothCardsOff) {
  struct Case {
    const char* name;
    std::function<int()> call;
    bool readsWhole = false;  // a failure hands back no part of the data
  };
  static unsigned char out[2048];
  static const sim::Bytes data = Counting(256, 0);
  const Case cases[] = {
      {"KXReadInfoAIO DF03 EF05 2", [] { return KXReadInfoAIO("DF03", "EF05", 2, out); }},
      {"KXReadInfoAIO DF04 EF05 0", [] { return KXReadInfoAIO("DF04", "EF05", 0, out); }},
      {"KXReadBinaryAIO DF0B EF0C",
       [] { return KXReadBinaryAIO("DF0B", "EF0C", 0, 200, reinterpret_cast<char*>(out)); }, true},
      {"KXUpdateInfoAIO DF01 EF05 0",
       [] { return KXUpdateInfoAIO("DF01", "EF05", 0, data.data()); }},
      {"KXUpdateBinaryAIO DF0B EF0C",
       [] { return KXUpdateBinaryAIO("DF0B", "EF0C", 0, 200, data.data()); }},
  };
  for (const Case& c : cases) {
    Restart();
    ASSERT_EQ(c.call(), 0) << c.name << ": " << Message(-12);
    ExpectReleased(c.name);
    const std::vector<sim::Bytes> commands = reader.Commands();
    for (std::size_t k = 0; k < commands.size(); ++k) {
      const std::uint8_t instruction = commands[k][1];
      if (instruction == 0x23) continue;  // the closing power-offs
      Restart();
      reader.SetCommandHook([&](std::size_t index, const sim::Bytes& body) {
        if (index != k || body.size() < 2 || body[1] != instruction) return;
        if (instruction == 0x26) {
          reader.faults().onlyCommand = instruction;
          reader.faults().remaining = 1;
          reader.faults().replyData = sim::Bytes{0x6F, 0x00};
        } else if (body.size() > 4) {
          reader.Remove(body[4]);  // the card the reader was to power on is gone
        }
      });
      std::memset(out, 0xEE, sizeof out);
      const int r = c.call();
      reader.SetCommandHook(nullptr);
      const std::string what = std::string(c.name) + ", command " + std::to_string(k) + " " +
                               HexText(commands[k]) + " failing: " + std::to_string(r);
      ExpectReleased(what);
      if (instruction == 0x26) {
        EXPECT_NE(r, 0) << what;
      }
      // An empty text, or the buffer untouched when it failed before the
      // file was reached.
      if (c.readsWhole && r != 0 && out[0] != 0xEE) {
        EXPECT_EQ(out[0], 0) << what;
      }
    }
  }
}

// `call` on a reader the host opened, the user card powered.
int Opened(int (*call)()) {
  KXReaderInitTest(1, 9600);
  KXSelectIFD(0, 12);
  char status = 0;
  GetReaderStatus(0, &status);
  return call();
}

TEST_F(AllInOne, RefusedCallsStillCloseTheLinkAndKeepTheirText) {
  struct Case {
    std::function<int()> call;
    const char* text;
  };
  static unsigned char out[64];
  static const sim::Bytes data(16, 0);
  const Case cases[] = {
      {[] { return KXReadInfoAIO("DF99", "EF05", 1, out); },
       "读文件未找到DF99 EF05 目录下的第 1 条记录 "},
      {[] { return KXUpdateBinaryAIO("DF01", "EF05", 0, 10, data.data()); },
       "写二进制文件未找到DF01 EF05 目录 "},
      {[] { return KXUpdateBinaryAIO("DF0B", "EF0C", 32768, 10, data.data()); },
       "KXReadBinary,写二进制文件起始地址超出参数范围"},
      {[] { return KXReadBinaryAIO("DF0B", "EF0C", 0, -1, reinterpret_cast<char*>(out)); },
       "KXReadBinary,读二进制文件起始地址超出参数范围"},
      {[] { return KXReadBinaryAIO("DF01", "EF05", 0, 8, reinterpret_cast<char*>(out)); },
       "在 DF01 EF05 目录下未找到二进制文件,此文件可能不是二进制文件"},
      {[] { return KXUpdateInfoAIO("DF0", "EF05", 1, data.data()); },
       "写文件未找到DF0 EF05 目录下的第 1 条记录 "},
      // The lookup before the range: an offset past the end of a file that
      // does not exist names the file.
      {[] { return KXReadBinaryAIO("DF99", "EF0C", 40000, 1, reinterpret_cast<char*>(out)); },
       "在 DF99 EF0C 目录下未找到二进制文件,此文件可能不是二进制文件"},
      // Null buffers, refused with words of their own after a host opened
      // the reader: it ends closed all the same.
      {[] { return Opened([] { return KXReadInfoAIO("3F00", "EF05", 1, nullptr); }); },
       "KXReadInfoAIO 输出缓冲区为空"},
      {[] { return Opened([] { return testKXReadInfoAIO("3F00", "EF05", 1, nullptr); }); },
       "KXReadInfoAIO 输出缓冲区为空"},
      {[] { return Opened([] { return KXReadBinaryAIO("DF0B", "EF0C", 0, 8, nullptr); }); },
       "KXReadBinaryAIO 输出缓冲区为空"},
      {[] { return Opened([] { return KXUpdateInfoAIO("3F00", "EF06", 2, nullptr); }); },
       "KXUpdateInfoAIO 写入数据为空"},
      {[] { return Opened([] { return KXUpdateBinaryAIO("DF0B", "EF0C", 0, 8, nullptr); }); },
       "KXUpdateBinaryAIO 写入数据为空"},
      {[] {
         return Opened([] {
           char code[33];
           return KXReadCardIDAIO(nullptr, code, code);
         });
       },
       "KXReadCardIDAIO 输出缓冲区为空"},
      {[] {
         return Opened([] {
           char code[33];
           return KXReadCardID(0, code, code, nullptr);
         });
       },
       "KXReadCardID 输出缓冲区为空"},
      {[] { return Opened([] { return KXUpdateCardIDAIO("330329", "00006075", nullptr); }); },
       "KXUpdateCardIDAIO 输出缓冲区为空"},
  };
  for (const Case& c : cases) {
    reader.ClearTrace();
    EXPECT_EQ(c.call(), -12) << c.text;
    EXPECT_EQ(Message(-12), "输入参数不匹配\r\n" + std::string(c.text));
    ExpectReleased(c.text);
    for (const std::string& line : Sequence()) {
      EXPECT_TRUE(line == "ON 0" || line == "ON 16" || line.rfind("OFF", 0) == 0)
          << c.text << ": " << line;
    }
  }

  // The plain exports refuse a null buffer the same way but leave the link
  // as the host had it, and send nothing.
  const Case plain[] = {
      {[] { return KXReadInfo(0, "3F00", "EF05", 1, nullptr); }, "KXReadInfo 输出缓冲区为空"},
      {[] { return KXReadBinary(0, 0, 8, nullptr); }, "KXReadBinary 输出缓冲区为空"},
      {[] { return KXUpdateInfo(0, "3F00", "EF06", 2, nullptr); }, "KXUpdateInfo 写入数据为空"},
      {[] { return KXUpdateBinary(0, 0, 8, nullptr); }, "KXUpdateBinary 写入数据为空"},
  };
  for (const Case& c : plain) {
    Opened([] { return 0; });
    reader.ClearTrace();
    EXPECT_EQ(c.call(), -12) << c.text;
    EXPECT_EQ(Message(-12), "输入参数不匹配\r\n" + std::string(c.text));
    EXPECT_TRUE(reader.Commands().empty()) << c.text;
    EXPECT_TRUE(reader.IsPowered(0)) << c.text;
    KXReaderPowerOff(0);
  }
}

}  // namespace
}  // namespace kx
