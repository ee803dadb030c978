// The update services: data items by record, whole record files, and
// transparent files by offset; and the fixed test write of KXTest.
#include <cstring>

#include "card/apdu.h"
#include "card/commands.h"
#include "core/hex.h"
#include "core/messages.h"
#include "services/data_items.h"
#include "services/file_access.h"

namespace kx {

namespace {

constexpr ServiceTexts kWriteTexts = {
    .noRecord = "写文件未找到%s %s 目录下的第 %d 条记录 ",
    .noRecordItems = "未找到写所有记录的目录 TagCardRecordInfo ",
    .noTransparent = "写二进制文件未找到%s %s 目录 ",
    .noRelation = "未找到目录文件 FileKeyRelation ",
    .noKey = "写文件，为找到 %s 目录下 %s 密钥信息 ",
    .noDirectory = "写文件 %s 目录下 选择df文件失败",
};

constexpr ServiceTexts kWriteBinaryTexts = {
    .noRecord = kWriteTexts.noRecord,
    .noRecordItems = kWriteTexts.noRecordItems,
    .noTransparent = kWriteTexts.noTransparent,
    .noRelation = "写二进制文件 未找到目录文件 FileKeyRelation ",
    .noKey = "写二进制文件，为找到 %s 目录下 %s 密钥信息 ",
    .noDirectory = "写二进制文件 %s 目录下 选择df文件失败",
};

constexpr char kRangeText[] = "KXReadBinary,写二进制文件起始地址超出参数范围";

// The record image's tag and length bytes.
constexpr int kItemHeaderSize = 2;

// UPDATE RECORD of one item from its n value bytes: tag, n and the value,
// or the value alone for an item without a tag.
int WriteItem(Operation& op, const TagCardRecordInfoRow& item, const std::uint8_t* value) {
  std::uint8_t image[CommandApdu::kMaxData];
  const int header = item.tag != 0 ? kItemHeaderSize : 0;
  const int n = item.length;
  if (n + header > CommandApdu::kMaxData) return kErrParam;
  if (header != 0) {
    image[0] = item.tag;
    image[1] = static_cast<std::uint8_t>(n);
  }
  std::memcpy(image + header, value, static_cast<std::size_t>(n));
  return UpdateRecord(op, item.recordNumber, 4, n + header, image);
}

}  // namespace

int UpdateInfo(Operation& op, const char* directory, const char* file, int recordNumber,
               const std::uint8_t* data) {
  const int r = recordNumber & 0xFF;
  FileName name;
  if (!TakeFileName(directory, file, &name)) return ItemNotFound(op, kWriteTexts, name, r, false);
  SelectInterface(op, kInterfaceContact);
  ItemList items;
  int code = FindItems(op, kWriteTexts, name, r, false, &items);
  if (code != kOk) return code;
  code = OpenFile(op, AccessMode::Write, name, kWriteTexts);
  if (code != kOk) return code;

  if (items.count == 0) return WriteItem(op, items.single, data);
  // Not atomic: a refused record leaves the ones before it written.
  const std::uint8_t* value = data;
  for (int i = 0; i < items.count; ++i) {
    const TagCardRecordInfoRow& row = TagCardRecordInfo[items.positions[i]];
    code = WriteItem(op, row, value);
    if (code != kOk) return code;
    value += row.length;
  }
  return kOk;
}

int UpdateInfoAllInOne(Operation& op, const char* directory, const char* file, int recordNumber,
                       const std::uint8_t* data) {
  return WithUserCardConnected(op,
                               [&] { return UpdateInfo(op, directory, file, recordNumber, data); });
}

int UpdateBinaryFile(Operation& op, int offset, int length, const std::uint8_t* data) {
  if (CheckBinaryRange(offset, length) != BinaryRange::Valid) return Refused(op, kRangeText);
  return ForEachBinaryPiece(offset, length, [&op, data](int pieceOffset, int position, int count) {
    return UpdateBinary(op, pieceOffset, count, data + position);
  });
}

int UpdateBinaryAllInOne(Operation& op, const char* directory, const char* file, int offset,
                         int length, const std::uint8_t* data) {
  return WithUserCardConnected(op, [&] {
    FileName name;
    if (!TakeFileName(directory, file, &name)) {
      return ItemNotFound(op, kWriteBinaryTexts, name, 0, true);
    }
    SelectInterface(op, kInterfaceContact);
    ItemList items;
    const int found = FindItems(op, kWriteBinaryTexts, name, 0, true, &items);
    if (found != kOk) return found;
    // The range is known to be refused before the file's key is proven.
    if (CheckBinaryRange(offset, length) != BinaryRange::Valid) return Refused(op, kRangeText);
    const int r = OpenFile(op, AccessMode::Write, name, kWriteBinaryTexts);
    return r != kOk ? r : UpdateBinaryFile(op, offset, length, data);
  });
}

void WriteTestRecord(Operation& op, char* message) {
  static constexpr char kTestCode[] = "330329D15600000500006074BD3D5A3F";
  std::uint8_t code[sizeof kTestCode / 2 + 1] = {};
  HexDecode(kTestCode, code, static_cast<int>(sizeof kTestCode) - 1);
  const int r = UpdateInfoAllInOne(op, "3F00", "EF05", 1, code);
  if (message != nullptr) FormatErrorMessage(r, message);
}

}  // namespace kx
