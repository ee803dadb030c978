// Lookups over the dictionary tables and the access expression reader.
#include <algorithm>
#include <cstring>

#include "dictionary/dictionary.h"

namespace kx {
namespace {

constexpr int kNotFound = -12;
constexpr int kMaxKeyNameLength = kKeyNameFieldSize - 1;

// strncmp stops at the first NUL of either side, so a caller's text shorter
// than four characters is never read past its end.
bool SameId(const char* field, const char* text) {
  return text != nullptr && std::strncmp(field, text, 4) == 0;
}

bool SameFile(const TagCardRecordInfoRow& row, const char* directory, const char* file) {
  return SameId(row.directory, directory) && SameId(row.file, file);
}

// The row's name must equal the beginning of the caller's text: the caller's
// text may run on past it.
bool KeyNameMatches(const CardKeyInfoRow& row, const char* keyName) {
  if (keyName == nullptr) return false;
  const std::size_t length = strnlen(row.keyName, sizeof row.keyName);
  return length > 0 && std::strncmp(row.keyName, keyName, length) == 0;
}

// Calls visit(position, row) for each record item of the file, at most
// kMaxRecordItemsPerFile times, and returns how many it visited.
template <typename Visit>
int ForEachRecordItem(const char* directory, const char* file, Visit visit) {
  int count = 0;
  for (int i = 0; TagCardRecordInfo[i].directory[0] != '\0'; ++i) {
    const TagCardRecordInfoRow& row = TagCardRecordInfo[i];
    if (row.recordNumber == 0 || !SameFile(row, directory, file)) continue;
    if (count == kMaxRecordItemsPerFile) break;
    visit(i, row);
    ++count;
  }
  return count;
}

void SetKeyName(AccessCondition& condition, const char* from, std::size_t length) {
  length = std::min<std::size_t>(length, kMaxKeyNameLength);
  std::memcpy(condition.keyName, from, length);
  condition.keyName[length] = '\0';
}

}  // namespace

int FindFileKeyRelation(const char* directory, const char* file, FileKeyRelationRow* row) {
  if (row == nullptr) return kNotFound;
  for (int i = 0; FileKeyRelation[i].directory[0] != '\0'; ++i) {
    if (SameId(FileKeyRelation[i].directory, directory) && SameId(FileKeyRelation[i].file, file)) {
      *row = FileKeyRelation[i];
      return 0;
    }
  }
  return kNotFound;
}

int FindCardKey(const char* directory, const char* keyName, CardKeyInfoRow* row) {
  if (row == nullptr) return kNotFound;
  for (int i = 0; CardKeyInfo[i].directory[0] != '\0'; ++i) {
    if (SameId(CardKeyInfo[i].directory, directory) && KeyNameMatches(CardKeyInfo[i], keyName)) {
      *row = CardKeyInfo[i];
      return 0;
    }
  }
  return kNotFound;
}

int FindCardKeyByName(const char* keyName, CardKeyInfoRow* row) {
  if (row == nullptr) return kNotFound;
  for (int i = 0; CardKeyInfo[i].directory[0] != '\0'; ++i) {
    if (KeyNameMatches(CardKeyInfo[i], keyName)) {
      *row = CardKeyInfo[i];
      return 0;
    }
  }
  return kNotFound;
}

int FindRecordItem(const char* directory, const char* file, int recordNumber,
                   TagCardRecordInfoRow* row) {
  if (row == nullptr) return kNotFound;
  const auto record = static_cast<std::uint8_t>(recordNumber & 0xFF);
  for (int i = 0; TagCardRecordInfo[i].directory[0] != '\0'; ++i) {
    const TagCardRecordInfoRow& candidate = TagCardRecordInfo[i];
    if (candidate.recordNumber == record && SameFile(candidate, directory, file)) {
      *row = candidate;
      return 0;
    }
  }
  return kNotFound;
}

int ListRecordItems(const char* directory, const char* file, std::uint8_t* triples) {
  if (triples == nullptr) return kNotFound;
  const int count =
      ForEachRecordItem(directory, file, [&triples](int, const TagCardRecordInfoRow& row) {
        *triples++ = row.recordNumber;
        *triples++ = row.dataType;
        *triples++ = static_cast<std::uint8_t>(row.length & 0xFF);
      });
  return count > 0 ? count : kNotFound;
}

int ListRecordRows(const char* directory, const char* file, std::uint8_t* positions) {
  if (positions == nullptr) return kNotFound;
  const int count =
      ForEachRecordItem(directory, file, [&positions](int position, const TagCardRecordInfoRow&) {
        *positions++ = static_cast<std::uint8_t>(position);
      });
  return count > 0 ? count : kNotFound;
}

AccessCondition ParseAccessCondition(const char* expression) {
  AccessCondition condition{AccessKind::Key, {}};
  if (expression == nullptr) return condition;
  const std::size_t length = std::strlen(expression);
  if (expression[0] == '0') {
    condition.kind = AccessKind::Free;
    return condition;
  }
  if (std::strstr(expression, "PIN") != nullptr) {
    if (length == 3) {
      condition.kind = AccessKind::PinOnly;
      return condition;
    }
    // From here the text is longer than "PIN", so cutting 4 characters off
    // either end stays inside it.
    if (std::strchr(expression, '&') != nullptr) {
      condition.kind = AccessKind::PinAndKey;
      SetKeyName(condition, expression + 4, length - 4);
      return condition;
    }
    if (std::strstr(expression, "|PIN") != nullptr) {
      SetKeyName(condition, expression, length - 4);
      return condition;
    }
    if (std::strstr(expression, "PIN|") != nullptr) {
      SetKeyName(condition, expression + 4, length - 4);
      return condition;
    }
  }
  // A bare key name, or a text that fits no form: its key lookup decides.
  SetKeyName(condition, expression, length);
  return condition;
}

}  // namespace kx
