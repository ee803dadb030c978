// The text codecs and the pure parts of the reader frame codec.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "KX_ICCReader.h"
#include "core/hex.h"
#include "core/state.h"
#include "reader/frame.h"
#include "tests/support/gbk.h"

namespace kx {
namespace {

using test::Gbk;
using test::Utf8;

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 0x0F];
  }
  return out;
}

// ---------------------------------------------------------------- HexEncode

TEST(HexEncode, ModesGiveSpacedPackedAndFrameDigits) {
  const std::uint8_t bytes[] = {0x01, 0xAB};
  char text[16];

  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(HexEncode(0, bytes, text, 2), 1);
  EXPECT_EQ(std::string(text, 7), std::string("01 AB \0", 7));
  EXPECT_EQ(text[7], 'x');

  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(HexEncode(1, bytes, text, 2), 1);
  EXPECT_EQ(std::string(text, 5), std::string("01AB\0", 5));
  EXPECT_EQ(text[5], 'x');

  for (int mode : {2, 3, -1}) {
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(HexEncode(mode, bytes, text, 2), 1);
    EXPECT_EQ(std::string(text, 5), std::string("01:;\0", 5)) << "mode " << mode;
    EXPECT_EQ(text[5], 'x');
  }
}

TEST(HexEncode, FrameDigitsCoverEveryNibble) {
  const std::uint8_t bytes[] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  char text[17];
  HexEncode(2, bytes, text, 8);
  EXPECT_STREQ(text, "0123456789:;<=>?");
  HexEncode(1, bytes, text, 8);
  EXPECT_STREQ(text, "0123456789ABCDEF");
}

