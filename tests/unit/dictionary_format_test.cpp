// Item output and the display text of a whole file (CombinedData).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "KX_ICCReader.h"
#include "core/state.h"
#include "dictionary/dictionary.h"
#include "interface/combined_text.h"
#include "tests/support/gbk.h"

namespace kx {
namespace {

using test::Gbk;

// Formats into a buffer pre-filled with 'x', so the bytes past the output
// show whether a terminator was written and nothing more.
std::string Format(int dataType, int length, const std::vector<std::uint8_t>& record,
                   int* returned) {
  std::string out(2 * 16 + 4, 'x');
  *returned =
      FormatItemValue(dataType, length, record.data(), static_cast<int>(record.size()), out.data());
  return out;
}

TEST(DictionaryItemOutput, HexTypesSkipOrKeepTheTagAndLength) {
  int n = 0;
  std::string out = Format(0, 4, {0x05, 0x04, 0x20, 0x12, 0x01, 0x01}, &n);
  EXPECT_EQ(n, 8);
  EXPECT_EQ(out.substr(0, 10), std::string("20120101\0x", 10));

  out = Format(4, 2, {0x00, 0x2A}, &n);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(out.substr(0, 6), std::string("002A\0x", 6));

  out = Format(0, 3, {0x01, 0x03, 0xAB, 0xCD, 0xEF}, &n);
  EXPECT_EQ(out.substr(0, 7), std::string("ABCDEF\0", 7));
}

TEST(DictionaryItemOutput, RawTypesCopyWithoutTerminator) {
  int n = 0;
  std::string out = Format(1, 3, {0x02, 0x03, 0x41, 0x42, 0x43}, &n);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(out.substr(0, 4), "ABCx");
  out = Format(3, 2, {0x40, 0x02, 0x00, 0x7F}, &n);
  EXPECT_EQ(n, 2);
  EXPECT_EQ(out.substr(0, 3), std::string("\0\x7Fx", 3));
}

TEST(DictionaryItemOutput, ShortRecordReadsAsZerosAndKeepsItsWidth) {
  int n = 0;
  std::string out = Format(0, 4, {0x05, 0x04, 0x20, 0x12}, &n);
  EXPECT_EQ(n, 8);
  EXPECT_EQ(out.substr(0, 9), std::string("20120000\0", 9));
  out = Format(1, 4, {0x02, 0x04, 'A'}, &n);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(out.substr(0, 5), std::string("A\0\0\0x", 5));
  out = Format(4, 3, {}, &n);
  EXPECT_EQ(n, 6);
  EXPECT_EQ(out.substr(0, 7), std::string("000000\0", 7));
}

TEST(DictionaryItemOutput, UnknownTypesAndEmptyLengthsWriteNothingMore) {
  int n = 0;
  for (int type : {2, 5, -1, 255}) {
    std::string out = Format(type, 4, {1, 2, 3, 4, 5, 6}, &n);
    EXPECT_EQ(n, 0) << type;
    EXPECT_EQ(out.substr(0, 1), "x") << type;
  }
  std::string out = Format(0, 0, {1, 2, 3}, &n);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(out.substr(0, 2), std::string("\0x", 2));
  out = Format(1, -5, {1, 2, 3}, &n);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(out.substr(0, 1), "x");
}

class CombinedDataTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetProcessState(); }

  int Render(int fileKind, const char* directory, const char* file, const std::string& data) {
    text.assign(4096, 'x');
    const int code = CombinedData(fileKind, directory, file, data.c_str(), text.data());
    text.resize(std::strlen(text.c_str()));
    return code;
  }

  std::string text;
};

TEST_F(CombinedDataTest, TransparentFileShowsItsHexText) {
  EXPECT_EQ(Render(2, "DF0B", "EF0C", "00FF"), 0);
  EXPECT_EQ(text, Gbk("保留透明字段1:  00FF  (HEX显示)\r\n\r\n"));
}

TEST_F(CombinedDataTest, TransparentKindForARecordFileLeavesErrorTextAlone) {
  ErrorTextReplace("before");
  EXPECT_EQ(Render(2, "3F00", "EF05", "00FF"), -12);
  EXPECT_EQ(text, "");
  EXPECT_STREQ(ErrorText, "before");
}

TEST_F(CombinedDataTest, FileWithoutRecordItemsIsExplained) {
  EXPECT_EQ(Render(1, "DF0B", "EF0C", "00FF"), -12);
  EXPECT_EQ(text, "");
  EXPECT_EQ(std::string(ErrorText), Gbk("未找到读所有记录的目录 TagCardRecordInfo "));
  EXPECT_EQ(Render(0, "DF01", "EF5", ""), -12);
  EXPECT_EQ(std::string(ErrorText), Gbk("未找到读所有记录的目录 TagCardRecordInfo "));
}

