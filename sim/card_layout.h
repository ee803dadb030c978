// The user card's structure, read from the data dictionary: its application
// directories, the elementary files each one holds with their records, sizes
// and access conditions, and the keys each directory holds. The content that
// fills this structure is a CardProfile (sim/profile.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx::sim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint16_t kMasterFile = 0x3F00;

struct RecordLayout {
  int number = 0;
  std::uint8_t tag = 0;  // 0: the record is raw value bytes, no tag and length
  int valueLength = 0;
  std::uint8_t dataType = 0;  // how the library shows the item (1: text)
  std::string name;           // item name, GBK
  int Size() const { return tag != 0 ? valueLength + 2 : valueLength; }
};

struct FileLayout {
  std::uint16_t directory = 0;  // 0x3F00 or a DF
  std::uint16_t file = 0;       // EF identifier
  bool transparent = false;
  int binarySize = 0;                 // transparent files
  std::string name;                   // transparent files: item name, GBK
  std::vector<RecordLayout> records;  // record files, in record order
  std::string readCondition;          // access expressions of the dictionary
  std::string writeCondition;

  const RecordLayout* FindRecord(int number) const;
};

// Every elementary file of the user card, in dictionary order.
const std::vector<FileLayout>& CardFileLayout();
const FileLayout* FindFileLayout(std::uint16_t directory, std::uint16_t file);
// The application directories (DF01 ... DF10) in dictionary order.
const std::vector<std::uint16_t>& CardDirectories();
// The MF or one of the application directories.
bool IsCardDirectory(std::uint16_t id);

// The master file's name "sx1.sh.社会保障" as the cards hold it (GBK).
const Bytes& MasterFileName();

// A record as the card holds it: tag and length (for a tagged item), then
// the value cut or zero-padded to the item's length.
Bytes RecordImage(const RecordLayout& layout, const Bytes& value);

// The card key id of the key named `name` (the whole name) in `directory`;
// nullopt when the card holds no such key, as for "COS" or a key without id.
std::optional<std::uint8_t> CardKeyId(std::uint16_t directory, std::string_view name);
// The names of the dictionary's keys with card key id `id` in `directory`,
// separated by spaces; empty when the card has no such key.
std::string CardKeyNames(std::uint16_t directory, std::uint8_t id);

}  // namespace kx::sim
