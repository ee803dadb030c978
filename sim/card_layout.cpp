#include "sim/card_layout.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace kx::sim {
namespace {

using enum ItemType;

constexpr Access Free() {
  return {Rule::Free, {}};
}
constexpr Access Pin() {
  return {Rule::Pin, {}};
}
constexpr Access PinAnd(std::string_view key) {
  return {Rule::PinAndKey, key};
}
constexpr Access PinOr(std::string_view key) {
  return {Rule::PinOrKey, key};
}
constexpr Access Key(std::string_view key) {
  return {Rule::Key, key};
}
constexpr Access Never() {
  return {Rule::Never, {}};
}

constexpr FileLayout Records(std::uint16_t directory, std::uint16_t file, std::uint8_t kind,
                             Access read, Access write, std::span<const RecordLayout> records) {
  return {directory, file, kind, read, write, records, 0, {}};
}
constexpr FileLayout Transparent(std::uint16_t directory, std::uint16_t file, Access read,
                                 Access write, int size, std::string_view name) {
  return {directory, file, kTransparentKind, read, write, {}, size, name};
}

constexpr std::uint16_t kDirectories[] = {0xDF01, 0xDF02, 0xDF03, 0xDF04, 0xDF0A, 0xDF0B,
                                          0xDF0C, 0xDF0D, 0xDF0E, 0xDF0F, 0xDF10};

// directory, name, card key id, PSAM key usage and index, levels
constexpr CardKey kKeys[] = {
    {0x3F00, "IRK", 0x00, 0x67, 0x08, 3},
    {0x3F00, "BK", 0x05, 0x48, 0x11, 2},
    {0x3F00, "PUK", 0x06, 0x48, 0x10, 2},
    {0x3F00, "UKMF", 0x04, 0x48, 0x12, 2},
    {0x3F00, "STKMF", 0x02, 0x48, 0x09, 2},
    {0x3F00, "RKMF", 0x07, 0x48, 0x50, 2},

    {0xDF01, "STKDF01", 0x82, 0x48, 0x20, 2},
    {0xDF01, "UK1DF01", 0x83, 0x48, 0x42, 2},
    {0xDF01, "UK2DF01", 0x84, 0x48, 0x43, 2},
    {0xDF01, "UK3DF01", 0x85, 0x47, 0x24, 2},
    {0xDF01, "UK4DF01", 0x86, 0x47, 0x25, 2},
    {0xDF01, "UK5DF01", 0x87, 0x48, 0x44, 2},

    {0xDF02, "STKDF02", 0x82, 0x48, 0x21, 2},
    {0xDF02, "UK1DF02", 0x83, 0x47, 0x26, 2},
    {0xDF02, "UK2DF02", 0x84, 0x48, 0x45, 2},
    {0xDF02, "UK3DF02", 0x85, 0x48, 0x46, 2},
    {0xDF02, "UK4DF02", 0x86, 0x47, 0x27, 2},
    {0xDF02, "UK5DF02", 0x87, 0x47, 0x28, 2},

    {0xDF03, "STKDF03", 0x82, 0x48, 0x22, 2},
    {0xDF03, "LKDF03", 0x83, 0x48, 0x40, 2},
    {0xDF03, "RK1DF03", 0x84, 0x67, 0x2B, 3},
    {0xDF03, "RK2DF03", 0x85, 0x67, 0x2C, 3},
    {0xDF03, "UK1DF03", 0x86, 0x48, 0x47, 2},
    {0xDF03, "UK2DF03", 0x87, 0x47, 0x29, 2},
    {0xDF03, "UK3DF03", 0x88, 0x48, 0x48, 2},
    // Derived by the PSAM with no factor at all; the card has no id for it.
    {0xDF03, "UKCDF03", kNotOnCard, 0x48, 0x4D, 0},

    {0xDF04, "STKDF04", 0x82, 0x48, 0x23, 2},
    {0xDF04, "LKDF04", 0x83, 0x48, 0x41, 2},
    {0xDF04, "RK1DF04", 0x84, 0x67, 0x2D, 3},
    {0xDF04, "RK2DF04", 0x89, 0x28, 0x8F, 1},
    {0xDF04, "UK1DF04", 0x85, 0x48, 0x49, 2},
    {0xDF04, "UK2DF04", 0x86, 0x47, 0x2A, 2},
    {0xDF04, "UK3DF04", 0x8A, 0x28, 0x8E, 1},
    {0xDF04, "DSKDF04", 0x87, 0x48, 0x4A, 2},
    // The payment keys share id 01; EXTERNAL AUTHENTICATE reaches the first.
    {0xDF04, "DLKDF04", 0x01, 0x49, 0x4B, 2},
    {0xDF04, "DPKDF04", 0x01, 0x42, 0x01, 2},
    {0xDF04, "DTKDF04", 0x01, 0x4C, 0x02, 2},
    {0xDF04, "UKCDF04", 0x01, 0x48, 0x03, 2},

    {0xDF0A, "STKDF0A", 0x82, 0x28, 0x81, 1},
    {0xDF0A, "LKDF0A", 0x83, 0x28, 0x88, 1},
    {0xDF0A, "UK1DF0A", 0x84, 0x28, 0x98, 1},
    {0xDF0A, "RK1DF0A", 0x85, 0x28, 0x90, 1},

    {0xDF0B, "STKDF0B", 0x82, 0x28, 0x82, 1},
    {0xDF0B, "LKDF0B", 0x83, 0x28, 0x89, 1},
    {0xDF0B, "UK1DF0B", 0x84, 0x28, 0x99, 1},
    {0xDF0B, "RK1DF0B", 0x85, 0x28, 0x91, 1},

    {0xDF0C, "STKDF0C", 0x82, 0x28, 0x83, 1},
    {0xDF0C, "LKDF0C", 0x83, 0x28, 0x8A, 1},
    {0xDF0C, "UK1DF0C", 0x84, 0x28, 0x9A, 1},
    {0xDF0C, "RK1DF0C", 0x85, 0x28, 0x92, 1},

    {0xDF0D, "STKDF0D", 0x82, 0x28, 0x84, 1},
    {0xDF0D, "LKDF0D", 0x83, 0x28, 0x8B, 1},
    {0xDF0D, "UK1DF0D", 0x84, 0x28, 0x9B, 1},
    {0xDF0D, "RK1DF0D", 0x85, 0x28, 0x93, 1},

    {0xDF0E, "STKDF0E", 0x82, 0x28, 0x85, 1},
    {0xDF0E, "LKDF0E", 0x83, 0x28, 0x8C, 1},
    {0xDF0E, "UK1DF0E", 0x84, 0x28, 0x9C, 1},
    {0xDF0E, "RK1DF0E", 0x85, 0x28, 0x94, 1},

    {0xDF0F, "STKDF0F", 0x82, 0x28, 0x86, 1},
    {0xDF0F, "LKDF0F", 0x83, 0x28, 0x8D, 1},
    {0xDF0F, "UK1DF0F", 0x84, 0x28, 0x9D, 1},
    {0xDF0F, "RK1DF0F", 0x85, 0x28, 0x95, 1},

    {0xDF10, "STKDF10", 0x82, 0x28, 0x87, 1},
    {0xDF10, "LKDF10", 0x83, 0x28, 0x8E, 1},
    {0xDF10, "UK1DF10", 0x84, 0x28, 0x9E, 1},
    {0xDF10, "RK1DF10", 0x85, 0x28, 0x96, 1},
};

// Records: number, tag, value length, type, item name; one a line.
// clang-format off

// 3F00: the card and its holder.
constexpr RecordLayout kMfEf05[] = {
    {1, 0x01, 16, Numeric, "卡的识别码"},
    {2, 0x02, 1, Text, "卡的类别"},
    {3, 0x03, 4, Text, "规范版本"},
    {4, 0x04, 12, Numeric, "初始化机构编号"},
    {5, 0x05, 4, Numeric, "发卡日期"},
    {6, 0x06, 4, Numeric, "卡有效期"},
    {7, 0x07, 9, Text, "卡号"},
};
constexpr RecordLayout kMfEf06[] = {
    {1, 0x08, 18, Text, "公民身份号码"},
    {2, 0x09, 30, Text, "姓名"},
    {3, 0x0A, 1, Text, "性别"},
    {4, 0x0B, 1, Numeric, "民族"},
    {5, 0x0C, 3, Numeric, "出生地"},
    {6, 0x0D, 4, Numeric, "出生日期"},
};
constexpr RecordLayout kMfEf0C[] = {
    {1, 0xDA, 16, Numeric, "省级初始化识别码"},
    {2, 0xDB, 1, Text, "介质类别"},
    {3, 0xDC, 4, Text, "规范版本"},
    {4, 0xDD, 4, Numeric, "初始化日期"},
};

// DF01: residence, contact, employment.
constexpr RecordLayout kDf01Ef05[] = {
    {1, 0x20, 1, Text, "户口类型"},
    {2, 0x21, 62, Text, "常住户口所在地地址"},
    {3, 0x22, 18, Text, "常住户口所在地扩展"},
    {4, 0xF2, 2, Numeric, "国籍"},
};
constexpr RecordLayout kDf01Ef06[] = {
    {1, 0x25, 62, Text, "通讯地址"},
    {2, 0x26, 18, Text, "通讯地址扩展"},
    {3, 0x27, 3, Numeric, "通讯地址邮政编码"},
    {4, 0x28, 15, Text, "联系电话"},
};
constexpr RecordLayout kDf01Ef07[] = {
    {1, 0x29, 1, Text, "个人就业或离退休状态"},
    {2, 0x2A, 1, Numeric, "文化程度"},
};
constexpr RecordLayout kDf01Ef08[] = {
    {1, 0x2B, 1, Text, "婚姻状况"},
};
constexpr RecordLayout kDf01Ef09[] = {
    {1, 0x2E, 62, Text, "单位名称"},
    {2, 0x2F, 8, Text, "单位名称扩展"},
    {3, 0x30, 9, Text, "单位组织机构代码"},
    {4, 0x31, 1, Text, "单位类型"},
    {5, 0x32, 3, Text, "单位经济类型"},
};
constexpr RecordLayout kDf01Ef0A[] = {
    {1, 0x37, 4, Numeric, "缴费工资（基数）"},
    {2, 0x38, 4, Numeric, "上年工资总额"},
    {3, 0x39, 4, Numeric, "工资信息更新日期"},
};

// DF02: education and work. Two items may share a tag.
constexpr RecordLayout kDf02Ef05[] = {
    {1, 0x40, 52, Structured, "学历信息1"},
    {2, 0x40, 52, Structured, "学历信息2"},
    {3, 0x42, 3, Text, "专业技术职务"},
    {4, 0x43, 29, Structured, "职业资格信息1"},
    {5, 0x43, 29, Structured, "职业资格信息2"},
};
constexpr RecordLayout kDf02Ef06[] = {
    {1, 0x4B, 4, Numeric, "首次参加工作日期"},
    {2, 0x4C, 4, Numeric, "最近办理就业登记日期"},
    {3, 0x60, 4, Numeric, "最近办理失业登记日期"},
    {4, 0x4D, 4, Numeric, "签订劳动合同日期"},
    {5, 0x4F, 4, Numeric, "终止解除劳动合同日期"},
    {6, 0x50, 4, Numeric, "劳动合同起始日期"},
    {7, 0x3A, 7, Text, "现从事职业"},
};
constexpr RecordLayout kDf02Ef07[] = {
    {1, 0x00, 85, Structured, "劳动就业记录1"},
    {2, 0x00, 85, Structured, "劳动就业记录2"},
    {3, 0x00, 85, Structured, "劳动就业记录3"},
    {4, 0x00, 85, Structured, "劳动就业记录4"},
};
constexpr RecordLayout kDf02Ef08[] = {
    {1, 0x52, 10, Numeric, "外出人员就业登记卡编号"},
    {2, 0x53, 62, Text, "就业卡登记发证机关"},
    {3, 0x94, 8, Text, "就业卡登记发证机关扩展"},
    {4, 0x54, 4, Numeric, "就业卡发卡/年检日期"},
};
constexpr RecordLayout kDf02Ef09[] = {
    {1, 0x55, 10, Numeric, "外出人员就业证编号"},
    {2, 0x56, 62, Text, "就业证签发机关"},
    {3, 0x95, 8, Text, "就业证签发机关扩展"},
    {4, 0x96, 4, Numeric, "就业证签发/年检日期"},
    {5, 0x97, 4, Numeric, "就业证有效期"},
};

// DF03: unemployment, disability, pension.
constexpr RecordLayout kDf03Ef05[] = {
    {1, 0x98, 4, Numeric, "最近失业保险申领日期"},
    {2, 0x61, 4, Numeric, "月失业保险金支付标准"},
    {3, 0x62, 4, Numeric, "失业保险信息更新日期"},
    {4, 0x63, 3, Text, "失业保险累计缴费年限"},
    {5, 0x64, 3, Text, "失业保险有效缴费年限"},
    {6, 0x65, 3, Text, "应领取失业保险金月数"},
    {7, 0x66, 3, Text, "已领取失业保险月数"},
};
constexpr RecordLayout kDf03Ef06[] = {
    {1, 0x67, 4, Numeric, "丧失劳动能力鉴定日期"},
    {2, 0x68, 62, Text, "丧失劳动能力鉴定结论"},
    {3, 0x69, 62, Text, "丧失劳动能力鉴定扩展1"},
    {4, 0x6A, 16, Text, "丧失劳动能力鉴定扩展2"},
    {5, 0x6B, 60, Text, "鉴定机构名称"},
};
constexpr RecordLayout kDf03Ef07[] = {
    {1, 0x6C, 4, Numeric, "办理离退休、退职日期"},
    {2, 0x6D, 4, Numeric, "月养老金支付金额"},
    {3, 0x6E, 4, Numeric, "基本养老险个帐建立日期"},
    {4, 0x6F, 4, Numeric, "基本养老险个帐更新日期"},
    {5, 0x70, 3, Text, "养老保险费累计缴纳月数"},
    {6, 0x71, 4, Numeric, "个帐个人缴纳本息储存额"},
    {7, 0x72, 4, Numeric, "个帐单位缴纳本息储存额"},
    {8, 0x73, 4, Numeric, "养老保险信息更新日期"},
};

// DF04: medical insurance and its payments.
constexpr RecordLayout kDf04Ef05[] = {
    {1, 0x80, 4, Numeric, "基本医保个帐建立日期"},
    {2, 0x81, 62, Text, "定点医疗机构名称1"},
    {3, 0x82, 8, Text, "定点医疗机构名称扩展1"},
    {4, 0x83, 9, Text, "定点医疗机构代码1"},
    {5, 0x84, 62, Text, "定点医疗机构名称2"},
    {6, 0x85, 8, Text, "定点医疗机构名称扩展2"},
    {7, 0x86, 9, Text, "定点医疗机构代码2"},
    {8, 0x87, 62, Text, "定点医疗机构名称3"},
    {9, 0x88, 8, Text, "定点医疗机构名称扩展3"},
    {10, 0x89, 9, Text, "定点医疗机构代码3"},
    {11, 0x8A, 15, Text, "医疗证号"},
    {12, 0x8B, 10, Text, "基本医疗保险个人帐号"},
    {13, 0x8C, 1, Numeric, "医疗人员类别"},
    {14, 0x8F, 1, Text, "医疗保险用卡方式"},
};
constexpr RecordLayout kDf04Ef06[] = {
    {1, 0x90, 4, Numeric, "个人帐户余额"},
    {2, 0x92, 4, Numeric, "年度个人自付累计金额"},
    {3, 0x93, 4, Numeric, "年度统筹基金支付累计额"},
};
// The last transaction, raw fields; there is no record 4.
constexpr RecordLayout kDf04Ef08[] = {
    {1, 0x00, 2, Raw, "交易序号"},
    {2, 0x00, 1, Text, "交易类型"},
    {3, 0x00, 6, Numeric, "终端机编号"},
    {5, 0x00, 7, Numeric, "终端交易时间"},
    {6, 0x00, 4, Raw, "个人帐户交易金额"},
    {7, 0x00, 4, Raw, "个人自付金额"},
    {8, 0x00, 4, Raw, "统筹基金支付金额"},
};
constexpr RecordLayout kDf04Ef0C[] = {
    {1, 0xEA, 15, Text, "人员类别"},
    {2, 0xEB, 4, Text, "待遇状态"},
};

// DF0A: the bank account.
constexpr RecordLayout kDf0AEf0C[] = {
    {1, 0xEC, 64, Text, "银行名称"},
    {2, 0xED, 40, Text, "银行账号"},
};

// clang-format on

constexpr FileLayout kFiles[] = {
    Records(0x3F00, 0xEF05, 1, Free(), Key("UKMF"), kMfEf05),
    Records(0x3F00, 0xEF06, 1, Free(), Key("UKMF"), kMfEf06),
    Transparent(0x3F00, 0xEF07, Free(), Key("UKMF"), 768, "指纹"),
    Records(0x3F00, 0xEF0C, 1, Key("RKMF"), Key("UKMF"), kMfEf0C),

    Records(0xDF01, 0xEF05, 1, Pin(), Key("UK1DF01"), kDf01Ef05),
    Records(0xDF01, 0xEF06, 1, Pin(), Key("UK4DF01"), kDf01Ef06),
    Records(0xDF01, 0xEF07, 0, PinOr("UK2DF01"), Key("UK2DF01"), kDf01Ef07),
    Records(0xDF01, 0xEF08, 1, Pin(), Key("UK3DF01"), kDf01Ef08),
    Records(0xDF01, 0xEF09, 1, PinOr("UK2DF01"), Key("UK2DF01"), kDf01Ef09),
    Records(0xDF01, 0xEF0A, 0, Pin(), Key("UK5DF01"), kDf01Ef0A),

    Records(0xDF02, 0xEF05, 1, Pin(), Key("UK1DF02"), kDf02Ef05),
    Records(0xDF02, 0xEF06, 1, PinOr("UK2DF02"), Key("UK2DF02"), kDf02Ef06),
    Records(0xDF02, 0xEF07, 3, PinOr("UK3DF02"), Key("UK3DF02"), kDf02Ef07),
    Records(0xDF02, 0xEF08, 1, PinOr("UK4DF02"), Key("UK4DF02"), kDf02Ef08),
    Records(0xDF02, 0xEF09, 1, PinOr("UK5DF02"), Key("UK5DF02"), kDf02Ef09),

    Records(0xDF03, 0xEF05, 1, PinAnd("RK2DF03"), Key("UK1DF03"), kDf03Ef05),
    Records(0xDF03, 0xEF06, 1, Pin(), Key("UK2DF03"), kDf03Ef06),
    Records(0xDF03, 0xEF07, 1, PinAnd("RK1DF03"), Key("UK3DF03"), kDf03Ef07),

    Records(0xDF04, 0xEF05, 1, Pin(), Key("UK1DF04"), kDf04Ef05),
    Records(0xDF04, 0xEF06, 0, PinAnd("RK1DF04"), Key("UK2DF04"), kDf04Ef06),
    // Written by the card itself as it pays.
    Records(0xDF04, 0xEF08, 3, Pin(), Never(), kDf04Ef08),
    Records(0xDF04, 0xEF0C, 1, Key("RK2DF04"), Key("UK3DF04"), kDf04Ef0C),

    Records(0xDF0A, 0xEF0C, 1, Key("RK1DF0A"), Key("UK1DF0A"), kDf0AEf0C),
    Transparent(0xDF0B, 0xEF0C, Key("RK1DF0B"), Key("UK1DF0B"), 256, "保留透明字段1"),
    Transparent(0xDF0C, 0xEF0C, Key("RK1DF0C"), Key("UK1DF0C"), 256, "保留透明字段2"),
    Transparent(0xDF0D, 0xEF0C, Key("RK1DF0D"), Key("UK1DF0D"), 512, "保留透明字段3"),
    Transparent(0xDF0E, 0xEF0C, Key("RK1DF0E"), Key("UK1DF0E"), 512, "保留透明字段4"),
    Transparent(0xDF0F, 0xEF0C, Key("RK1DF0F"), Key("UK1DF0F"), 768, "保留透明字段5"),
    Transparent(0xDF10, 0xEF0C, Key("RK1DF10"), Key("UK1DF10"), 1280, "保留透明字段6"),
};

// ------------------------------------------------------------ consistency

constexpr bool IsDirectory(std::uint16_t id) {
  return id == kMasterFile ||
         std::find(std::begin(kDirectories), std::end(kDirectories), id) != std::end(kDirectories);
}

constexpr const CardKey* KeyIn(std::uint16_t directory, std::string_view name) {
  for (const CardKey& key : kKeys) {
    if (key.directory == directory && key.name == name) return &key;
  }
  return nullptr;
}

// A rule that asks for a key names one the card holds in the file's
// directory; the others name none.
constexpr bool RuleHoldsUp(std::uint16_t directory, const Access& access) {
  if (access.rule == Rule::Free || access.rule == Rule::Pin || access.rule == Rule::Never) {
    return access.key.empty();
  }
  const CardKey* key = KeyIn(directory, access.key);
  return key != nullptr && key->id != kNotOnCard;
}

constexpr bool KeysHoldUp() {
  for (const CardKey& key : kKeys) {
    if (!IsDirectory(key.directory) || key.levels < 0 || key.levels > 3) return false;
    if (key.id < kNotOnCard || key.id > 0xFF || KeyIn(key.directory, key.name) != &key) {
      return false;
    }
  }
  return true;
}

// Records in ascending order, each number once; a tagged value's length fits
// its length byte; a transparent file has a size and no records.
constexpr bool FilesHoldUp() {
  for (const FileLayout& file : kFiles) {
    if (!IsDirectory(file.directory) || file.directory == file.file) return false;
    if (!RuleHoldsUp(file.directory, file.read) || !RuleHoldsUp(file.directory, file.write)) {
      return false;
    }
    if (file.IsTransparent() != file.records.empty()) return false;
    if (file.IsTransparent() != (file.binarySize > 0)) return false;
    int previous = 0;
    for (const RecordLayout& record : file.records) {
      if (record.number <= previous || record.number > 0xFF) return false;
      if (record.valueLength <= 0 || record.Size() > 0xFF) return false;
      previous = record.number;
    }
  }
  for (std::size_t i = 0; i < std::size(kFiles); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (kFiles[i].directory == kFiles[j].directory && kFiles[i].file == kFiles[j].file) {
        return false;
      }
    }
  }
  return true;
}

