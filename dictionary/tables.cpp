// The dictionary's constant tables. They live here, once, so the library and
// the simulator share one copy; the names are UTF-8 here and GBK in the binary.
#include <cstddef>

#include "dictionary/dictionary.h"

namespace kx {

constexpr CardKeyInfoRow CardKeyInfo[kCardKeyCount + 1] = {
    KeyRow({"3F00", "IRK", "00", "67", "08", 3}),
    KeyRow({"3F00", "BK", "05", "48", "11", 2}),
    KeyRow({"3F00", "PUK", "06", "48", "10", 2}),
    KeyRow({"3F00", "UKMF", "04", "48", "12", 2}),
    KeyRow({"3F00", "STKMF", "02", "48", "09", 2}),
    KeyRow({"3F00", "RKMF", "07", "48", "50", 2}),
    KeyRow({"DF01", "STKDF01", "82", "48", "20", 2}),
    KeyRow({"DF01", "UK1DF01", "83", "48", "42", 2}),
    KeyRow({"DF01", "UK2DF01", "84", "48", "43", 2}),
    KeyRow({"DF01", "UK3DF01", "85", "47", "24", 2}),
    KeyRow({"DF01", "UK4DF01", "86", "47", "25", 2}),
    KeyRow({"DF01", "UK5DF01", "87", "48", "44", 2}),
    KeyRow({"DF02", "STKDF02", "82", "48", "21", 2}),
    KeyRow({"DF02", "UK1DF02", "83", "47", "26", 2}),
    KeyRow({"DF02", "UK2DF02", "84", "48", "45", 2}),
    KeyRow({"DF02", "UK3DF02", "85", "48", "46", 2}),
    KeyRow({"DF02", "UK4DF02", "86", "47", "27", 2}),
    KeyRow({"DF02", "UK5DF02", "87", "47", "28", 2}),
    KeyRow({"DF03", "STKDF03", "82", "48", "22", 2}),
    KeyRow({"DF03", "LKDF03", "83", "48", "40", 2}),
    KeyRow({"DF03", "RK1DF03", "84", "67", "2B", 3}),
    KeyRow({"DF03", "RK2DF03", "85", "67", "2c", 3}),
    KeyRow({"DF03", "UK1DF03", "86", "48", "47", 2}),
    KeyRow({"DF03", "UK2DF03", "87", "47", "29", 2}),
    KeyRow({"DF03", "UK3DF03", "88", "48", "48", 2}),
    KeyRow({"DF03", "UKCDF03", " ", "48", "4D", 0}),
    KeyRow({"DF04", "STKDF04", "82", "48", "23", 2}),
    KeyRow({"DF04", "LKDF04", "83", "48", "41", 2}),
    KeyRow({"DF04", "RK1DF04", "84", "67", "2D", 3}),
    KeyRow({"DF04", "RK2DF04", "89", "28", "8F", 1}),
    KeyRow({"DF04", "UK1DF04", "85", "48", "49", 2}),
    KeyRow({"DF04", "UK2DF04", "86", "47", "2a", 2}),
    KeyRow({"DF04", "UK3DF04", "8A", "28", "8E", 1}),
    KeyRow({"DF04", "DSKDF04", "87", "48", "4A", 2}),
    KeyRow({"DF04", "DLKDF04", "01", "49", "4B", 2}),
    KeyRow({"DF04", "DPKDF04", "01", "42", "01", 2}),
    KeyRow({"DF04", "DTKDF04", "01", "4C", "02", 2}),
    KeyRow({"DF04", "UKCDF04", "01", "48", "03", 2}),
    KeyRow({"DF0A", "STKDF0A", "82", "28", "81", 1}),
    KeyRow({"DF0A", "LKDF0A", "83", "28", "88", 1}),
    KeyRow({"DF0A", "UK1DF0A", "84", "28", "98", 1}),
    KeyRow({"DF0A", "RK1DF0A", "85", "28", "90", 1}),
    KeyRow({"DF0B", "STKDF0B", "82", "28", "82", 1}),
    KeyRow({"DF0B", "LKDF0B", "83", "28", "89", 1}),
    KeyRow({"DF0B", "UK1DF0B", "84", "28", "99", 1}),
    KeyRow({"DF0B", "RK1DF0B", "85", "28", "91", 1}),
    KeyRow({"DF0C", "STKDF0C", "82", "28", "83", 1}),
    KeyRow({"DF0C", "LKDF0C", "83", "28", "8A", 1}),
    KeyRow({"DF0C", "UK1DF0C", "84", "28", "9A", 1}),
    KeyRow({"DF0C", "RK1DF0C", "85", "28", "92", 1}),
    KeyRow({"DF0D", "STKDF0D", "82", "28", "84", 1}),
    KeyRow({"DF0D", "LKDF0D", "83", "28", "8B", 1}),
    KeyRow({"DF0D", "UK1DF0D", "84", "28", "9B", 1}),
    KeyRow({"DF0D", "RK1DF0D", "85", "28", "93", 1}),
    KeyRow({"DF0E", "STKDF0E", "82", "28", "85", 1}),
    KeyRow({"DF0E", "LKDF0E", "83", "28", "8C", 1}),
    KeyRow({"DF0E", "UK1DF0E", "84", "28", "9C", 1}),
    KeyRow({"DF0E", "RK1DF0E", "85", "28", "94", 1}),
    KeyRow({"DF0F", "STKDF0F", "82", "28", "86", 1}),
    KeyRow({"DF0F", "LKDF0F", "83", "28", "8D", 1}),
    KeyRow({"DF0F", "UK1DF0F", "84", "28", "9D", 1}),
    KeyRow({"DF0F", "RK1DF0F", "85", "28", "95", 1}),
    KeyRow({"DF10", "STKDF10", "82", "28", "87", 1}),
    KeyRow({"DF10", "LKDF10", "83", "28", "8E", 1}),
    KeyRow({"DF10", "UK1DF10", "84", "28", "9E", 1}),
    KeyRow({"DF10", "RK1DF10", "85", "28", "96", 1}),
    {},
};

constexpr TagCardRecordInfoRow TagCardRecordInfo[kRecordItemCount + 1] = {
    ItemRow({"3F00", "EF05", 1, 1, 0x01, "卡的识别码", kNumeric, 16}),
    ItemRow({"3F00", "EF05", 1, 2, 0x02, "卡的类别", kText, 1}),
    ItemRow({"3F00", "EF05", 1, 3, 0x03, "规范版本", kText, 4}),
    ItemRow({"3F00", "EF05", 1, 4, 0x04, "初始化机构编号", kNumeric, 12}),
    ItemRow({"3F00", "EF05", 1, 5, 0x05, "发卡日期", kNumeric, 4}),
    ItemRow({"3F00", "EF05", 1, 6, 0x06, "卡有效期", kNumeric, 4}),
    ItemRow({"3F00", "EF05", 1, 7, 0x07, "卡号", kText, 9}),
    ItemRow({"3F00", "EF06", 1, 1, 0x08, "公民身份号码", kText, 18}),
    ItemRow({"3F00", "EF06", 1, 2, 0x09, "姓名", kText, 30}),
    ItemRow({"3F00", "EF06", 1, 3, 0x0A, "性别", kText, 1}),
    ItemRow({"3F00", "EF06", 1, 4, 0x0B, "民族", kNumeric, 1}),
    ItemRow({"3F00", "EF06", 1, 5, 0x0C, "出生地", kNumeric, 3}),
    ItemRow({"3F00", "EF06", 1, 6, 0x0D, "出生日期", kNumeric, 4}),
    ItemRow({"3F00", "EF07", 2, 0, 0x00, "指纹", kBinary, 768}),
    ItemRow({"3F00", "EF0C", 1, 1, 0xDA, "省级初始化识别码", kNumeric, 16}),
    ItemRow({"3F00", "EF0C", 1, 2, 0xDB, "介质类别", kText, 1}),
    ItemRow({"3F00", "EF0C", 1, 3, 0xDC, "规范版本", kText, 4}),
    ItemRow({"3F00", "EF0C", 1, 4, 0xDD, "初始化日期", kNumeric, 4}),
    ItemRow({"DF01", "EF05", 1, 1, 0x20, "户口类型", kText, 1}),
    ItemRow({"DF01", "EF05", 1, 2, 0x21, "常住户口所在地地址", kText, 62}),
    ItemRow({"DF01", "EF05", 1, 3, 0x22, "常住户口所在地扩展", kText, 18}),
    ItemRow({"DF01", "EF05", 1, 4, 0xF2, "国籍", kNumeric, 2}),
    ItemRow({"DF01", "EF06", 1, 1, 0x25, "通讯地址", kText, 62}),
    ItemRow({"DF01", "EF06", 1, 2, 0x26, "通讯地址扩展", kText, 18}),
    ItemRow({"DF01", "EF06", 1, 3, 0x27, "通讯地址邮政编码", kNumeric, 3}),
    ItemRow({"DF01", "EF06", 1, 4, 0x28, "联系电话", kText, 15}),
    ItemRow({"DF01", "EF07", 0, 1, 0x29, "个人就业或离退休状态", kText, 1}),
    ItemRow({"DF01", "EF07", 0, 2, 0x2A, "文化程度", kNumeric, 1}),
    ItemRow({"DF01", "EF08", 1, 1, 0x2B, "婚姻状况", kText, 1}),
    ItemRow({"DF01", "EF09", 1, 1, 0x2E, "单位名称", kText, 62}),
    ItemRow({"DF01", "EF09", 1, 2, 0x2F, "单位名称扩展", kText, 8}),
    ItemRow({"DF01", "EF09", 1, 3, 0x30, "单位组织机构代码", kText, 9}),
    ItemRow({"DF01", "EF09", 1, 4, 0x31, "单位类型", kText, 1}),
    ItemRow({"DF01", "EF09", 1, 5, 0x32, "单位经济类型", kText, 3}),
    ItemRow({"DF01", "EF0A", 0, 1, 0x37, "缴费工资（基数）", kNumeric, 4}),
    ItemRow({"DF01", "EF0A", 0, 2, 0x38, "上年工资总额", kNumeric, 4}),
    ItemRow({"DF01", "EF0A", 0, 3, 0x39, "工资信息更新日期", kNumeric, 4}),
    ItemRow({"DF02", "EF05", 1, 1, 0x40, "学历信息1", kStructured, 52}),
    ItemRow({"DF02", "EF05", 1, 2, 0x40, "学历信息2", kStructured, 52}),
    ItemRow({"DF02", "EF05", 1, 3, 0x42, "专业技术职务", kText, 3}),
    ItemRow({"DF02", "EF05", 1, 4, 0x43, "职业资格信息1", kStructured, 29}),
    ItemRow({"DF02", "EF05", 1, 5, 0x43, "职业资格信息2", kStructured, 29}),
    ItemRow({"DF02", "EF06", 1, 1, 0x4B, "首次参加工作日期", kNumeric, 4}),
    ItemRow({"DF02", "EF06", 1, 2, 0x4C, "最近办理就业登记日期", kNumeric, 4}),
    ItemRow({"DF02", "EF06", 1, 3, 0x60, "最近办理失业登记日期", kNumeric, 4}),
    ItemRow({"DF02", "EF06", 1, 4, 0x4D, "签订劳动合同日期", kNumeric, 4}),
    ItemRow({"DF02", "EF06", 1, 5, 0x4F, "终止解除劳动合同日期", kNumeric, 4}),
    ItemRow({"DF02", "EF06", 1, 6, 0x50, "劳动合同起始日期", kNumeric, 4}),
    ItemRow({"DF02", "EF06", 1, 7, 0x3A, "现从事职业", kText, 7}),
    ItemRow({"DF02", "EF07", 3, 1, 0x00, "劳动就业记录1", kStructured, 85}),
    ItemRow({"DF02", "EF07", 3, 2, 0x00, "劳动就业记录2", kStructured, 85}),
    ItemRow({"DF02", "EF07", 3, 3, 0x00, "劳动就业记录3", kStructured, 85}),
    ItemRow({"DF02", "EF07", 3, 4, 0x00, "劳动就业记录4", kStructured, 85}),
    ItemRow({"DF02", "EF08", 1, 1, 0x52, "外出人员就业登记卡编号", kNumeric, 10}),
    ItemRow({"DF02", "EF08", 1, 2, 0x53, "就业卡登记发证机关", kText, 62}),
    ItemRow({"DF02", "EF08", 1, 3, 0x94, "就业卡登记发证机关扩展", kText, 8}),
    ItemRow({"DF02", "EF08", 1, 4, 0x54, "就业卡发卡/年检日期", kNumeric, 4}),
    ItemRow({"DF02", "EF09", 1, 1, 0x55, "外出人员就业证编号", kNumeric, 10}),
    ItemRow({"DF02", "EF09", 1, 2, 0x56, "就业证签发机关", kText, 62}),
    ItemRow({"DF02", "EF09", 1, 3, 0x95, "就业证签发机关扩展", kText, 8}),
    ItemRow({"DF02", "EF09", 1, 4, 0x96, "就业证签发/年检日期", kNumeric, 4}),
    ItemRow({"DF02", "EF09", 1, 5, 0x97, "就业证有效期", kNumeric, 4}),
    ItemRow({"DF03", "EF05", 1, 1, 0x98, "最近失业保险申领日期", kNumeric, 4}),
    ItemRow({"DF03", "EF05", 1, 2, 0x61, "月失业保险金支付标准", kNumeric, 4}),
    ItemRow({"DF03", "EF05", 1, 3, 0x62, "失业保险信息更新日期", kNumeric, 4}),
    ItemRow({"DF03", "EF05", 1, 4, 0x63, "失业保险累计缴费年限", kText, 3}),
    ItemRow({"DF03", "EF05", 1, 5, 0x64, "失业保险有效缴费年限", kText, 3}),
    ItemRow({"DF03", "EF05", 1, 6, 0x65, "应领取失业保险金月数", kText, 3}),
    ItemRow({"DF03", "EF05", 1, 7, 0x66, "已领取失业保险月数", kText, 3}),
    ItemRow({"DF03", "EF06", 1, 1, 0x67, "丧失劳动能力鉴定日期", kNumeric, 4}),
    ItemRow({"DF03", "EF06", 1, 2, 0x68, "丧失劳动能力鉴定结论", kText, 62}),
    ItemRow({"DF03", "EF06", 1, 3, 0x69, "丧失劳动能力鉴定扩展1", kText, 62}),
    ItemRow({"DF03", "EF06", 1, 4, 0x6A, "丧失劳动能力鉴定扩展2", kText, 16}),
    ItemRow({"DF03", "EF06", 1, 5, 0x6B, "鉴定机构名称", kText, 60}),
    ItemRow({"DF03", "EF07", 1, 1, 0x6C, "办理离退休、退职日期", kNumeric, 4}),
    ItemRow({"DF03", "EF07", 1, 2, 0x6D, "月养老金支付金额", kNumeric, 4}),
    ItemRow({"DF03", "EF07", 1, 3, 0x6E, "基本养老险个帐建立日期", kNumeric, 4}),
    ItemRow({"DF03", "EF07", 1, 4, 0x6F, "基本养老险个帐更新日期", kNumeric, 4}),
    ItemRow({"DF03", "EF07", 1, 5, 0x70, "养老保险费累计缴纳月数", kText, 3}),
    ItemRow({"DF03", "EF07", 1, 6, 0x71, "个帐个人缴纳本息储存额", kNumeric, 4}),
    ItemRow({"DF03", "EF07", 1, 7, 0x72, "个帐单位缴纳本息储存额", kNumeric, 4}),
    ItemRow({"DF03", "EF07", 1, 8, 0x73, "养老保险信息更新日期", kNumeric, 4}),
    ItemRow({"DF04", "EF05", 1, 1, 0x80, "基本医保个帐建立日期", kNumeric, 4}),
    ItemRow({"DF04", "EF05", 1, 2, 0x81, "定点医疗机构名称1", kText, 62}),
    ItemRow({"DF04", "EF05", 1, 3, 0x82, "定点医疗机构名称扩展1", kText, 8}),
    ItemRow({"DF04", "EF05", 1, 4, 0x83, "定点医疗机构代码1", kText, 9}),
    ItemRow({"DF04", "EF05", 1, 5, 0x84, "定点医疗机构名称2", kText, 62}),
    ItemRow({"DF04", "EF05", 1, 6, 0x85, "定点医疗机构名称扩展2", kText, 8}),
    ItemRow({"DF04", "EF05", 1, 7, 0x86, "定点医疗机构代码2", kText, 9}),
    ItemRow({"DF04", "EF05", 1, 8, 0x87, "定点医疗机构名称3", kText, 62}),
    ItemRow({"DF04", "EF05", 1, 9, 0x88, "定点医疗机构名称扩展3", kText, 8}),
    ItemRow({"DF04", "EF05", 1, 10, 0x89, "定点医疗机构代码3", kText, 9}),
    ItemRow({"DF04", "EF05", 1, 11, 0x8A, "医疗证号", kText, 15}),
    ItemRow({"DF04", "EF05", 1, 12, 0x8B, "基本医疗保险个人帐号", kText, 10}),
    ItemRow({"DF04", "EF05", 1, 13, 0x8C, "医疗人员类别", kNumeric, 1}),
    ItemRow({"DF04", "EF05", 1, 14, 0x8F, "医疗保险用卡方式", kText, 1}),
    ItemRow({"DF04", "EF06", 0, 1, 0x90, "个人帐户余额", kNumeric, 4}),
    ItemRow({"DF04", "EF06", 0, 2, 0x92, "年度个人自付累计金额", kNumeric, 4}),
    ItemRow({"DF04", "EF06", 0, 3, 0x93, "年度统筹基金支付累计额", kNumeric, 4}),
    ItemRow({"DF04", "EF08", 3, 1, 0x00, "交易序号", kBinary, 2}),
    ItemRow({"DF04", "EF08", 3, 2, 0x00, "交易类型", kText, 1}),
    ItemRow({"DF04", "EF08", 3, 3, 0x00, "终端机编号", kNumeric, 6}),
    ItemRow({"DF04", "EF08", 3, 5, 0x00, "终端交易时间", kNumeric, 7}),
    ItemRow({"DF04", "EF08", 3, 6, 0x00, "个人帐户交易金额", kBinary, 4}),
    ItemRow({"DF04", "EF08", 3, 7, 0x00, "个人自付金额", kBinary, 4}),
    ItemRow({"DF04", "EF08", 3, 8, 0x00, "统筹基金支付金额", kBinary, 4}),
    ItemRow({"DF04", "EF0C", 1, 1, 0xEA, "人员类别", kText, 15}),
    ItemRow({"DF04", "EF0C", 1, 2, 0xEB, "待遇状态", kText, 4}),
    ItemRow({"DF0A", "EF0C", 1, 1, 0xEC, "银行名称", kText, 64}),
    ItemRow({"DF0A", "EF0C", 1, 2, 0xED, "银行账号", kText, 40}),
    ItemRow({"DF0B", "EF0C", 2, 0, 0x00, "保留透明字段1", kBinary, 256}),
    ItemRow({"DF0C", "EF0C", 2, 0, 0x00, "保留透明字段2", kBinary, 256}),
    ItemRow({"DF0D", "EF0C", 2, 0, 0x00, "保留透明字段3", kBinary, 512}),
    ItemRow({"DF0E", "EF0C", 2, 0, 0x00, "保留透明字段4", kBinary, 512}),
    ItemRow({"DF0F", "EF0C", 2, 0, 0x00, "保留透明字段5", kBinary, 768}),
    ItemRow({"DF10", "EF0C", 2, 0, 0x00, "保留透明字段6", kBinary, 1280}),
    {},
};

constexpr FileKeyRelationRow FileKeyRelation[kFileCount + 1] = {
    FileRow({"3F00", "EF05", "0", "UKMF"}),
    FileRow({"3F00", "EF06", "0", "UKMF"}),
    FileRow({"3F00", "EF07", "0", "UKMF"}),
    FileRow({"3F00", "EF0C", "RKMF", "UKMF"}),
    FileRow({"DF01", "EF05", "PIN", "UK1DF01"}),
    FileRow({"DF01", "EF06", "PIN", "UK4DF01"}),
    FileRow({"DF01", "EF07", "PIN|UK2DF01", "UK2DF01"}),
    FileRow({"DF01", "EF08", "PIN", "UK3DF01"}),
    FileRow({"DF01", "EF09", "UK2DF01|PIN", "UK2DF01"}),
    FileRow({"DF01", "EF0A", "PIN", "UK5DF01"}),
    FileRow({"DF02", "EF05", "PIN", "UK1DF02"}),
    FileRow({"DF02", "EF06", "PIN|UK2DF02", "UK2DF02"}),
    FileRow({"DF02", "EF07", "PIN|UK3DF02", "UK3DF02"}),
    FileRow({"DF02", "EF08", "PIN|UK4DF02", "UK4DF02"}),
    FileRow({"DF02", "EF09", "PIN|UK5DF02", "UK5DF02"}),
    FileRow({"DF03", "EF05", "PIN&RK2DF03", "UK1DF03"}),
    FileRow({"DF03", "EF06", "PIN", "UK2DF03"}),
    FileRow({"DF03", "EF07", "PIN&RK1DF03", "UK3DF03"}),
    FileRow({"DF04", "EF05", "PIN", "UK1DF04"}),
    FileRow({"DF04", "EF06", "PIN&RK1DF04", "UK2DF04"}),
    FileRow({"DF04", "EF08", "PIN", "COS"}),
    FileRow({"DF04", "EF0C", "RK2DF04", "UK3DF04"}),
    FileRow({"DF0A", "EF0C", "RK1DF0A", "UK1DF0A"}),
    FileRow({"DF0B", "EF0C", "RK1DF0B", "UK1DF0B"}),
    FileRow({"DF0C", "EF0C", "RK1DF0C", "UK1DF0C"}),
    FileRow({"DF0D", "EF0C", "RK1DF0D", "UK1DF0D"}),
    FileRow({"DF0E", "EF0C", "RK1DF0E", "UK1DF0E"}),
    FileRow({"DF0F", "EF0C", "RK1DF0F", "UK1DF0F"}),
    FileRow({"DF10", "EF0C", "RK1DF10", "UK1DF10"}),
    {},
};

namespace {

template <std::size_t N>
constexpr bool AllZero(const char (&field)[N]) {
  for (char c : field) {
    if (c != '\0') return false;
  }
  return true;
}

constexpr bool IsEndRow(const CardKeyInfoRow& r) {
  return AllZero(r.directory) && AllZero(r.keyName) && AllZero(r.cardKeyId) &&
         AllZero(r.psamKeyUsage) && AllZero(r.psamKeyIndex) && r.levels == 0;
}
constexpr bool IsEndRow(const TagCardRecordInfoRow& r) {
  return AllZero(r.directory) && AllZero(r.file) && r.fileKind == 0 && r.recordNumber == 0 &&
         r.tag == 0 && AllZero(r.itemName) && r.dataType == kNumeric && r.length == 0;
}
constexpr bool IsEndRow(const FileKeyRelationRow& r) {
  return AllZero(r.directory) && AllZero(r.file) && AllZero(r.readCondition) &&
         AllZero(r.writeCondition);
}

// The lookups stop at the first empty directory, so every row before the end
// row must have one and the end row must be the last.
template <typename Row, std::size_t N>
constexpr bool EndsAtLastRow(const Row (&table)[N]) {
  for (std::size_t i = 0; i + 1 < N; ++i) {
    if (table[i].directory[0] == '\0') return false;
  }
  return IsEndRow(table[N - 1]);
}

static_assert(EndsAtLastRow(CardKeyInfo), "CardKeyInfo rows out of step with kCardKeyCount");
static_assert(EndsAtLastRow(TagCardRecordInfo),
              "TagCardRecordInfo rows out of step with kRecordItemCount");
static_assert(EndsAtLastRow(FileKeyRelation), "FileKeyRelation rows out of step with kFileCount");

// The typed copies stand for their texts: every identifier is four hex
// digits, every PSAM parameter two, and only UKCDF03 has no card key id.
constexpr bool TypedKeyFieldsComplete() {
  for (int i = 0; i < kCardKeyCount; ++i) {
    const CardKeyInfoRow& r = CardKeyInfo[i];
    const bool blankKeyId = r.cardKeyId[0] == ' ';
    if (r.directoryId == 0 || !r.psamUsage.valid || !r.psamIndex.valid) return false;
    if (r.cardKey.valid == blankKeyId) return false;
  }
  return true;
}
template <typename Row, std::size_t N>
constexpr bool FileIdsComplete(const Row (&table)[N]) {
  for (std::size_t i = 0; i + 1 < N; ++i) {
    if (table[i].directoryId == 0 || table[i].fileId == 0) return false;
  }
  return true;
}
static_assert(TypedKeyFieldsComplete());
static_assert(FileIdsComplete(TagCardRecordInfo));
static_assert(FileIdsComplete(FileKeyRelation));

constexpr bool SameFile(const TagCardRecordInfoRow& a, const TagCardRecordInfoRow& b) {
  for (int i = 0; i < 4; ++i) {
    if (a.directory[i] != b.directory[i] || a.file[i] != b.file[i]) return false;
  }
  return true;
}

// Callers size their item lists with kMaxRecordItemsPerFile.
constexpr int MostRecordItemsInOneFile() {
  int most = 0;
  for (int i = 0; i < kRecordItemCount; ++i) {
    int count = 0;
    for (int j = 0; j < kRecordItemCount; ++j) {
      if (SameFile(TagCardRecordInfo[i], TagCardRecordInfo[j]) &&
          TagCardRecordInfo[j].recordNumber != 0) {
        ++count;
      }
    }
    if (count > most) most = count;
  }
  return most;
}

static_assert(MostRecordItemsInOneFile() == kMaxRecordItemsPerFile);

// The item lists carry the length in one byte.
constexpr bool RecordItemsFitOneLengthByte() {
  for (int i = 0; i < kRecordItemCount; ++i) {
    if (TagCardRecordInfo[i].recordNumber != 0 && TagCardRecordInfo[i].length > 255) return false;
  }
  return true;
}

static_assert(RecordItemsFitOneLengthByte());
// Row positions are listed as single bytes.
static_assert(kRecordItemCount <= 256);

}  // namespace

}  // namespace kx