// Every capacity check of the rendering: the text fits a buffer of exactly
// its size; by any less it is refused, ends inside the buffer, and nothing
// is written past it.
TEST_F(CombinedDataTest, RenderingFitsItsExactSizeAndNoLess) {
  // A transparent file; an empty item shown as hex, then text items.
  const std::string identity =
      std::string(18, '\0') + "X" + std::string(29, '\0') + "1" + "01" + "11010119800101";
  for (const auto& [file, data] :
       {std::pair<const char*, std::string>{"EF0C", "00FF"}, {"EF06", identity}}) {
    const int kind = std::strcmp(file, "EF0C") == 0 ? 2 : 1;
    const char* directory = kind == 2 ? "DF0B" : "3F00";
    std::string whole(4096, 'x');
    ASSERT_EQ(RenderCombinedData(kind, directory, file, data.data(), whole.data(), 4096),
              RenderResult::Ok);
    const int size = static_cast<int>(std::strlen(whole.c_str())) + 1;
    for (int capacity = 0; capacity <= size; ++capacity) {
      SCOPED_TRACE(std::string(file) + " in " + std::to_string(capacity));
      std::string out(static_cast<std::size_t>(size) + 4, 'x');
      EXPECT_EQ(RenderCombinedData(kind, directory, file, data.data(), out.data(), capacity),
                capacity == size ? RenderResult::Ok : RenderResult::TextTooSmall);
      EXPECT_EQ(out.substr(capacity), std::string(out.size() - capacity, 'x'));
      // Terminated inside the buffer (one of no bytes holds nothing).
      EXPECT_LE(strnlen(out.data(), capacity), static_cast<std::size_t>(std::max(capacity - 1, 0)));
    }
  }
}

TEST_F(CombinedDataTest, MasterFileIdentityTakesItsItemsByWidth) {
  const std::string data = std::string("0123456789ABCDEF0123456789ABCDEF") + "3" + "3.00" +
                           "112233445566778899AABBCC" + "20120301" + "20220301" + "A12345678" +
                           "NOT CONSUMED";
  EXPECT_EQ(Render(1, "3F00", "EF05", data), 0);
  EXPECT_EQ(text, Gbk("卡的识别码:  0123456789ABCDEF0123456789ABCDEF\r\n\r\n"
                      "卡的类别:  3\r\n\r\n"
                      "规范版本:  3.00\r\n\r\n"
                      "初始化机构编号:  112233445566778899AABBCC\r\n\r\n"
                      "发卡日期:  20120301\r\n\r\n"
                      "卡有效期:  20220301\r\n\r\n"
                      "卡号:  A12345678\r\n\r\n"));
}

