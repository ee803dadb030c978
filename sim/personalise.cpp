#include "sim/personalise.h"

#include <algorithm>

#include "sim/card_layout.h"
#include "sim/keys.h"

namespace kx::sim {

Bytes IdentificationCode(const CardProfile& card) {
  const auto file = card.files.find({kMasterFile, 0xEF05});
  if (file == card.files.end()) return {};
  const auto record = file->second.records.find(1);
  if (record == file->second.records.end() || record->second.size() < 2) return {};
  const Bytes& r = record->second;
  const std::size_t length = std::min<std::size_t>(r[1], r.size() - 2);
  return Bytes(r.begin() + 2, r.begin() + 2 + length);
}

void PersonaliseKeys(CardProfile* card, bool onlyMissing) {
  const DiversificationFactors factors = FactorsFor(card->atr, IdentificationCode(*card));
  std::map<KeyRef, KeyEntry> keys = onlyMissing ? card->keys : std::map<KeyRef, KeyEntry>{};
  std::set<KeyRef> done;
  for (const CardKey& key : CardKeys()) {
    // No card key id: the card cannot hold it.
    if (key.id == kNotOnCard) continue;
    const KeyRef ref{key.directory, static_cast<std::uint8_t>(key.id)};
    // Rows sharing one card key id: the card holds the first one's key.
    if (!done.insert(ref).second) continue;
    if (onlyMissing && keys.count(ref) != 0) continue;
    KeyEntry entry;
    entry.value =
        DiversifyCardKey(IssuerMasterKey(key.psamUsage, key.psamIndex), key.levels, factors);
    entry.triesLeft = entry.maxTries = kDefaultKeyTries;
    keys[ref] = entry;
  }
  card->keys = std::move(keys);
}

void NormaliseContent(CardProfile* card) {
  std::map<FileRef, FileContent> files;
  for (const FileLayout& layout : CardFileLayout()) {
    const FileRef ref{layout.directory, layout.file};
    const auto existing = card->files.find(ref);
    FileContent content;
    if (layout.IsTransparent()) {
      if (existing != card->files.end()) content.binary = existing->second.binary;
      content.binary.resize(layout.binarySize, 0x00);
    } else {
      for (const RecordLayout& record : layout.records) {
        Bytes image;
        if (existing != card->files.end()) {
          const auto r = existing->second.records.find(record.number);
          if (r != existing->second.records.end()) image = r->second;
        }
        if (image.empty()) image = RecordImage(record, {});
        image.resize(record.Size(), 0x00);
        content.records[record.number] = std::move(image);
      }
    }
    files[ref] = std::move(content);
  }
  card->files = std::move(files);
  if (card->pinMaxTries < 1) card->pinMaxTries = 1;
  card->pinTriesLeft = std::clamp(card->pinTriesLeft, 0, card->pinMaxTries);
}

}  // namespace kx::sim
