#include "service/items.h"

#include <cstring>
#include <utility>

#include "service/text.h"

namespace kxservice {

namespace {

const Item kItems[] = {
    {"3F00", "EF05", 1, 1, "卡的识别码", ItemKind::kNumber, 16},
    {"3F00", "EF05", 1, 2, "卡的类别", ItemKind::kText, 1},
    {"3F00", "EF05", 1, 3, "规范版本", ItemKind::kText, 4},
    {"3F00", "EF05", 1, 4, "初始化机构编号", ItemKind::kNumber, 12},
    {"3F00", "EF05", 1, 5, "发卡日期", ItemKind::kNumber, 4},
    {"3F00", "EF05", 1, 6, "卡有效期", ItemKind::kNumber, 4},
    {"3F00", "EF05", 1, 7, "卡号", ItemKind::kText, 9},
    {"3F00", "EF06", 1, 1, "公民身份号码", ItemKind::kText, 18},
    {"3F00", "EF06", 1, 2, "姓名", ItemKind::kText, 30},
    {"3F00", "EF06", 1, 3, "性别", ItemKind::kText, 1},
    {"3F00", "EF06", 1, 4, "民族", ItemKind::kNumber, 1},
    {"3F00", "EF06", 1, 5, "出生地", ItemKind::kNumber, 3},
    {"3F00", "EF06", 1, 6, "出生日期", ItemKind::kNumber, 4},
    {"3F00", "EF07", 2, 0, "指纹", ItemKind::kHexBytes, 768},
    {"3F00", "EF0C", 1, 1, "省级初始化识别码", ItemKind::kNumber, 16},
    {"3F00", "EF0C", 1, 2, "介质类别", ItemKind::kText, 1},
    {"3F00", "EF0C", 1, 3, "规范版本", ItemKind::kText, 4},
    {"3F00", "EF0C", 1, 4, "初始化日期", ItemKind::kNumber, 4},
    {"DF01", "EF05", 1, 1, "户口类型", ItemKind::kText, 1},
    {"DF01", "EF05", 1, 2, "常住户口所在地地址", ItemKind::kText, 62},
    {"DF01", "EF05", 1, 3, "常住户口所在地扩展", ItemKind::kText, 18},
    {"DF01", "EF05", 1, 4, "国籍", ItemKind::kNumber, 2},
    {"DF01", "EF06", 1, 1, "通讯地址", ItemKind::kText, 62},
    {"DF01", "EF06", 1, 2, "通讯地址扩展", ItemKind::kText, 18},
    {"DF01", "EF06", 1, 3, "通讯地址邮政编码", ItemKind::kNumber, 3},
    {"DF01", "EF06", 1, 4, "联系电话", ItemKind::kText, 15},
    {"DF01", "EF07", 0, 1, "个人就业或离退休状态", ItemKind::kText, 1},
    {"DF01", "EF07", 0, 2, "文化程度", ItemKind::kNumber, 1},
    {"DF01", "EF08", 1, 1, "婚姻状况", ItemKind::kText, 1},
    {"DF01", "EF09", 1, 1, "单位名称", ItemKind::kText, 62},
    {"DF01", "EF09", 1, 2, "单位名称扩展", ItemKind::kText, 8},
    {"DF01", "EF09", 1, 3, "单位组织机构代码", ItemKind::kText, 9},
    {"DF01", "EF09", 1, 4, "单位类型", ItemKind::kText, 1},
    {"DF01", "EF09", 1, 5, "单位经济类型", ItemKind::kText, 3},
    {"DF01", "EF0A", 0, 1, "缴费工资（基数）", ItemKind::kNumber, 4},
    {"DF01", "EF0A", 0, 2, "上年工资总额", ItemKind::kNumber, 4},
    {"DF01", "EF0A", 0, 3, "工资信息更新日期", ItemKind::kNumber, 4},
    {"DF02", "EF05", 1, 1, "学历信息1", ItemKind::kBytes, 52},
    {"DF02", "EF05", 1, 2, "学历信息2", ItemKind::kBytes, 52},
    {"DF02", "EF05", 1, 3, "专业技术职务", ItemKind::kText, 3},
    {"DF02", "EF05", 1, 4, "职业资格信息1", ItemKind::kBytes, 29},
    {"DF02", "EF05", 1, 5, "职业资格信息2", ItemKind::kBytes, 29},
    {"DF02", "EF06", 1, 1, "首次参加工作日期", ItemKind::kNumber, 4},
    {"DF02", "EF06", 1, 2, "最近办理就业登记日期", ItemKind::kNumber, 4},
    {"DF02", "EF06", 1, 3, "最近办理失业登记日期", ItemKind::kNumber, 4},
    {"DF02", "EF06", 1, 4, "签订劳动合同日期", ItemKind::kNumber, 4},
    {"DF02", "EF06", 1, 5, "终止解除劳动合同日期", ItemKind::kNumber, 4},
    {"DF02", "EF06", 1, 6, "劳动合同起始日期", ItemKind::kNumber, 4},
    {"DF02", "EF06", 1, 7, "现从事职业", ItemKind::kText, 7},
    {"DF02", "EF07", 3, 1, "劳动就业记录1", ItemKind::kBytes, 85},
    {"DF02", "EF07", 3, 2, "劳动就业记录2", ItemKind::kBytes, 85},
    {"DF02", "EF07", 3, 3, "劳动就业记录3", ItemKind::kBytes, 85},
    {"DF02", "EF07", 3, 4, "劳动就业记录4", ItemKind::kBytes, 85},
    {"DF02", "EF08", 1, 1, "外出人员就业登记卡编号", ItemKind::kNumber, 10},
    {"DF02", "EF08", 1, 2, "就业卡登记发证机关", ItemKind::kText, 62},
    {"DF02", "EF08", 1, 3, "就业卡登记发证机关扩展", ItemKind::kText, 8},
    {"DF02", "EF08", 1, 4, "就业卡发卡/年检日期", ItemKind::kNumber, 4},
    {"DF02", "EF09", 1, 1, "外出人员就业证编号", ItemKind::kNumber, 10},
    {"DF02", "EF09", 1, 2, "就业证签发机关", ItemKind::kText, 62},
    {"DF02", "EF09", 1, 3, "就业证签发机关扩展", ItemKind::kText, 8},
    {"DF02", "EF09", 1, 4, "就业证签发/年检日期", ItemKind::kNumber, 4},
    {"DF02", "EF09", 1, 5, "就业证有效期", ItemKind::kNumber, 4},
    {"DF03", "EF05", 1, 1, "最近失业保险申领日期", ItemKind::kNumber, 4},
    {"DF03", "EF05", 1, 2, "月失业保险金支付标准", ItemKind::kNumber, 4},
    {"DF03", "EF05", 1, 3, "失业保险信息更新日期", ItemKind::kNumber, 4},
    {"DF03", "EF05", 1, 4, "失业保险累计缴费年限", ItemKind::kText, 3},
    {"DF03", "EF05", 1, 5, "失业保险有效缴费年限", ItemKind::kText, 3},
    {"DF03", "EF05", 1, 6, "应领取失业保险金月数", ItemKind::kText, 3},
    {"DF03", "EF05", 1, 7, "已领取失业保险月数", ItemKind::kText, 3},
    {"DF03", "EF06", 1, 1, "丧失劳动能力鉴定日期", ItemKind::kNumber, 4},
    {"DF03", "EF06", 1, 2, "丧失劳动能力鉴定结论", ItemKind::kText, 62},
    {"DF03", "EF06", 1, 3, "丧失劳动能力鉴定扩展1", ItemKind::kText, 62},
    {"DF03", "EF06", 1, 4, "丧失劳动能力鉴定扩展2", ItemKind::kText, 16},
    {"DF03", "EF06", 1, 5, "鉴定机构名称", ItemKind::kText, 60},
    {"DF03", "EF07", 1, 1, "办理离退休、退职日期", ItemKind::kNumber, 4},
    {"DF03", "EF07", 1, 2, "月养老金支付金额", ItemKind::kNumber, 4},
    {"DF03", "EF07", 1, 3, "基本养老险个帐建立日期", ItemKind::kNumber, 4},
    {"DF03", "EF07", 1, 4, "基本养老险个帐更新日期", ItemKind::kNumber, 4},
    {"DF03", "EF07", 1, 5, "养老保险费累计缴纳月数", ItemKind::kText, 3},
    {"DF03", "EF07", 1, 6, "个帐个人缴纳本息储存额", ItemKind::kNumber, 4},
    {"DF03", "EF07", 1, 7, "个帐单位缴纳本息储存额", ItemKind::kNumber, 4},
    {"DF03", "EF07", 1, 8, "养老保险信息更新日期", ItemKind::kNumber, 4},
    {"DF04", "EF05", 1, 1, "基本医保个帐建立日期", ItemKind::kNumber, 4},
    {"DF04", "EF05", 1, 2, "定点医疗机构名称1", ItemKind::kText, 62},
    {"DF04", "EF05", 1, 3, "定点医疗机构名称扩展1", ItemKind::kText, 8},
    {"DF04", "EF05", 1, 4, "定点医疗机构代码1", ItemKind::kText, 9},
    {"DF04", "EF05", 1, 5, "定点医疗机构名称2", ItemKind::kText, 62},
    {"DF04", "EF05", 1, 6, "定点医疗机构名称扩展2", ItemKind::kText, 8},
    {"DF04", "EF05", 1, 7, "定点医疗机构代码2", ItemKind::kText, 9},
    {"DF04", "EF05", 1, 8, "定点医疗机构名称3", ItemKind::kText, 62},
    {"DF04", "EF05", 1, 9, "定点医疗机构名称扩展3", ItemKind::kText, 8},
    {"DF04", "EF05", 1, 10, "定点医疗机构代码3", ItemKind::kText, 9},
    {"DF04", "EF05", 1, 11, "医疗证号", ItemKind::kText, 15},
    {"DF04", "EF05", 1, 12, "基本医疗保险个人帐号", ItemKind::kText, 10},
    {"DF04", "EF05", 1, 13, "医疗人员类别", ItemKind::kNumber, 1},
    {"DF04", "EF05", 1, 14, "医疗保险用卡方式", ItemKind::kText, 1},
    {"DF04", "EF06", 0, 1, "个人帐户余额", ItemKind::kNumber, 4},
    {"DF04", "EF06", 0, 2, "年度个人自付累计金额", ItemKind::kNumber, 4},
    {"DF04", "EF06", 0, 3, "年度统筹基金支付累计额", ItemKind::kNumber, 4},
    {"DF04", "EF08", 3, 1, "交易序号", ItemKind::kHexBytes, 2},
    {"DF04", "EF08", 3, 2, "交易类型", ItemKind::kText, 1},
    {"DF04", "EF08", 3, 3, "终端机编号", ItemKind::kNumber, 6},
    {"DF04", "EF08", 3, 5, "终端交易时间", ItemKind::kNumber, 7},
    {"DF04", "EF08", 3, 6, "个人帐户交易金额", ItemKind::kHexBytes, 4},
    {"DF04", "EF08", 3, 7, "个人自付金额", ItemKind::kHexBytes, 4},
    {"DF04", "EF08", 3, 8, "统筹基金支付金额", ItemKind::kHexBytes, 4},
    {"DF04", "EF0C", 1, 1, "人员类别", ItemKind::kText, 15},
    {"DF04", "EF0C", 1, 2, "待遇状态", ItemKind::kText, 4},
    {"DF0A", "EF0C", 1, 1, "银行名称", ItemKind::kText, 64},
    {"DF0A", "EF0C", 1, 2, "银行账号", ItemKind::kText, 40},
    {"DF0B", "EF0C", 2, 0, "保留透明字段1", ItemKind::kHexBytes, 256},
    {"DF0C", "EF0C", 2, 0, "保留透明字段2", ItemKind::kHexBytes, 256},
    {"DF0D", "EF0C", 2, 0, "保留透明字段3", ItemKind::kHexBytes, 512},
    {"DF0E", "EF0C", 2, 0, "保留透明字段4", ItemKind::kHexBytes, 512},
    {"DF0F", "EF0C", 2, 0, "保留透明字段5", ItemKind::kHexBytes, 768},
    {"DF10", "EF0C", 2, 0, "保留透明字段6", ItemKind::kHexBytes, 1280},
};

// The files whose read condition asks for the PIN (alone, or with a key).
const char* const kPinFiles[][2] = {
    {"DF01", "EF05"}, {"DF01", "EF06"}, {"DF01", "EF08"}, {"DF01", "EF0A"},
    {"DF02", "EF05"}, {"DF03", "EF05"}, {"DF03", "EF06"}, {"DF03", "EF07"},
    {"DF04", "EF05"}, {"DF04", "EF06"}, {"DF04", "EF08"},
};

}  // namespace

const std::vector<Item>& Items() {
  static const std::vector<Item> items(std::begin(kItems), std::end(kItems));
  return items;
}

std::vector<const Item*> FileItems(const std::string& directory, const std::string& file) {
  std::vector<const Item*> found;
  for (const Item& item : Items()) {
    if (directory == item.directory && file == item.file) found.push_back(&item);
  }
  return found;
}

const Item* FindItem(const std::string& directory, const std::string& file, int record) {
  for (const Item& item : Items()) {
    if (directory == item.directory && file == item.file && item.record == record &&
        item.fileKind != 2) {
      return &item;
    }
  }
  return nullptr;
}

bool ReadNeedsPin(const std::string& directory, const std::string& file) {
  for (const auto& pinFile : kPinFiles) {
    if (directory == pinFile[0] && file == pinFile[1]) return true;
  }
  return false;
}

bool DecodeValue(const Item& item, const unsigned char* at, std::size_t available,
                 std::string* value, std::size_t* width) {
  const auto n = static_cast<std::size_t>(item.length);
  const char* text = reinterpret_cast<const char*>(at);
  switch (item.kind) {
    case ItemKind::kNumber:
    case ItemKind::kHexBytes:
      *width = 2 * n;
      if (available < *width) return false;
      *value = std::string(text, strnlen(text, *width));
      return true;
    case ItemKind::kText: {
      *width = n;
      if (available < n) return false;
      const std::string gbk(text, strnlen(text, n));
      std::string utf8;
      *value = GbkToUtf8(gbk, &utf8) ? utf8 : Hex(at, n);
      return true;
    }
    case ItemKind::kBytes:
      *width = n;
      if (available < n) return false;
      *value = Hex(at, n);
      return true;
  }
  return false;
}

bool EncodeValue(const Item& item, const std::string& value, std::string* bytes, std::string* why) {
  const auto n = static_cast<std::size_t>(item.length);
  if (item.kind == ItemKind::kText) {
    if (!Utf8ToGbk(value, bytes)) {
      *why = "the text is not valid UTF-8 or has a character GBK lacks";
      return false;
    }
  } else if (!ParseHex(value, bytes)) {
    *why = "this item takes hex digits, two a byte";
    return false;
  }
  if (bytes->size() > n || (item.kind != ItemKind::kText && bytes->size() != n)) {
    *why = "the item holds " + std::to_string(n) + " bytes, the value gives " +
           std::to_string(bytes->size());
    return false;
  }
  bytes->resize(n, '\0');
  return true;
}

}  // namespace kxservice