TEST_F(CombinedDataTest, MedicalFileUsesSingleLineBreaks) {
  std::string data = "20120301";
  for (int i = 0; i < 3; ++i) {
    data += std::string(62, 'N') + std::string(8, 'E') + std::string(9, 'C');
  }
  data += std::string(15, 'M') + std::string(10, 'P') + "07" + "1";
  EXPECT_EQ(Render(1, "DF04", "EF05", data), 0);
  EXPECT_EQ(text.find("\r\n\r\n"), std::string::npos);
  const std::string head = Gbk("基本医保个帐建立日期:  20120301\r\n");
  EXPECT_EQ(text.substr(0, head.size()), head);
  const std::string tail = Gbk("医疗人员类别:  07\r\n医疗保险用卡方式:  1\r\n");
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST_F(CombinedDataTest, EmptyItemsShowTheirBytesInHex) {
  // Identity number empty; name ends at its first NUL. (An empty hex item is
  // where the data ends: see HexItemCutShortIsWhereTheDataEnds.)
  std::string data(18, '\0');
  data += Gbk("张三") + std::string(26, '\0');
  data += "1";
  data += "01";
  data +=
      "110101"
      "19800101";
  ASSERT_EQ(Render(1, "3F00", "EF06", data), 0);
  EXPECT_EQ(text, Gbk("公民身份号码:  " + std::string(36, '0') + "  (HEX显示)\r\n\r\n" +
                      "姓名:  张三\r\n\r\n" + "性别:  1\r\n\r\n" + "民族:  01\r\n\r\n" +
                      "出生地:  110101\r\n\r\n" + "出生日期:  19800101\r\n\r\n"));
}

TEST_F(CombinedDataTest, StructuredItemsAlwaysShowHex) {
  std::string data;
  data += std::string("\x01\xAB") + std::string(50, '\0');  // education 1
  data += std::string(52, '\x10');                          // education 2
  data += "ABC";                                            // technical title
  data += std::string(29, '\0') + std::string(29, '\xFF');  // qualifications
  ASSERT_EQ(Render(1, "DF02", "EF05", data), 0);
  const std::string first = Gbk("学历信息1:  01AB" + std::string(100, '0') + "  (HEX显示)\r\n\r\n");
  EXPECT_EQ(text.substr(0, first.size()), first);
  EXPECT_NE(text.find(Gbk("专业技术职务:  ABC\r\n\r\n")), std::string::npos);
  EXPECT_NE(text.find(Gbk("职业资格信息2:  ") + std::string(58, 'F')), std::string::npos);
}

TEST_F(CombinedDataTest, HexItemCutShortIsWhereTheDataEnds) {
  // Nothing after the terminator is read: "00FF" is no identification code,
  // and an empty text none either.
  for (const char* data : {"00FF", ""}) {
    EXPECT_EQ(Render(1, "3F00", "EF05", data), -12) << data;
    EXPECT_EQ(text, "");
    EXPECT_EQ(std::string(ErrorText), Gbk("CombinedData 数据长度不足"));
  }
  // Items before the cut stay rendered, each one whole.
  EXPECT_EQ(Render(1, "3F00", "EF05", std::string(32, 'A') + "3" + "3.00" + "112233"), -12);
  EXPECT_EQ(text, Gbk("卡的识别码:  " + std::string(32, 'A') +
                      "\r\n\r\n卡的类别:  3\r\n\r\n规范版本:  3.00\r\n\r\n"));
}

TEST_F(CombinedDataTest, TransparentTextLongerThanTheFileIsRefused) {
  // DF0B EF0C holds 256 bytes: 512 hex characters.
  std::vector<char> out(4096 + 64, 'x');
  const std::string tooLong(5000, 'A');
  EXPECT_EQ(CombinedData(2, "DF0B", "EF0C", tooLong.c_str(), out.data()), -12);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(std::string(ErrorText), Gbk("CombinedData 数据长度超出范围"));
  EXPECT_EQ(CombinedData(2, "DF0B", "EF0C", tooLong.substr(0, 513).c_str(), out.data()), -12);
  EXPECT_EQ(CombinedData(2, "DF0B", "EF0C", tooLong.substr(0, 512).c_str(), out.data()), 0);
}

// Every file's longest rendering (hex items in full, every other item in its
// hex form: zero bytes; a full hex text in a transparent file) fills exactly
// the size the header states for it.
TEST_F(CombinedDataTest, EveryFileRendersWithinTheSizeTheHeaderStates) {
  const std::string zeros(4096, '\0');
  for (int i = 0; FileKeyRelation[i].directory[0] != '\0'; ++i) {
    const char* directory = FileKeyRelation[i].directory;
    const char* file = FileKeyRelation[i].file;
    SCOPED_TRACE(std::string(directory) + " " + file);
    const int size = StatedCombinedTextSize(directory, file);
    EXPECT_EQ(size, CombinedTextSize(directory, file));
    TagCardRecordInfoRow row;
    const bool transparent = FindRecordItem(directory, file, 0, &row) == 0;
    std::string data = transparent ? std::string(2u * row.length, 'F') : zeros;
    if (!transparent) {
      std::uint8_t positions[kMaxRecordItemsPerFile];
      std::size_t p = 0;
      for (int k = 0, n = ListRecordRows(directory, file, positions); k < n; ++k) {
        const TagCardRecordInfoRow& item = TagCardRecordInfo[positions[k]];
        const bool hex = item.dataType == 0 || item.dataType == 4;
        if (hex) data.replace(p, 2u * item.length, 2u * item.length, 'F');
        p += hex ? 2u * item.length : item.length;
      }
    }
    std::vector<char> out(static_cast<std::size_t>(size) + 64, 'x');
    ASSERT_EQ(CombinedData(transparent ? 2 : 1, directory, file, data.data(), out.data()), 0);
    EXPECT_EQ(std::strlen(out.data()) + 1, static_cast<std::size_t>(size));
    EXPECT_LE(CombinedTextSize(directory, file), KX_COMBINED_TEXT_SIZE_MAX);
  }
}

TEST_F(CombinedDataTest, MissingBuffersAreRefused) {
  char out[8] = "x";
  EXPECT_EQ(CombinedData(1, "3F00", "EF05", nullptr, out), -12);
  EXPECT_EQ(CombinedData(1, "3F00", "EF05", "", nullptr), -12);
}

}  // namespace
}  // namespace kx

namespace kx {
namespace {

// KX_READ_INFO_SIZE, the read services' output buffer the header states,
// holds the widest output of any file (every item of it, and the NUL a hex
// item writes last), and no more is asked of hosts.
TEST(DictionaryItemOutput, TheStatedReadBufferFitsTheWidestFile) {
  static char out[8192];
  int widest = 0;
  for (int i = 0; TagCardRecordInfo[i].directory[0] != '\0';) {
    const TagCardRecordInfoRow& first = TagCardRecordInfo[i];
    std::memset(out, 'x', sizeof out);
    int used = 0;
    for (; TagCardRecordInfo[i].directory[0] != '\0' &&
           std::strcmp(TagCardRecordInfo[i].directory, first.directory) == 0 &&
           std::strcmp(TagCardRecordInfo[i].file, first.file) == 0;
         ++i) {
      const TagCardRecordInfoRow& row = TagCardRecordInfo[i];
      used += FormatItemValue(row.dataType, row.length, nullptr, 0, out + used);
    }
    widest = std::max(widest, used + (out[used] == '\0' ? 1 : 0));
  }
  EXPECT_EQ(widest, KX_READ_INFO_SIZE);
}

}  // namespace
}  // namespace kx
