#include "services/file_access.h"

#include <cstring>

#include "card/apdu.h"
#include "card/commands.h"
#include "card/pin.h"
#include "services/data_items.h"
#include "services/key_authentication.h"

namespace kx {

namespace {

constexpr int kFileIdLength = kFileIdFieldSize - 1;
constexpr std::uint16_t kMasterFileId = 0x3F00;
// VERIFY presents the first three bytes of the PIN the host handed over.
constexpr int kPresetPinBytes = 3;

// Copies at most four characters; false when there were fewer.
bool TakeFileId(const char* text, char (&id)[kFileIdFieldSize]) {
  std::memset(id, 0, sizeof id);
  if (text == nullptr) return false;
  const std::size_t length = strnlen(text, kFileIdLength);
  std::memcpy(id, text, length);
  return length == kFileIdLength;
}

// The condition a file sets for `mode`: a write condition is always one key's name.
AccessCondition ConditionFor(AccessMode mode, const FileKeyRelationRow& relation) {
  if (mode == AccessMode::Read) return ParseAccessCondition(relation.readCondition);
  AccessCondition condition{AccessKind::Key, {}};
  const std::size_t length = strnlen(relation.writeCondition, sizeof condition.keyName - 1);
  std::memcpy(condition.keyName, relation.writeCondition, length);
  return condition;
}

// Everything but a free read: the master file, the directory, then the PIN
// and the key as the condition asks.
int SatisfyCondition(Operation& op, const FileName& name, const FileKeyRelationRow& relation,
                     const AccessCondition& condition, const ServiceTexts& texts) {
  const bool needsKey =
      condition.kind == AccessKind::Key || condition.kind == AccessKind::PinAndKey;
  const bool needsPin =
      condition.kind == AccessKind::PinOnly || condition.kind == AccessKind::PinAndKey;

  CardKeyInfoRow keyRow{};
  if (needsKey && FindCardKey(name.directory, condition.keyName, &keyRow) != kOk) {
    op.text.Format(texts.noKey, name.directory, condition.keyName);
    return kErrParam;
  }
  AuthenticationOptions options;
  options.texts = &kDataServiceTexts;
  KeyAuthentication flow(op, KeyOfRow(keyRow), options);
  int r = kOk;
  if (needsKey) {
    r = flow.Run(AuthenticationStep::Factors, AuthenticationStep::Factors);
    if (r != kOk) return r;
  }

  // A failed selection has closed the link: the next command fails and says so.
  SelectMasterFile(op);
  if (relation.directoryId != kMasterFileId) {
    r = SelectFile(op, SelectBy::Identifier, relation.directoryId);
    if (r != kOk) {
      op.text.Format(texts.noDirectory, name.directory);
      return r;
    }
  }
  if (needsPin) {
    r = VerifyPinWithPad(op, 0x00, 0x00, kPresetPinBytes, op.presetPin);
    if (r != kOk) {
      op.text.Replace("读文件 密码验证失败");
      return r;
    }
  }
  if (needsKey) return flow.Run(AuthenticationStep::Challenges, AuthenticationStep::Authenticate);
  return kOk;
}

}  // namespace

bool CloseDroppedLink(Operation& op) {
  if (!op.linkDropped) return false;
  FailureTextKeeper keep(op.text);
  ReaderPowerOff(op.droppedSlot);
  op.linkDropped = false;
  return true;
}

int Refused(Operation& op, const char* text) {
  op.text.Replace(text);
  return kErrParam;
}

int RefuseMissingBuffer(Operation& op, const char* text, bool release) {
  op.text.Replace(text);
  if (release) {
    FailureTextKeeper keep(op.text);
    CloseDroppedLink(op);
    DisconnectUserCard(0);
  }
  return kErrParam;
}

int ItemNotFound(Operation& op, const ServiceTexts& texts, const FileName& name, int r,
                 bool transparent) {
  if (r != 0) {
    op.text.Format(texts.noRecord, name.directory, name.file, r);
  } else if (transparent) {
    op.text.Format(texts.noTransparent, name.directory, name.file);
  } else {
    op.text.Replace(texts.noRecordItems);
  }
  return kErrParam;
}

int FindItems(Operation& op, const ServiceTexts& texts, const FileName& name, int r,
              bool transparent, ItemList* items) {
  if (r != 0 || transparent) {
    return FindRecordItem(name.directory, name.file, r, &items->single) == kOk
               ? kOk
               : ItemNotFound(op, texts, name, r, transparent);
  }
  items->count = ListRecordRows(name.directory, name.file, items->positions);
  return items->count > 0 ? kOk : ItemNotFound(op, texts, name, r, transparent);
}

bool TakeFileName(const char* directory, const char* file, FileName* name) {
  const bool directoryTaken = TakeFileId(directory, name->directory);
  const bool fileTaken = TakeFileId(file, name->file);
  return directoryTaken && fileTaken;
}

int OpenFile(Operation& op, AccessMode mode, const FileName& name, const ServiceTexts& texts) {
  FileKeyRelationRow relation{};
  if (FindFileKeyRelation(name.directory, name.file, &relation) != kOk) {
    return Refused(op, texts.noRelation);
  }
  const AccessCondition condition = ConditionFor(mode, relation);
  const int r = condition.kind == AccessKind::Free
                    ? SelectMasterFile(op)
                    : SatisfyCondition(op, name, relation, condition, texts);
  if (r != kOk) return r;
  const int selected = SelectFile(op, SelectBy::ChildIdentifier, relation.fileId);
  if (selected != kOk) op.text.Replace("选择ef文件失败");
  return selected;
}

BinaryRange CheckBinaryRange(int offset, int length) {
  if (offset < 0 || length < 0) return BinaryRange::Negative;
  if (offset > kMaxBinaryOffset) return BinaryRange::OutOfFile;
  // P1 P2 of a piece that starts past 7FFF would carry the top bit, which
  // names another file by its short identifier.
  if (length > 0) {
    const long long lastPiece =
        offset + static_cast<long long>((length - 1) / kBinaryPieceSize) * kBinaryPieceSize;
    if (lastPiece > kMaxBinaryOffset) return BinaryRange::OutOfFile;
  }
  return BinaryRange::Valid;
}

}  // namespace kx
