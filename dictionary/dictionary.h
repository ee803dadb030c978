// The card's data dictionary: its keys, its data items and the access
// conditions of its files, as constant tables, with the lookups over them and
// the output format of a data item.
//
// Everything here is pure: no process-wide state, no ErrorText, no device.
// The simulator links this library too and builds its card from the tables.
//
// Directories and files are named by 4-character file identifiers ("3F00",
// "DF01", "EF05"). A lookup compares only the first four characters of the
// caller's text, case-sensitively, and never reads past the caller's NUL.
#pragma once

#include <cstdint>

namespace kx {

inline constexpr int kFileIdFieldSize = 5;  // "DF01" and its NUL
inline constexpr int kKeyNameFieldSize = 32;
inline constexpr int kHexByteFieldSize = 3;  // two hex digits and a NUL
inline constexpr int kItemNameFieldSize = 24;
inline constexpr int kConditionFieldSize = 32;

// Text fields are NUL-padded. Each table ends with an all-zero row, the first
// row whose directory is empty.
//
// The rows keep their fields as the texts the card's documentation gives, and
// carry typed copies of them (identifiers and key parameters as numbers),
// read from those texts when the tables are compiled, so no caller parses a
// table text at run time.

// A two-digit hexadecimal field as a byte. `valid` is false for a field that
// is not two hex digits (the one-blank card key id of UKCDF03, the end row).
struct HexField {
  bool valid = false;
  std::uint8_t value = 0;
};

constexpr int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

constexpr HexField ReadHexField(const char (&field)[kHexByteFieldSize]) {
  const int high = HexDigitValue(field[0]);
  const int low = HexDigitValue(field[1]);
  if (high < 0 || low < 0 || field[2] != '\0') return {};
  return {true, static_cast<std::uint8_t>(high * 16 + low)};
}

// "DF01" as 0xDF01; 0 for a text that is not four hex digits.
constexpr std::uint16_t ReadFileId(const char (&field)[kFileIdFieldSize]) {
  int value = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = HexDigitValue(field[i]);
    if (digit < 0) return 0;
    value = value * 16 + digit;
  }
  return static_cast<std::uint16_t>(value);
}

// One key of the user card and how the PSAM derives it.
struct CardKeyInfoRow {
  char directory[kFileIdFieldSize];
  char keyName[kKeyNameFieldSize];
  char cardKeyId[kHexByteFieldSize];     // P2 of EXTERNAL AUTHENTICATE
  char psamKeyUsage[kHexByteFieldSize];  // P1 of the PSAM diversify command
  char psamKeyIndex[kHexByteFieldSize];  // P2 of the PSAM diversify command
  std::uint8_t levels;                   // 8-byte diversification factors, 0..3

  // Typed copies of the fields above (see KeyRow).
  std::uint16_t directoryId = 0;
  HexField cardKey{};
  HexField psamUsage{};
  HexField psamIndex{};
};

inline constexpr std::uint8_t kTransparentFile = 2;  // file kind; 0, 1 and 3 are record files

// How an item's value reaches the host (see FormatItemValue).
enum DataType : std::uint8_t {
  kNumeric = 0,     // the value's bytes as hex digits: numbers, dates, codes
  kText = 1,        // the value's bytes as stored: GBK text
  kStructured = 3,  // the value's bytes as stored: a record of its own layout
  kBinary = 4,      // hex digits of the bytes from the first: no tag-length header
};

// One data item of an elementary file.
struct TagCardRecordInfoRow {
  char directory[kFileIdFieldSize];
  char file[kFileIdFieldSize];
  std::uint8_t fileKind;
  std::uint8_t recordNumber;          // from 1; 0 for the one row of a transparent file
  std::uint8_t tag;                   // 0: the record is written without a tag-length header
  char itemName[kItemNameFieldSize];  // GBK
  DataType dataType;
  std::uint16_t length;  // value bytes

  std::uint16_t directoryId = 0;
  std::uint16_t fileId = 0;
};

// Access expressions of one elementary file.
struct FileKeyRelationRow {
  char directory[kFileIdFieldSize];
  char file[kFileIdFieldSize];
  char readCondition[kConditionFieldSize];
  char writeCondition[kConditionFieldSize];

  std::uint16_t directoryId = 0;
  std::uint16_t fileId = 0;
};

// Table rows as written, with their typed copies filled in from their texts.
constexpr CardKeyInfoRow KeyRow(CardKeyInfoRow row) {
  row.directoryId = ReadFileId(row.directory);
  row.cardKey = ReadHexField(row.cardKeyId);
  row.psamUsage = ReadHexField(row.psamKeyUsage);
  row.psamIndex = ReadHexField(row.psamKeyIndex);
  return row;
}
constexpr TagCardRecordInfoRow ItemRow(TagCardRecordInfoRow row) {
  row.directoryId = ReadFileId(row.directory);
  row.fileId = ReadFileId(row.file);
  return row;
}
constexpr FileKeyRelationRow FileRow(FileKeyRelationRow row) {
  row.directoryId = ReadFileId(row.directory);
  row.fileId = ReadFileId(row.file);
  return row;
}

