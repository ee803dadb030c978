// The card's data items as kx-service names them: its own table of every
// item of the card's record files and transparent files (directory, file,
// record, the name the card's data dictionary gives it, how the library
// hands its value over, its length), and which files a read needs the
// cardholder PIN for. The library keeps its dictionary to itself; a test
// compares this table with it row by row, so neither can hide a wrong row.
#pragma once

#include <string>
#include <vector>

namespace kxservice {

// How KXReadInfo hands an item's value over, and how KXUpdateInfo takes it.
enum class ItemKind {
  kNumber,    // numbers and dates: 2n upper-case hex digits out, n bytes in
  kText,      // GBK text, n bytes padded with zero bytes, both ways
  kBytes,     // n raw bytes both ways
  kHexBytes,  // 2n hex digits out, n bytes in
};

struct Item {
  const char* directory;  // "3F00", "DF01"
  const char* file;       // "EF05"
  int fileKind;           // 2: transparent (record 0); 0, 1, 3: record files
  int record;             // 1..255; 0 for a transparent file's one item
  const char* name;       // UTF-8, as the card's data dictionary names it
  ItemKind kind;
  int length;  // bytes on the card
};

// Every item, in the card's order.
const std::vector<Item>& Items();

// The items of one file in record order (a transparent file: its one item);
// empty when the card has no such file. `directory` and `file` are upper case.
std::vector<const Item*> FileItems(const std::string& directory, const std::string& file);

// One item of a record file; nullptr when there is none.
const Item* FindItem(const std::string& directory, const std::string& file, int record);

// True when reading `directory` `file` presents the cardholder PIN.
bool ReadNeedsPin(const std::string& directory, const std::string& file);

// The item's value out of KXReadInfo's output at `at` (at most `available`
// bytes): hex digits for numbers and bytes, UTF-8 for text (up to its first
// zero byte; a text that is no GBK comes back as hex). *width is what the
// item took of the output; false when the output is too short.
bool DecodeValue(const Item& item, const unsigned char* at, std::size_t available,
                 std::string* value, std::size_t* width);

// The bytes KXUpdateInfo takes for `value` (UTF-8 text for text items, hex
// digits otherwise), padded to the item's length; false with the reason.
bool EncodeValue(const Item& item, const std::string& value, std::string* bytes, std::string* why);

}  // namespace kxservice
