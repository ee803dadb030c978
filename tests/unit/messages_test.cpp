#include <gtest/gtest.h>

#include <set>
#include <string>

#include "KX_ICCReader.h"
#include "core/state.h"
#include "tests/support/gbk.h"

namespace kx {
namespace {

using test::Gbk;

std::string Message(int code) {
  char text[545];
  KXGetErrMessage(code, text);
  return text;
}

TEST(Messages, FixedCodesStandAlone) {
  ResetProcessState();
  ErrorTextReplace("ignored");
  EXPECT_EQ(Message(0), Gbk("成功"));
  EXPECT_EQ(Message(7), Gbk("没有大于0的返回"));
  EXPECT_EQ(Message(-4), Gbk("通讯错误"));
  EXPECT_EQ(Message(-5), Gbk("SAM卡上电错误或未插入SAM卡"));
  EXPECT_EQ(Message(-15), Gbk("密码长度错误"));
  // Every library code but -10 has a message of its own.
  std::set<std::string> seen;
  for (int code = -1; code >= -15; --code) {
    const std::string text = Message(code);
    EXPECT_EQ(code == -10, text.rfind(Gbk("sw返回"), 0) == 0) << code;
    EXPECT_TRUE(seen.insert(text).second) << code;
  }
}

TEST(Messages, ParameterCodeCarriesErrorText) {
  ResetProcessState();
  EXPECT_EQ(Message(-12), Gbk("输入参数不匹配\r\n"));
  ErrorTextReplace(Gbk("capdu 的长度超出范围").c_str());
  EXPECT_EQ(Message(-12), Gbk("输入参数不匹配\r\ncapdu 的长度超出范围"));
}

TEST(Messages, StatusWordsWithAndWithoutRows) {
  ResetProcessState();
  ErrorTextReplace(Gbk("KXReadCardIDAIO 选择文件失败").c_str());
  EXPECT_EQ(Message(-27266), Gbk("sw返回 6a82 未找到文件\r\nKXReadCardIDAIO 选择文件失败"));
  ErrorTextClear();
  EXPECT_EQ(Message(-27015), Gbk("sw返回 6987 \r\n"));
  EXPECT_EQ(Message(-27271), Gbk("sw返回 6a87 \r\n"));
  EXPECT_EQ(Message(-27264), Gbk("sw返回 6a80 \r\n"));
  EXPECT_EQ(Message(-25344), Gbk("sw返回 6300 \r\n"));
  EXPECT_EQ(Message(-0x9402), Gbk("sw返回 9402 交易计数器达到最大值\r\n"));
  EXPECT_EQ(Message(-0x9840), Gbk("sw返回 9840 空间不够\r\n"));
  EXPECT_EQ(Message(-0x6981), Gbk("sw返回 6981 当前文件不是记录文件 \r\n"));
  EXPECT_EQ(KXGetErrMessage(-4, nullptr), 0);  // no buffer: nothing written, still 0
  EXPECT_EQ(Message(-10), Gbk("sw返回 a "));
  ErrorTextReplace("x");
  EXPECT_EQ(Message(-24576), Gbk("sw返回 6000 "));  // the last code without ErrorText
  EXPECT_EQ(Message(-100), Gbk("sw返回 64 "));
}

TEST(Messages, RetryCounterLine) {
  ResetProcessState();
  EXPECT_EQ(Message(-25539), Gbk("sw返回 63c3 \r\n验证失败，您还有3次重试的机会\r\n"));
  EXPECT_EQ(Message(-25546), Gbk("sw返回 63ca \r\n验证失败，您还有a次重试的机会\r\n"));
  EXPECT_EQ(Message(-25536), Gbk("sw返回 63c0 \r\n验证失败，您还有0次重试的机会\r\n"));
}

TEST(Messages, LongestMessageFitsAndExtremesAreSafe) {
  ResetProcessState();
  ErrorTextReplace(std::string(700, 'x').c_str());
  const std::string longest = Message(-27012);
  EXPECT_LT(longest.size(), 545u);
  EXPECT_EQ(Message(INT32_MIN).substr(0, 6), Gbk("sw返回").substr(0, 6));
  EXPECT_EQ(KXGetLibVer(), 20121227);
}

TEST(ErrorTextOps, CutsAt499BytesWithoutSplittingACharacter) {
  ResetProcessState();
  ErrorTextReplace(std::string(600, 'a').c_str());
  EXPECT_EQ(std::string(ErrorText).size(), 499u);
  // After 498 single bytes a double-byte character (lead byte 81 to FE) does
  // not fit; any other byte, or a lead byte that ends the text, does.
  for (const auto& [tail, kept] : {std::pair<std::string, std::size_t>{"\x80\x40", 499},
                                   {"\x81\x40", 498},
                                   {"\xFE\x40", 498},
                                   {"\xFF\x40", 499},
                                   {"\x81", 499}}) {
    ErrorTextReplace((std::string(498, 'a') + tail).c_str());
    EXPECT_EQ(std::string(ErrorText).size(), kept) << int(static_cast<unsigned char>(tail[0]));
  }
  ErrorTextReplace("abc");
  ErrorTextAppend(";def");
  EXPECT_STREQ(ErrorText, "abc;def");
  ErrorTextAppend(std::string(600, 'z').c_str());
  EXPECT_EQ(std::string(ErrorText).size(), 499u);
  ErrorTextFormat(Gbk("打开串口 %d 失败").c_str(), 7);
  EXPECT_EQ(std::string(ErrorText), Gbk("打开串口 7 失败"));
}

}  // namespace
}  // namespace kx
