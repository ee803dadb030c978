#include "sim/default_profile.h"

#include <algorithm>
#include <cstring>

#include "sim/card_layout.h"
#include "sim/hex.h"
#include "sim/personalise.h"

namespace kx::sim {
namespace {

enum class ValueKind { Hex, Text };
struct DefaultItem {
  std::uint16_t directory;
  std::uint16_t file;
  int record;
  ValueKind kind;
  const char* value;  // hex digits, or text (GBK in the binary)
};

constexpr ValueKind H = ValueKind::Hex;
constexpr ValueKind T = ValueKind::Text;

// A fictional cardholder. Texts are zero-padded to the item's length.
const DefaultItem kDefaultItems[] = {
    {0x3F00, 0xEF05, 1, H, "330329D15600000500006074BD3D5A3F"},
    {0x3F00, 0xEF05, 2, T, "1"},
    {0x3F00, 0xEF05, 3, T, "2.00"},
    {0x3F00, 0xEF05, 4, H, "330329100001000000000001"},
    {0x3F00, 0xEF05, 5, H, "20120101"},
    {0x3F00, 0xEF05, 6, H, "20220101"},
    {0x3F00, 0xEF05, 7, T, "K12345678"},
    {0x3F00, 0xEF06, 1, T, "330329198001010019"},
    {0x3F00, 0xEF06, 2, T, "张三"},
    {0x3F00, 0xEF06, 3, T, "1"},
    {0x3F00, 0xEF06, 4, H, "01"},
    {0x3F00, 0xEF06, 5, H, "330329"},
    {0x3F00, 0xEF06, 6, H, "19800101"},
    {0x3F00, 0xEF0C, 1, H, "3300D156000005000000000000000001"},
    {0x3F00, 0xEF0C, 2, T, "1"},
    {0x3F00, 0xEF0C, 3, T, "2.00"},
    {0x3F00, 0xEF0C, 4, H, "20111201"},
    {0xDF01, 0xEF05, 1, T, "1"},
    {0xDF01, 0xEF05, 2, T, "浙江省温州市泰顺县示范镇幸福路1号"},
    {0xDF01, 0xEF05, 3, T, "3幢201室"},
    {0xDF01, 0xEF05, 4, H, "0156"},
    {0xDF01, 0xEF06, 1, T, "浙江省温州市泰顺县和平街88号"},
    {0xDF01, 0xEF06, 2, T, "5幢302室"},
    {0xDF01, 0xEF06, 3, H, "325500"},
    {0xDF01, 0xEF06, 4, T, "13800000000"},
    {0xDF01, 0xEF07, 1, T, "1"},
    {0xDF01, 0xEF07, 2, H, "21"},
    {0xDF01, 0xEF08, 1, T, "2"},
    {0xDF01, 0xEF09, 1, T, "示范科技有限公司"},
    {0xDF01, 0xEF09, 2, T, "研发部"},
    {0xDF01, 0xEF09, 3, T, "12345678X"},
    {0xDF01, 0xEF09, 4, T, "1"},
    {0xDF01, 0xEF09, 5, T, "110"},
    {0xDF01, 0xEF0A, 1, H, "00500000"},
    {0xDF01, 0xEF0A, 2, H, "06000000"},
    {0xDF01, 0xEF0A, 3, H, "20120101"},
    {0xDF02, 0xEF05, 1, T, "20000901示范大学计算机科学与技术本科"},
    {0xDF02, 0xEF05, 2, T, "20040901示范大学软件工程硕士"},
    {0xDF02, 0xEF05, 3, T, "062"},
    {0xDF02, 0xEF05, 4, T, "20080601软件设计师"},
    {0xDF02, 0xEF05, 5, T, "20100601网络工程师"},
    {0xDF02, 0xEF06, 1, H, "20070801"},
    {0xDF02, 0xEF06, 2, H, "20070801"},
    {0xDF02, 0xEF06, 3, H, "20100301"},
    {0xDF02, 0xEF06, 4, H, "20070801"},
    {0xDF02, 0xEF06, 5, H, "20100228"},
    {0xDF02, 0xEF06, 6, H, "20070801"},
    {0xDF02, 0xEF06, 7, T, "2020100"},
    {0xDF02, 0xEF07, 1, T, "2007080120100228示范科技有限公司软件工程师"},
    {0xDF02, 0xEF07, 2, T, "2010050120111231温州示范网络有限公司系统分析师"},
    {0xDF02, 0xEF07, 3, T, "20120101泰顺示范信息技术有限公司项目经理"},
    {0xDF02, 0xEF07, 4, T, "20120601泰顺示范信息技术有限公司技术总监"},
    {0xDF02, 0xEF08, 1, H, "33032900000000000001"},
    {0xDF02, 0xEF08, 2, T, "泰顺县人力资源和社会保障局"},
    {0xDF02, 0xEF08, 3, T, "就业科"},
    {0xDF02, 0xEF08, 4, H, "20120101"},
    {0xDF02, 0xEF09, 1, H, "33032900000000000002"},
    {0xDF02, 0xEF09, 2, T, "泰顺县就业管理服务处"},
    {0xDF02, 0xEF09, 3, T, "发证科"},
    {0xDF02, 0xEF09, 4, H, "20120101"},
    {0xDF02, 0xEF09, 5, H, "20220101"},
    {0xDF03, 0xEF05, 1, H, "20100301"},
    {0xDF03, 0xEF05, 2, H, "00120000"},
    {0xDF03, 0xEF05, 3, H, "20120101"},
    {0xDF03, 0xEF05, 4, T, "012"},
    {0xDF03, 0xEF05, 5, T, "010"},
    {0xDF03, 0xEF05, 6, T, "012"},
    {0xDF03, 0xEF05, 7, T, "003"},
    {0xDF03, 0xEF06, 1, H, "20110601"},
    {0xDF03, 0xEF06, 2, T, "未丧失劳动能力"},
    {0xDF03, 0xEF06, 3, T, "复查结论维持原鉴定"},
    {0xDF03, 0xEF06, 4, T, "无"},
    {0xDF03, 0xEF06, 5, T, "泰顺县劳动能力鉴定委员会"},
    {0xDF03, 0xEF07, 1, H, "20400101"},
    {0xDF03, 0xEF07, 2, H, "00300000"},
    {0xDF03, 0xEF07, 3, H, "20070801"},
    {0xDF03, 0xEF07, 4, H, "20120101"},
    {0xDF03, 0xEF07, 5, T, "053"},
    {0xDF03, 0xEF07, 6, H, "03500000"},
    {0xDF03, 0xEF07, 7, H, "05200000"},
    {0xDF03, 0xEF07, 8, H, "20120101"},
    {0xDF04, 0xEF05, 1, H, "20070801"},
    {0xDF04, 0xEF05, 2, T, "泰顺县人民医院"},
    {0xDF04, 0xEF05, 3, T, "门诊部"},
    {0xDF04, 0xEF05, 4, T, "H33032901"},
    {0xDF04, 0xEF05, 5, T, "泰顺县中医院"},
    {0xDF04, 0xEF05, 6, T, "门诊部"},
    {0xDF04, 0xEF05, 7, T, "H33032902"},
    {0xDF04, 0xEF05, 8, T, "温州示范医科大学附属第一医院"},
    {0xDF04, 0xEF05, 9, T, "住院部"},
    {0xDF04, 0xEF05, 10, T, "H33030001"},
    {0xDF04, 0xEF05, 11, T, "330329000000001"},
    {0xDF04, 0xEF05, 12, T, "3303290001"},
    {0xDF04, 0xEF05, 13, H, "11"},
    {0xDF04, 0xEF05, 14, T, "1"},
    {0xDF04, 0xEF06, 1, H, "00123456"},
    {0xDF04, 0xEF06, 2, H, "00020000"},
    {0xDF04, 0xEF06, 3, H, "00050000"},
    {0xDF04, 0xEF08, 1, H, "0001"},
    {0xDF04, 0xEF08, 2, T, "1"},
    {0xDF04, 0xEF08, 3, H, "330329000001"},
    {0xDF04, 0xEF08, 5, H, "20120101103000"},
    {0xDF04, 0xEF08, 6, H, "00002710"},
    {0xDF04, 0xEF08, 7, H, "000003E8"},
    {0xDF04, 0xEF08, 8, H, "00002328"},
    {0xDF04, 0xEF0C, 1, T, "在职职工"},
    {0xDF04, 0xEF0C, 2, T, "正常"},
    {0xDF0A, 0xEF0C, 1, T, "示范银行泰顺支行"},
    {0xDF0A, 0xEF0C, 2, T, "6222000000000000001"},
};

// The default cardholder's reset answer: TS, T0 (TB1, TC1 and 13 historical
// bytes), TB1, TC1, the historical bytes "KXSIM" and an 8-byte chip serial,
// and no check byte. The serial is the card factor.
const Bytes kDefaultAtr = {0x3B, 0x6D, 0x00, 0x00, 0x4B, 0x58, 0x53, 0x49, 0x4D,
                           0x86, 0x98, 0x20, 0x12, 0x01, 0x01, 0x00, 0x01};
const Bytes kDefaultPin = {0x12, 0x34, 0x56};
const Bytes kDefaultPsamAtr = {0x3B, 0x6A, 0x00, 0x00, 0x4B, 0x58, 0x50,
                               0x53, 0x41, 0x4D, 0x33, 0x03, 0x29, 0x01};
const Bytes kDefaultTerminalId = {0x33, 0x03, 0x29, 0x00, 0x00, 0x01};

// Fingerprint and reserved areas: a recognisable header and a fixed pattern.
Bytes TransparentContent(const FileLayout& file) {
  Bytes content(file.binarySize);
  for (int k = 0; k < file.binarySize; ++k) {
    content[k] = static_cast<std::uint8_t>((k * 7 + file.directory) & 0xFF);
  }
  const Bytes header = file.directory == kMasterFile
                           ? Bytes{'F', 'M', 'R', 0x00, ' ', '2', '0', 0x00}
                           : Bytes{'K', 'X', 'R', 'S', 'V', 0x00};
  std::copy_n(header.begin(), std::min(header.size(), content.size()), content.begin());
  return content;
}

}  // namespace

CardProfile DefaultCardProfile() {
  CardProfile card;
  card.atr = kDefaultAtr;
  card.pin = kDefaultPin;
  for (const DefaultItem& item : kDefaultItems) {
    const FileLayout* file = FindFileLayout(item.directory, item.file);
    if (file == nullptr) continue;
    const RecordLayout* record = file->FindRecord(item.record);
    if (record == nullptr) continue;
    Bytes value;
    if (item.kind == ValueKind::Hex) {
      value = ParseHex(item.value).value_or(Bytes{});
    } else {
      value.assign(item.value, item.value + std::strlen(item.value));
    }
    card.files[{file->directory, file->file}].records[item.record] = RecordImage(*record, value);
  }
  for (const FileLayout& file : CardFileLayout()) {
    if (file.IsTransparent()) card.files[{file.directory, file.file}].binary = TransparentContent(file);
  }
  NormaliseContent(&card);
  PersonaliseKeys(&card);
  return card;
}

PsamProfile DefaultPsamProfile() {
  PsamProfile psam;
  psam.atr = kDefaultPsamAtr;
  psam.terminalId = kDefaultTerminalId;
  return psam;
}

SimProfile DefaultProfile() {
  return SimProfile{DefaultCardProfile(), DefaultPsamProfile()};
}

}  // namespace kx::sim
