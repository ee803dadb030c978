// The persistent content of the simulated cards.
//
// A profile is what survives a power cycle: the user card's reset answer,
// PIN and try counters, keys, locked applications and the content of every
// file; the PSAM's reset answer and terminal identifier. The card's file
// structure itself (which files, record sizes, access rules, keys) is the
// simulator's own description of the card, see sim/card_layout.h.
//
// Where profiles come from: the fictional default cardholder
// (sim/default_profile.h), the profile file kx-sim loads and saves
// (sim/profile_text.h); sim/personalise.h brings any of them in line with the
// card's structure and keys.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "sim/crypto.h"

namespace kx::sim {

using Bytes = std::vector<std::uint8_t>;

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

}  // namespace kx::sim
