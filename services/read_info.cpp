// The read services: data items by record, whole record files, and
// transparent files by offset.
#include <algorithm>
#include <cstring>

#include "card/apdu.h"
#include "card/commands.h"
#include "services/data_items.h"
#include "services/file_access.h"

namespace kx {

namespace {

constexpr ServiceTexts kReadTexts = {
    .noRecord = "读文件未找到%s %s 目录下的第 %d 条记录 ",
    .noRecordItems = "未找到读所有记录的目录 TagCardRecordInfo ",
    .noTransparent = "在 %s %s 目录下未找到二进制文件,此文件可能不是二进制文件",
    .noRelation = "未找到目录文件 FileKeyRelation ",
    .noKey = "读文件，为找到 %s 目录下 %s 密钥信息 ",
    .noDirectory = "读文件 %s 目录下 选择df文件失败",
};

constexpr char kRangeText[] = "KXReadBinary,读二进制文件起始地址超出参数范围";

// Whole-file reads ask for 6 bytes; a card that holds more answers 6Cxx and
// the exchange asks again with the right length.
constexpr int kWholeFileLe = 6;

// READ BINARY of `count` bytes at `offset` of the current file. Bytes the
// card did not give read as 0; bytes it gave beyond the count are dropped.
int ReadPiece(Operation& op, int offset, int count, std::uint8_t* piece) {
  Response reply;
  const int r = Exchange(op,
                         CommandApdu::Expecting(0x00, 0xB0, static_cast<std::uint8_t>(offset >> 8),
                                                static_cast<std::uint8_t>(offset), count),
                         &reply);
  if (r != kOk) return r;
  const int got = std::min(count, reply.dataLength());
  std::memcpy(piece, reply.data(), static_cast<std::size_t>(got));
  std::memset(piece + got, 0, static_cast<std::size_t>(count - got));
  return kOk;
}

// The range in pieces; store(position, piece, count) puts each one where it
// belongs in the caller's output.
template <typename Store>
int ReadPieces(Operation& op, int offset, int length, Store store) {
  return ForEachBinaryPiece(offset, length,
                            [&op, &store](int pieceOffset, int position, int count) {
                              std::uint8_t piece[kBinaryPieceSize];
                              const int r = ReadPiece(op, pieceOffset, count, piece);
                              if (r == kOk) store(position, piece, count);
                              return r;
                            });
}

// One record read and formatted at `out`; *written is the output's width.
int ReadItem(Operation& op, const TagCardRecordInfoRow& item, char* out, int* written) {
  std::uint8_t record[kMaxApduReply] = {};
  int length = 0;
  const int r = ReadRecord(op, item.recordNumber, 4, 0, &length, record);
  if (r != kOk) return r;
  *written = FormatItemValue(item.dataType, item.length, record, length, out);
  return kOk;
}

// The length a record with a tag-length header says it has; 0 when the
// record is too short to say.
int StatedLength(const std::uint8_t* record, int length) {
  return length >= 2 ? record[1] + 2 : 0;
}

// One record of a whole-file read. The short Le relies on the card
// answering 6Cxx when the record is longer; a card that answers with just
// the bytes asked for and 90 00 is asked once more for the length the
// record's own length byte gives, and a record that stays shorter is a
// failure, not an item padded with zeros.
int ReadWholeFileItem(Operation& op, const TagCardRecordInfoRow& item, char* out, int* written) {
  std::uint8_t record[kMaxApduReply] = {};
  int length = 0;
  int r = ReadRecord(op, item.recordNumber, 4, kWholeFileLe, &length, record);
  if (r != kOk) return r;
  // Records written without a tag-length header carry no length of their own.
  const int stated = StatedLength(record, length);
  if (item.tag != 0 && (stated == 0 || length < stated)) {
    // Le 00 asks for the whole record when its length is unknown or past 255.
    r = ReadRecord(op, item.recordNumber, 4, stated > 0 && stated < 256 ? stated : 0, &length,
                   record);
    if (r != kOk) return r;
    const int restated = StatedLength(record, length);
    if (restated == 0 || length < restated) {
      op.text.Format("读文件 第 %d 条记录长度不足", item.recordNumber);
      return kErrComm;
    }
  }
  *written = FormatItemValue(item.dataType, item.length, record, length, out);
  return kOk;
}

struct BinaryRequest {
  int offset;
  int length;
};

// The read service's steps; `binary` is KXReadBinaryAIO's range (null for
// the item reads), read from the file's transparent row.
int ReadFile(Operation& op, const char* directory, const char* file, int recordNumber,
             const BinaryRequest* binary, char* out) {
  const int r = binary != nullptr ? 0 : recordNumber & 0xFF;
  FileName name;
  if (!TakeFileName(directory, file, &name)) {
    return ItemNotFound(op, kReadTexts, name, r, binary != nullptr);
  }
  // A negative offset or length is refused before any command; a range past
  // the file's end is the binary read's own refusal, after the file is open.
  if (binary && CheckBinaryRange(binary->offset, binary->length) == BinaryRange::Negative) {
    return Refused(op, kRangeText);
  }

  int code = CheckPsam();
  if (code != kOk) return code;
  std::memset(out, 0, 4);
  SelectInterface(op, kInterfaceContact);
  ItemList items;
  code = FindItems(op, kReadTexts, name, r, binary != nullptr, &items);
  if (code != kOk) return code;
  code = OpenFile(op, AccessMode::Read, name, kReadTexts);
  if (code != kOk) return code;

  if (binary) {
    // Read whole into a work buffer first: a failure half-way leaves the
    // caller's text empty rather than holding part of the file.
    static_assert(kMaxBinaryRead % kBinaryPieceSize == 0);
    std::uint8_t work[kMaxBinaryRead];
    code = ReadBinaryFile(op, binary->offset, binary->length, work);
    if (code != kOk) return code;
    FormatItemValue(items.single.dataType, binary->length, work, binary->length, out);
    return kOk;
  }
  if (items.count == 0) {
    int written = 0;
    return ReadItem(op, items.single, out, &written);
  }
  int position = 0;
  for (int i = 0; i < items.count; ++i) {
    int written = 0;
    code = ReadWholeFileItem(op, TagCardRecordInfo[items.positions[i]], out + position, &written);
    if (code != kOk) return code;
    position += written;
  }
  return kOk;
}

}  // namespace

int ReadInfo(Operation& op, const char* directory, const char* file, int recordNumber, char* out) {
  return ReadFile(op, directory, file, recordNumber, nullptr, out);
}

int ReadInfoAllInOne(Operation& op, const char* directory, const char* file, int recordNumber,
                     char* out) {
  return WithUserCardConnected(op,
                               [&] { return ReadInfo(op, directory, file, recordNumber, out); });
}

int ReadBinaryFile(Operation& op, int offset, int length, std::uint8_t* out) {
  const BinaryRange range = CheckBinaryRange(offset, length);
  if (range == BinaryRange::Negative) return Refused(op, kRangeText);
  const int r = CheckPsam();
  if (r != kOk) return r;
  if (range != BinaryRange::Valid) return Refused(op, kRangeText);
  return ReadPieces(op, offset, length, [out](int position, const std::uint8_t* piece, int count) {
    std::memcpy(out + position, piece, static_cast<std::size_t>(count));
  });
}

int ReadBinaryAllInOne(Operation& op, const char* directory, const char* file, int offset,
                       int length, char* out) {
  const BinaryRequest binary{offset, length};
  return WithUserCardConnected(op, [&] { return ReadFile(op, directory, file, 0, &binary, out); });
}

}  // namespace kx
