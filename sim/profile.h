// The persistent content of the simulated cards, and its text file.
//
// A profile is what survives a power cycle: the user card's reset answer,
// PIN and try counters, keys, locked applications and the content of every
// file; the PSAM's reset answer and terminal identifier. The card's file
// structure itself (which files, record sizes, access conditions) comes from
// the data dictionary, see CardFileLayout().
//
// Profile file (UTF-8 text; '#' or ';' starts a comment; hex values may hold
// spaces):
//
//   [card]
//   atr = 3B 6D 00 00 ...        reset answer
//   pin = 123456                 PIN digits (2 to 12), BCD on the card
//   pin-tries = 3                tries left / most tries
//   pin-max-tries = 3
//   t0 = no                      yes: 61xx + GET RESPONSE, 6Cxx for a wrong Le
//   mf-name = yes                the MF's SELECT reply carries its name
//   locked = DF02 DF0A           locked applications (optional)
//
//   [psam]
//   atr = 3B 6A ...
//   terminal-id = 330329000001   6 bytes, file 0016
//   t0 = no
//
//   [keys]
//   3F00 04 = <16 bytes hex> 8 8   directory, card key id = key, tries left,
//                                  most tries (tries optional)
//
//   [file 3F00 EF05]             a record file: record number = whole record
//   1 = 01 10 33 03 29 ...        (tag, length and value as the card holds it)
//   9 = "张三"                    or text: tag and length from the dictionary,
//                                  the value GBK, padded with zero bytes
//   [file 3F00 EF07]             a transparent file: @offset (hex) = bytes
//   @0000 = 00 01 02 ...
//
// Everything a file leaves out keeps the default cardholder's content, except
// the keys: a key the file does not list is diversified from the profile's own
// reset answer and identification code, so a hand-written profile is
// consistent. Saved profiles list every key, so that rewriting the
// identification code later does not silently change the card's keys.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "sim/card.h"
#include "sim/crypto.h"

namespace kx::sim {

// ------------------------------------------------------------ card structure

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

// Every elementary file of the user card, from the data dictionary.
const std::vector<FileLayout>& CardFileLayout();
const FileLayout* FindFileLayout(std::uint16_t directory, std::uint16_t file);
// The application directories (DF01 ... DF10) in dictionary order.
const std::vector<std::uint16_t>& CardDirectories();

// The master file's name "sx1.sh.社会保障" as the cards hold it (GBK).
const Bytes& MasterFileName();

// ------------------------------------------------------------ content

struct KeyEntry {
  Key16 value{};
  int triesLeft = 8;
  int maxTries = 8;
  bool operator==(const KeyEntry&) const = default;
};

struct FileContent {
  std::map<int, Bytes> records;  // record files
  Bytes binary;                  // transparent files
  bool operator==(const FileContent&) const = default;
};

using FileRef = std::pair<std::uint16_t, std::uint16_t>;  // directory, file
using KeyRef = std::pair<std::uint16_t, std::uint8_t>;    // directory, card key id

inline constexpr int kDefaultPinTries = 3;
inline constexpr int kDefaultKeyTries = 8;

struct CardProfile {
  Bytes atr;
  Bytes pin;  // BCD bytes, e.g. 12 34 56
  int pinTriesLeft = kDefaultPinTries;
  int pinMaxTries = kDefaultPinTries;
  bool t0 = false;
  bool mfNameInSelectReply = true;
  std::set<std::uint16_t> lockedDirectories;
  std::map<KeyRef, KeyEntry> keys;
  std::map<FileRef, FileContent> files;
  bool operator==(const CardProfile&) const = default;
};

struct PsamProfile {
  Bytes atr;
  Bytes terminalId;  // 6 bytes
  bool t0 = false;
  bool operator==(const PsamProfile&) const = default;
};

struct SimProfile {
  CardProfile card;
  PsamProfile psam;
  bool operator==(const SimProfile&) const = default;
};

// The fictional default cardholder: every item of the dictionary filled,
// PIN 123456, keys diversified for this card.
CardProfile DefaultCardProfile();
PsamProfile DefaultPsamProfile();
SimProfile DefaultProfile();

// The identification code: the value of record 1 of 3F00 EF05 (empty when
// the record is missing or too short).
Bytes IdentificationCode(const CardProfile& card);

// Diversifies every card key of the dictionary from the issuer's master keys
// with the card's own factors (its reset answer and identification code).
// `onlyMissing` keeps the keys the profile already holds.
void PersonaliseKeys(CardProfile* card, bool onlyMissing = false);

// Brings the content in line with the card's structure: every file and
// record present with its dictionary size (missing records: tag, length and
// zero value; wrong sizes cut or zero-padded), nothing else.
void NormaliseContent(CardProfile* card);

// Profile text: FormatProfile writes every field; ParseProfile starts from
// the default cardholder and applies the text. On failure `error` names the
// line and the fault, and *profile is left unchanged.
std::string FormatProfile(const SimProfile& profile);
bool ParseProfile(const std::string& text, SimProfile* profile, std::string* error);

bool LoadProfile(const std::string& path, SimProfile* profile, std::string* error);
// Writes to a temporary file beside `path`, then renames it over `path`.
bool SaveProfile(const std::string& path, const SimProfile& profile, std::string* error);

}  // namespace kx::sim
