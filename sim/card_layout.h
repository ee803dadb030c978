// The user card's structure, the simulator's own description of it: its
// application directories, the elementary files each one holds with their
// records, sizes and the access rules the card enforces, and the keys each
// directory holds with the PSAM's parameters for them. The content that
// fills this structure is a CardProfile (sim/profile.h).
//
// The library carries a description of the same card for its own use; a
// test compares the two row by row, so a wrong row on either side shows.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kx::sim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint16_t kMasterFile = 0x3F00;

// What the card asks before it lets a file be read or written.
enum class Rule {
  Free,       // nothing
  Pin,        // the cardholder's PIN, verified since power-on
  PinAndKey,  // the PIN and the key, authenticated in this directory
  PinOrKey,   // either of them
  Key,        // the key
  Never,      // nothing from outside: the card's own operating system writes it
};

struct Access {
  Rule rule = Rule::Never;
  std::string_view key;  // a key of the file's directory; empty for Free, Pin, Never
};

// How the host shows an item's bytes; the card keeps bytes and nothing more,
// the simulator uses the type to write a profile readably.
enum class ItemType : std::uint8_t {
  Numeric = 0,     // numbers and dates, packed digits
  Text = 1,        // GBK text, zero-padded
  Structured = 3,  // records of several fields
  Raw = 4,         // bytes: transparent contents, transaction fields
};

struct RecordLayout {
  int number = 0;
  std::uint8_t tag = 0;  // 0: the record is raw value bytes, no tag and length
  int valueLength = 0;
  ItemType type = ItemType::Raw;
  std::string_view name;  // item name, GBK
  constexpr int Size() const { return tag != 0 ? valueLength + 2 : valueLength; }
};

// The issuer's file kinds: 2 is a transparent file, read and written by
// offset; 0, 1 and 3 are record files, alike to every command of the card.
inline constexpr std::uint8_t kTransparentKind = 2;

struct FileLayout {
  std::uint16_t directory = 0;  // 0x3F00 or a DF
  std::uint16_t file = 0;       // EF identifier
  std::uint8_t kind = 0;
  Access read;
  Access write;
  std::span<const RecordLayout> records;  // record files, in record order
  int binarySize = 0;                     // transparent files; their content is Raw
  std::string_view name;                  // transparent files: the content's name, GBK

  constexpr bool IsTransparent() const { return kind == kTransparentKind; }
  const RecordLayout* FindRecord(int number) const;
};

// The key id of a key the PSAM can derive but the card does not hold.
inline constexpr int kNotOnCard = -1;

struct CardKey {
  std::uint16_t directory = 0;
  std::string_view name;       // as access rules and terminals name it
  int id = kNotOnCard;         // P2 of EXTERNAL AUTHENTICATE
  std::uint8_t psamUsage = 0;  // P1 and P2 of the PSAM's diversify command
  std::uint8_t psamIndex = 0;
  int levels = 0;  // 8-byte diversification factors, 0 to 3
};

// Every elementary file of the user card, directory by directory.
std::span<const FileLayout> CardFileLayout();
const FileLayout* FindFileLayout(std::uint16_t directory, std::uint16_t file);
// The application directories (DF01 ... DF10) in the card's order.
std::span<const std::uint16_t> CardDirectories();
// The MF or one of the application directories.
bool IsCardDirectory(std::uint16_t id);
// Every key of the card's directories, the MF's first. Several keys may share
// one id in a directory: the card holds the first one's.
std::span<const CardKey> CardKeys();
// The key named `name` (the whole name) in `directory`, or null.
const CardKey* CardKeyNamed(std::uint16_t directory, std::string_view name);

// The master file's name "sx1.sh.社会保障" as the cards hold it (GBK).
const Bytes& MasterFileName();

// A record as the card holds it: tag and length (for a tagged item), then
// the value cut or zero-padded to the item's length.
Bytes RecordImage(const RecordLayout& layout, const Bytes& value);

// The card key id of the key named `name` (the whole name) in `directory`;
// nullopt when the card holds no such key, as for a key without id.
std::optional<std::uint8_t> CardKeyId(std::uint16_t directory, std::string_view name);
// The names of the keys with card key id `id` in `directory`, separated by
// spaces; empty when the card has no such key.
std::string CardKeyNames(std::uint16_t directory, std::uint8_t id);

}  // namespace kx::sim
