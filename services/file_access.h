// What the read and update services share: the caller's directory and file
// names, the road into a file through its access condition, and the
// transparent-file pieces. Results follow core/result.h.
#pragma once

#include <cstdint>

#include "card/operation.h"
#include "core/result.h"
#include "core/state.h"
#include "dictionary/dictionary.h"
#include "reader/commands.h"

namespace kx {

// The first four characters of the caller's directory and file texts: the
// only ones any lookup, command or message uses.
struct FileName {
  char directory[kFileIdFieldSize] = {};
  char file[kFileIdFieldSize] = {};
};

// False when either text is null or shorter than four characters.
bool TakeFileName(const char* directory, const char* file, FileName* name);

enum class AccessMode { Read, Write };

// A service's words for what it cannot find or open (printf formats).
struct ServiceTexts {
  const char* noRecord;       // directory, file, record number
  const char* noRecordItems;  // (no arguments)
  const char* noTransparent;  // directory, file
  const char* noRelation;     // (no arguments)
  const char* noKey;          // directory, key name
  const char* noDirectory;    // directory
};

// -12 with `text` in ErrorText.
int Refused(Operation& op, const char* text);

// The items a call works on: record r of the file, its transparent row, or
// (r 0) every record item, found before anything reaches the user card.
struct ItemList {
  TagCardRecordInfoRow single{};
  std::uint8_t positions[kMaxRecordItemsPerFile] = {};  // in TagCardRecordInfo
  int count = 0;                                        // 0: the single row
};
int FindItems(Operation& op, const ServiceTexts& texts, const FileName& name, int r,
              bool transparent, ItemList* items);
// The refusal FindItems gives, for a call refused before it looks.
int ItemNotFound(Operation& op, const ServiceTexts& texts, const FileName& name, int r,
                 bool transparent);

// Satisfies the file's condition for `mode` (the read condition as an access
// expression; the write condition as a key name) and selects the file on the
// user card: the master file, the directory (by identifier), the PIN in
// PresetPin and the key, as the condition asks, then the file.
int OpenFile(Operation& op, AccessMode mode, const FileName& name, const ServiceTexts& texts);

// Transparent files move in pieces of at most 128 bytes, addressed by an
// offset of 15 bits (P1 P2 without the top bit).
inline constexpr int kBinaryPieceSize = 128;
inline constexpr int kMaxBinaryOffset = 0x7FFF;
// The longest range CheckBinaryRange lets through: its last piece starts at
// 7FFF at the latest.
inline constexpr int kMaxBinaryRead = kMaxBinaryOffset + 1;

enum class BinaryRange {
  Valid,
  Negative,   // a negative offset or length
  OutOfFile,  // an offset above 32767, or a later piece that would start there
};
BinaryRange CheckBinaryRange(int offset, int length);

// Calls piece(pieceOffset, position, count) for each piece of the range in
// order (position counts from 0 in the caller's data) and stops at the
// first one that does not return 0.
template <typename Piece>
int ForEachBinaryPiece(int offset, int length, Piece piece) {
  for (int position = 0; position < length; position += kBinaryPieceSize) {
    const int count = length - position < kBinaryPieceSize ? length - position : kBinaryPieceSize;
    const int r = piece(offset + position, position, count);
    if (r != kOk) return r;
  }
  return kOk;
}

// Where an operation's link is closed: after a failed master-file selection
// (the operation says so) the card addressed then is powered off and the
// link closed, the failure's words kept. True when it closed the link.
bool CloseDroppedLink(Operation& op);

// The all-in-one frame: selects the contact user card, finds the reader and
// powers the card on, runs `work`, then powers both cards off and closes the
// link, whatever happened. Returns the search's failure or the work's
// result; the failure text keeps the failing step's words through the
// closing power-offs.
template <typename Work>
int WithUserCardConnected(Operation& op, Work work) {
  op.slot = SlotNumber(Slot::Contact);
  op.text.Clear();
  int foundPort = 0;
  int r = ConnectUserCard(&foundPort);
  if (r == kOk) r = work();
  FailureTextKeeper keep(op.text);
  CloseDroppedLink(op);
  DisconnectUserCard(foundPort);
  return r;
}

}  // namespace kx