inline constexpr int kCardKeyCount = 66;
inline constexpr int kRecordItemCount = 116;
inline constexpr int kFileCount = 29;
// Most record items any one file holds (DF04 EF05).
inline constexpr int kMaxRecordItemsPerFile = 14;

// The tables, each followed by its all-zero end row.
extern const CardKeyInfoRow CardKeyInfo[kCardKeyCount + 1];
extern const TagCardRecordInfoRow TagCardRecordInfo[kRecordItemCount + 1];
extern const FileKeyRelationRow FileKeyRelation[kFileCount + 1];

// Lookups. Each scans its table from the top and copies the first matching
// row into *row. 0 when found; -12 when not (nothing written to *row), also
// for null arguments.

// Directory and file equal over 4 characters.
int FindFileKeyRelation(const char* directory, const char* file, FileKeyRelationRow* row);
// Directory equal over 4 characters, and the row's key name equal to the
// beginning of keyName ("UK1DF01x" finds UK1DF01; "UK1DF0" finds nothing).
int FindCardKey(const char* directory, const char* keyName, CardKeyInfoRow* row);
// As FindCardKey, in any directory.
int FindCardKeyByName(const char* keyName, CardKeyInfoRow* row);
// Directory and file equal over 4 characters and the row's record number
// equal to the low byte of recordNumber (0 finds a transparent file's row).
int FindRecordItem(const char* directory, const char* file, int recordNumber,
                   TagCardRecordInfoRow* row);

// Every row of the file with a record number other than 0, in table order.
// Returns their count, or -12 when there is none. ListRecordItems writes 3
// bytes per row (record number, data type, low byte of the length) into
// `triples`, which holds 3 * kMaxRecordItemsPerFile bytes; ListRecordRows
// writes each row's 0-based position in TagCardRecordInfo into `positions`,
// which holds kMaxRecordItemsPerFile bytes.
int ListRecordItems(const char* directory, const char* file, std::uint8_t* triples);
int ListRecordRows(const char* directory, const char* file, std::uint8_t* positions);

enum class AccessKind {
  Free,       // "0"
  PinOnly,    // "PIN"
  PinAndKey,  // "PIN&K"
  Key,        // "K", "PIN|K", "K|PIN": key K satisfies it
};

struct AccessCondition {
  AccessKind kind;
  char keyName[kKeyNameFieldSize];  // K, at most 31 characters; empty for Free and PinOnly
};

// Reads an access expression. A text that fits no form of the grammar is
// taken as a key name (its key lookup then fails); null reads as "".
AccessCondition ParseAccessCondition(const char* expression);

// Turns one record, as read from the card (tag and length bytes first), into
// the item's output, with n = length from the dictionary:
//   kNumeric             hex text of the n bytes after the first two, and a NUL; returns 2n
//   kText, kStructured   the n bytes after the first two, no terminator;         returns n
//   kBinary              hex text of the first n bytes, and a NUL;               returns 2n
//   any other value      nothing;                                                returns 0
// Hex text is packed upper case. Only recordLength bytes of recordBytes are
// read: bytes the record lacks are taken as 0, so the output keeps the width
// the dictionary gives it. `out` holds 2n + 1 bytes. n <= 0 gives an empty
// output (just the NUL for the hex types).
int FormatItemValue(int dataType, int length, const std::uint8_t* recordBytes, int recordLength,
                    char* out);

// Outcome of RenderCombinedData.
enum class RenderResult {
  Ok,
  NoTransparentRow,  // file kind 2, but the file has no row with record number 0
  NoRecordItems,     // the file has no record items
  ItemNotFound,      // a listed item could not be found again
  DataEnded,         // a hex item of `data` was cut short by its terminator
  DataTooLong,       // a transparent file's text is longer than the file
  TextTooSmall,      // the rendering does not fit `capacity`
};

// Renders read output as display text (GBK): for a transparent file (fileKind
// 2) the item name and `data` as a NUL-terminated text of at most twice the
// file's length; for a record file one "name:  value" field per item, `data`
// being the items' outputs one after another as FormatItemValue gave them
// (the whole-file read output). Hex items are read no further than the data's
// terminator, and one cut short or empty by it ends the data (DataEnded);
// raw items (types 1 and 3) are read over their whole width, zero bytes and
// all, as the read output holds them.
// `text` is emptied first and receives at most capacity - 1 characters and a
// NUL; on failure it keeps the items rendered so far, each one whole.
RenderResult RenderCombinedData(int fileKind, const char* directory, const char* file,
                                const char* data, char* text, int capacity);

// Size of the longest text RenderCombinedData can give for the file,
// terminator included (every item shown in its longest form); 0 for a file
// the dictionary does not know.
int CombinedTextSize(const char* directory, const char* file);

}  // namespace kx
