// The card's map as kxcard carries it: compiled in from the map the
// library's data dictionary gives (docs/card-map.jsonl, written by
// kx-card-map), so kxcard needs no part of the library but its exports.
#pragma once

namespace kxcard {

struct MapItem {
  int record;        // from 1; 0 for a transparent file's one item
  int tag;           // 0: written without a tag-length header
  const char* name;  // UTF-8
  int dataType;      // 0, 4: hex text; 1: GBK text; 3: raw bytes
  int length;        // bytes on the card
  const char* received;
};

struct MapCondition {
  const char* condition;  // as the library's tables write it
  const char* words;
  bool pin;         // the cardholder's PIN is presented
  const char* key;  // the key the library proves; "" for none
};

struct MapFile {
  const char* directory;
  const char* file;
  bool transparent;
  MapCondition read;
  MapCondition write;
  const MapItem* items;
  int itemCount;
  const char* json;  // the file's line of `kxcard files --json`
};

extern const MapFile kCardMap[];
extern const int kCardMapFiles;

// The file's entry, or nullptr; `directory` and `file` in capitals.
const MapFile* FindMapFile(const char* directory, const char* file);
// The item of `record` (0: a transparent file's), or nullptr.
const MapItem* FindMapItem(const MapFile& file, int record);

}  // namespace kxcard
