#include "core/messages.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "core/result.h"
#include "core/state.h"

namespace kx {
namespace {

struct FixedMessage {
  int code;
  const char* text;
};

// Codes whose message stands alone. -12 is here too; its suffix is added below.
constexpr FixedMessage kFixedMessages[] = {
    {0, "成功"},
    {-1, "未知错误"},
    {-2, "打开读写器端口错误"},
    {-3, "读写器版本错误"},
    {-4, "通讯错误"},
    {-5, "SAM卡上电错误或未插入SAM卡"},
    {-6, "未插入用户卡"},
    {-7, "用户卡上电错误"},
    {-8, "用户卡下电错误"},
    {-9, "用户卡命令无响应"},
    {-11, "验证错误"},
    {-12, "输入参数不匹配"},
    {-13, "功能不支持"},
    {-14, "关闭读写器错误"},
    {-15, "密码长度错误"},
};
static_assert(sizeof kFixedMessages / sizeof kFixedMessages[0] == 15,
              "every library code but -10 has a fixed message");

struct StatusWordMessage {
  int sw;
  const char* format;  // %x: the status word in lower-case hex
};

constexpr StatusWordMessage kStatusWordMessages[] = {
    {0x6581, "sw返回 %x 写EEPROM 失败"},
    {0x6700, "sw返回 %x Lc 长度错误"},
    {0x6981, "sw返回 %x 当前文件不是记录文件 "},
    {0x6982, "sw返回 %x 不满足安全状态 "},
    {0x6983, "sw返回 %x 认证密钥锁定"},
    {0x6984, "sw返回 %x 引用数据无效（未申请随机数）"},
    {0x6985, "sw返回 %x 使用条件不满足"},
    {0x6986, "sw返回 %x 没有选择当前文件"},
    {0x6987, "sw返回 %x "},
    {0x6988, "sw返回 %x 安全信息（MAC 和加密）数据错误"},
    {0x6A81, "sw返回 %x 功能不支持"},
    {0x6A82, "sw返回 %x 未找到文件"},
    {0x6A83, "sw返回 %x 未找到记录或未找到pin"},
    {0x6A84, "sw返回 %x 记录空间已满"},
    {0x6A85, "sw返回 %x Lc 与TLV 结构不匹配"},
    {0x6A86, "sw返回 %x P1、P2 参数错"},
    {0x6A87, "sw返回 %x "},
    {0x6A88, "sw返回 %x 未找到密钥数据"},
    {0x6B00, "sw返回 %x 起始地址超出范围"},
    {0x6D00, "sw返回 %x 命令不存在"},
    {0x6E00, "sw返回 %x CLA 错"},
    {0x6F00, "sw返回 %x 数据无效"},
    {0x9300, "sw返回 %x 应用永久锁定"},
    {0x9302, "sw返回 %x MAC 无效"},
    {0x9401, "sw返回 %x 金额不足"},
    {0x9402, "sw返回 %x 交易计数器达到最大值"},
    {0x9403, "sw返回 %x 密钥索引不支持"},
    {0x9406, "sw返回 %x 所需MAC 不可用"},
    {0x9840, "sw返回 %x 空间不够"},
    {0x9850, "sw返回 %x 文件已存在，或文件信息错误"},
};
static_assert(sizeof kStatusWordMessages / sizeof kStatusWordMessages[0] == 30,
              "thirty status words have a message of their own");

constexpr int kCardCodeLimit = -24576;  // codes below carry the ErrorText suffix
constexpr int kRetryFirst = -25551;     // 63CF
constexpr int kRetryLast = -25536;      // 63C0

// Writes the concatenation of the parts into `out`, cut to kErrMessageSize.
void Compose(char* out, const char* first, const char* second = "", const char* third = "") {
  int used = 0;
  for (const char* part : {first, second, third}) {
    for (; *part != '\0' && used < kErrMessageSize - 1; ++part) out[used++] = *part;
  }
  out[used] = '\0';
}

}  // namespace

void FormatErrorMessage(int code, char* message) {
  if (code > 0) {
    Compose(message, "没有大于0的返回");
    return;
  }
  for (const FixedMessage& m : kFixedMessages) {
    if (m.code != code) continue;
    if (code == kErrParam) {
      Compose(message, m.text, "\r\n", ErrorText);
    } else {
      Compose(message, m.text);
    }
    return;
  }

  // Negating INT_MIN would overflow: widen first.
  const unsigned magnitude = static_cast<unsigned>(-static_cast<long long>(code));
  char line[96];
  const char* format = "sw返回 %x ";
  for (const StatusWordMessage& m : kStatusWordMessages) {
    if (static_cast<unsigned>(m.sw) == magnitude) format = m.format;
  }
  std::snprintf(line, sizeof line, format, magnitude);
  if (code >= kRetryFirst && code <= kRetryLast) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", magnitude);
    std::snprintf(line, sizeof line, "sw返回 %x \r\n验证失败，您还有%c次重试的机会", magnitude,
                  hex[3]);
  }
  if (code < kCardCodeLimit) {
    Compose(message, line, "\r\n", ErrorText);
  } else {
    Compose(message, line);
  }
}

}  // namespace kx