TEST(HexEncode, NothingWrittenForEmptyOrNegativeCount) {
  const std::uint8_t bytes[] = {0x12};
  char text[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(HexEncode(1, bytes, text, 0), 1);
  EXPECT_EQ(HexEncode(0, bytes, text, -5), 1);
  EXPECT_EQ(std::string(text, 4), "xxxx");
}

// ---------------------------------------------------------------- HexDecode

TEST(HexDecode, SpacesBetweenPairsAreSkipped) {
  std::uint8_t bytes[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(HexDecode("01 ab", bytes, 5), 2);
  EXPECT_EQ(bytes[0], 0x01);
  EXPECT_EQ(bytes[1], 0xAB);
  EXPECT_EQ(bytes[2], 0x00);  // the trailing zero
  EXPECT_EQ(bytes[3], 0xEE);

  EXPECT_EQ(HexDecode("  01  ", bytes, 6), 1);
  EXPECT_EQ(bytes[0], 0x01);
  EXPECT_EQ(HexDecode("    ", bytes, 4), 0);
}

TEST(HexDecode, SpaceInsideAPairIsRefused) {
  std::uint8_t bytes[4] = {};
  EXPECT_EQ(HexDecode("0 1", bytes, 3), -1);
  EXPECT_EQ(HexDecode("0102 3 4", bytes, 8), -1);
}

TEST(HexDecode, LettersInEitherCaseAndFrameDigitsAgree) {
  std::uint8_t upper[8] = {}, lower[8] = {}, frame[8] = {};
  ASSERT_EQ(HexDecode("3AFFC0", upper, 6), 3);
  ASSERT_EQ(HexDecode("3affc0", lower, 6), 3);
  ASSERT_EQ(HexDecode("3:?"
                      "?<0",
                      frame, 6),
            3);
  EXPECT_EQ(std::memcmp(upper, lower, 3), 0);
  EXPECT_EQ(std::memcmp(upper, frame, 3), 0);
  EXPECT_EQ(upper[0], 0x3A);
  EXPECT_EQ(upper[1], 0xFF);
  EXPECT_EQ(upper[2], 0xC0);
}

TEST(HexDecode, LoneLastDigitIsIgnoredAndNothingPastLengthIsRead) {
  std::uint8_t bytes[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  // "CD" follows within the string: a decoder that read past the length
  // would produce a second byte from "C" and "D".
  EXPECT_EQ(HexDecode("ABCD", bytes, 3), 1);
  EXPECT_EQ(bytes[0], 0xAB);
  EXPECT_EQ(bytes[1], 0x00);
  EXPECT_EQ(HexDecode("A", bytes, 1), 0);
  EXPECT_EQ(HexDecode(" 12 3", bytes, 5), 1);
  EXPECT_EQ(bytes[0], 0x12);
}

TEST(HexDecode, ReadsOnlyLengthCharactersOfAnUnterminatedText) {
  // No NUL anywhere: the decoder must stop at `length` on its own.
  const char text[6] = {'1', '2', '3', '4', '5', '6'};
  std::uint8_t bytes[8] = {};
  EXPECT_EQ(HexDecode(text, bytes, 6), 3);
  EXPECT_EQ(bytes[2], 0x56);
  EXPECT_EQ(HexDecode(text, bytes, 0), 0);
  EXPECT_EQ(HexDecode(text, bytes, -3), 0);
}

TEST(HexDecode, OtherCharactersFoldModulo256) {
  std::uint8_t bytes[2] = {};
  // 'G' counts 16 and 'Z' 35: 16 * 16 + 35 = 291, folded to 0x23.
  EXPECT_EQ(HexDecode("GZ", bytes, 2), 1);
  EXPECT_EQ(bytes[0], 0x23);
}

TEST(HexExports, GetHexAndGetAscRoundTrip) {
  std::vector<std::uint8_t> bytes(256);
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<std::uint8_t>(i);
  for (int mode : {0, 1, 2}) {
    std::vector<char> text(3 * 256 + 1);
    EXPECT_EQ(GetHex(mode, bytes.data(), text.data(), 256), 1);
    std::vector<unsigned char> back(257, 0xEE);
    EXPECT_EQ(GetASC(text.data(), back.data(), static_cast<int>(std::strlen(text.data()))), 256)
        << "mode " << mode;
    EXPECT_EQ(std::memcmp(back.data(), bytes.data(), 256), 0) << "mode " << mode;
  }
}

// ---------------------------------------------------------------- ExtractBetween

TEST(ExtractBetween, CopiesTheTextBetweenFirstStartAndFirstEnd) {
  char out[16];
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(ExtractBetween(0x02, 0x03,
                           "zz\x02"
                           "0012\x03"
                           "77\x03",
                           out, sizeof out),
            4);
  EXPECT_STREQ(out, "0012");
}

TEST(ExtractBetween, MissingOrMisplacedDelimiters) {
  char out[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
  EXPECT_EQ(ExtractBetween(0x02, 0x03, nullptr, out, 8), -1);
  EXPECT_EQ(ExtractBetween(0x02, 0x03, "0012\x03", out, 8), -1);
  EXPECT_EQ(ExtractBetween(0x02, 0x03,
                           "\x02"
                           "0012",
                           out, 8),
            -2);
  // The first end byte comes before the first start byte.
  EXPECT_EQ(ExtractBetween(0x02, 0x03,
                           "\x03"
                           "ab\x02"
                           "cd\x03",
                           out, 8),
            -4);
  EXPECT_EQ(ExtractBetween(0x02, 0x03, "\x02\x03", out, 8), 0);
  // The text ends at its first NUL: a start byte behind it is not seen.
  EXPECT_EQ(ExtractBetween(0x02, 0x03,
                           "ab\0\x02"
                           "cd\x03",
                           out, 8),
            -1);
  EXPECT_EQ(std::string(out, 8), "xxxxxxxx");
}

TEST(ExtractBetween, NeverWritesPastTheOutputCapacity) {
  char out[8];
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(ExtractBetween(0x02, 0x03,
                           "\x02"
                           "abcdef\x03",
                           out, 4),
            3);
  EXPECT_EQ(std::string(out, 5), std::string("abc\0x", 5));
  EXPECT_EQ(ExtractBetween(0x02, 0x03,
                           "\x02"
                           "abcdef\x03",
                           out, 0),
            0);
}

// ---------------------------------------------------------------- XorCheck

TEST(XorCheck, BodyCheckAndEmptyCounts) {
  const std::uint8_t body[] = {0x32, 0x22, 0x00, 0x00, 0x00};
  EXPECT_EQ(XorCheck(5, body), 0x10);
  EXPECT_EQ(XorCheck(0, body), 0x00);
  EXPECT_EQ(XorCheck(-1, body), 0x00);
  const std::uint8_t same[] = {0x5A, 0x5A};
  EXPECT_EQ(XorCheck(2, same), 0x00);
}

// ---------------------------------------------------------------- MapReaderStatus

TEST(MapReaderStatus, UnknownStatusIsMinusOneWithEmptyText) {
  for (int status : {0x6A82, 0x1005, 0x2004, 0x3002, 0x9000, 0xFFFF}) {
    ResetProcessState();
    ErrorTextReplace("stale");
    EXPECT_EQ(MapReaderStatus(status), -1) << std::hex << status;
    EXPECT_STREQ(ErrorText, "") << std::hex << status;
  }
}

// ---------------------------------------------------------------- SendFrame limits

TEST(SendFrame, BodyBeyondTheFrameLimitIsRefusedUnsent) {
  std::vector<std::uint8_t> body(kMaxFrameBody + 1, 0x55);
  ResetProcessState();
  EXPECT_EQ(SendFrame(body.data(), kMaxFrameBody + 1), -2);
  EXPECT_EQ(Utf8(ErrorText), "发送数据失败");
  ResetProcessState();
  EXPECT_EQ(SendFrame(body.data(), -1), -2);
  EXPECT_EQ(Utf8(ErrorText), "发送数据失败");
}

// ---------------------------------------------------------------- GBK bytes

TEST(FrameMessages, TextsAreGbkBytesAtRunTime) {
  ResetProcessState();
  MapReaderStatus(0x1002);
  EXPECT_EQ(Hex(ErrorText), "BD D3 B4 A5 CA BD D3 C3 BB A7 BF A8 CE B4 B2 E5 B5 BD CE BB");
  MapReaderStatus(0x2005);
  EXPECT_EQ(Hex(ErrorText), "CE B4 B2 E5 C8 EB 53 41 4D BF A8");

  std::vector<std::uint8_t> body(kMaxFrameBody + 1);
  SendFrame(body.data(), kMaxFrameBody + 1);
  EXPECT_EQ(Hex(ErrorText), "B7 A2 CB CD CA FD BE DD CA A7 B0 DC");

  char message[545];
  KXGetErrMessage(-4, message);
  EXPECT_EQ(Hex(message), "CD A8 D1 B6 B4 ED CE F3");
  EXPECT_EQ(std::string(message), Gbk("通讯错误"));
}

}  // namespace
}  // namespace kx