static_assert(KeysHoldUp(), "a key outside the card's directories, or named twice");
static_assert(FilesHoldUp(), "a file whose rules, records or size do not hold up");

}  // namespace

const RecordLayout* FileLayout::FindRecord(int number) const {
  for (const RecordLayout& record : records) {
    if (record.number == number) return &record;
  }
  return nullptr;
}

std::span<const FileLayout> CardFileLayout() {
  return kFiles;
}

const FileLayout* FindFileLayout(std::uint16_t directory, std::uint16_t file) {
  for (const FileLayout& layout : kFiles) {
    if (layout.directory == directory && layout.file == file) return &layout;
  }
  return nullptr;
}

std::span<const std::uint16_t> CardDirectories() {
  return kDirectories;
}

bool IsCardDirectory(std::uint16_t id) {
  return IsDirectory(id);
}

std::span<const CardKey> CardKeys() {
  return kKeys;
}

const CardKey* CardKeyNamed(std::uint16_t directory, std::string_view name) {
  return KeyIn(directory, name);
}

const Bytes& MasterFileName() {
  static const Bytes name = [] {
    const char* text = "sx1.sh.社会保障";
    return Bytes(text, text + std::strlen(text));
  }();
  return name;
}

Bytes RecordImage(const RecordLayout& layout, const Bytes& value) {
  Bytes image;
  if (layout.tag != 0) {
    image.push_back(layout.tag);
    image.push_back(static_cast<std::uint8_t>(layout.valueLength));
  }
  Bytes padded = value;
  padded.resize(layout.valueLength, 0x00);
  image.insert(image.end(), padded.begin(), padded.end());
  return image;
}

std::optional<std::uint8_t> CardKeyId(std::uint16_t directory, std::string_view name) {
  const CardKey* key = KeyIn(directory, name);
  if (key == nullptr || key->id == kNotOnCard) return std::nullopt;
  return static_cast<std::uint8_t>(key->id);
}

std::string CardKeyNames(std::uint16_t directory, std::uint8_t id) {
  std::string names;
  for (const CardKey& key : kKeys) {
    if (key.directory == directory && key.id == id) {
      if (!names.empty()) names += ' ';
      names += key.name;
    }
  }
  return names;
}

}  // namespace kx::sim
