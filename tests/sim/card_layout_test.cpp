// The simulator's card and the library's dictionary are two descriptions of
// one card, each written on its own. Every row where they part is named, with
// the table, the key, file or item, the field and both values, so a wrong row
// on either side cannot pass the tests unseen.
#include "sim/card_layout.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "dictionary/dictionary.h"
#include "tests/support/gbk.h"

namespace kx::test {
namespace {

using sim::Rule;

std::string Hex(int value, int digits) {
  char text[8];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

template <std::size_t N>
std::string Field(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

std::string Name(const std::string& gbk) {
  try {
    return '"' + Utf8(gbk) + '"';
  } catch (...) {
    return "bytes " + gbk;
  }
}

std::string HexOrNone(bool onCard, int id) {
  return onCard ? Hex(id, 2) : "none";
}

std::string RuleText(Rule rule, const std::string& key) {
  switch (rule) {
    case Rule::Free:
      return "free";
    case Rule::Pin:
      return "PIN";
    case Rule::PinAndKey:
      return "PIN and " + key;
    case Rule::PinOrKey:
      return "PIN or " + key;
    case Rule::Key:
      return "key " + key;
    case Rule::Never:
      return "never";
  }
  return "?";
}

bool DictionaryHasKey(const char* directory, const std::string& name) {
  CardKeyInfoRow row{};
  return FindCardKey(directory, name.c_str(), &row) == 0 && Field(row.keyName) == name;
}

// The rule a card enforces for an access expression of the dictionary: a
// write condition is a key name, one the card lacks ("COS") is never met.
std::string DictionaryRule(const char* directory, const std::string& expression, bool write) {
  if (write) return DictionaryHasKey(directory, expression) ? "key " + expression : "never";
  const AccessCondition c = ParseAccessCondition(expression.c_str());
  switch (c.kind) {
    case AccessKind::Free:
      return RuleText(Rule::Free, "");
    case AccessKind::PinOnly:
      return RuleText(Rule::Pin, "");
    case AccessKind::PinAndKey:
      return RuleText(Rule::PinAndKey, c.keyName);
    case AccessKind::Key: {
      const bool orPin = expression.find("PIN") != std::string::npos;
      return RuleText(orPin ? Rule::PinOrKey : Rule::Key, c.keyName);
    }
  }
  return "?";
}

class Differences {
 public:
  // `shown`: the dictionary's value as the message gives it, when not as compared.
  void Compare(const std::string& row, const char* field, const std::string& dictionary,
               const std::string& simulator, const std::string& shown = "") {
    if (dictionary != simulator) {
      lines_.push_back(row + ": " + field + ": dictionary " + (shown.empty() ? dictionary : shown) +
                       ", simulator " + simulator);
    }
  }
  void Note(const std::string& row, const std::string& what) {
    lines_.push_back(row + ": " + what);
  }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

void CompareKeys(Differences* d) {
  std::set<const sim::CardKey*> seen;
  for (int i = 0; CardKeyInfo[i].directory[0] != '\0'; ++i) {
    const CardKeyInfoRow& row = CardKeyInfo[i];
    const std::string where = "CardKeyInfo row " + std::to_string(i + 1) + " " +
                              Field(row.directory) + " " + Field(row.keyName);
    const sim::CardKey* key = sim::CardKeyNamed(row.directoryId, Field(row.keyName));
    if (key == nullptr) {
      d->Note(where, "the simulator's card has no such key");
      continue;
    }
    seen.insert(key);
    d->Compare(where, "card key id", HexOrNone(row.cardKey.valid, row.cardKey.value),
               HexOrNone(key->id != sim::kNotOnCard, key->id));
    d->Compare(where, "PSAM key usage", HexOrNone(row.psamUsage.valid, row.psamUsage.value),
               Hex(key->psamUsage, 2));
    d->Compare(where, "PSAM key index", HexOrNone(row.psamIndex.valid, row.psamIndex.value),
               Hex(key->psamIndex, 2));
    d->Compare(where, "levels", std::to_string(row.levels), std::to_string(key->levels));
  }
  for (const sim::CardKey& key : sim::CardKeys()) {
    if (seen.count(&key) == 0) {
      d->Note("simulator key " + Hex(key.directory, 4) + " " + std::string(key.name),
              "not in CardKeyInfo");
    }
  }
  for (std::uint16_t directory : sim::CardDirectories()) {
    bool known = false;
    for (int i = 0; CardKeyInfo[i].directory[0] != '\0'; ++i) {
      known = known || CardKeyInfo[i].directoryId == directory;
    }
    if (!known) d->Note("simulator directory " + Hex(directory, 4), "no key in CardKeyInfo");
  }
}

void CompareItems(Differences* d) {
  for (int i = 0; TagCardRecordInfo[i].directory[0] != '\0'; ++i) {
    const TagCardRecordInfoRow& row = TagCardRecordInfo[i];
    const std::string where = "TagCardRecordInfo row " + std::to_string(i + 1) + " " +
                              Field(row.directory) + " " + Field(row.file) + " record " +
                              std::to_string(row.recordNumber);
    const sim::FileLayout* file = sim::FindFileLayout(row.directoryId, row.fileId);
    if (file == nullptr) {
      d->Note(where, "the simulator's card has no such file");
      continue;
    }
    d->Compare(where, "file kind", std::to_string(row.fileKind), std::to_string(file->kind));
    // A transparent file's content is one raw item without a tag.
    sim::RecordLayout content{0, 0, file->binarySize, sim::ItemType::Raw, file->name};
    const sim::RecordLayout* item = row.recordNumber == 0 && file->IsTransparent()
                                        ? &content
                                        : file->FindRecord(row.recordNumber);
    if (item == nullptr) {
      d->Note(where, "the simulator's file has no such record");
      continue;
    }
    d->Compare(where, "tag", Hex(row.tag, 2), Hex(item->tag, 2));
    d->Compare(where, "item name", Name(Field(row.itemName)), Name(std::string(item->name)));
    d->Compare(where, "data type", std::to_string(row.dataType),
               std::to_string(static_cast<int>(item->type)));
    d->Compare(where, "length", std::to_string(row.length), std::to_string(item->valueLength));
  }
}

void CompareFiles(Differences* d) {
  for (int i = 0; FileKeyRelation[i].directory[0] != '\0'; ++i) {
    const FileKeyRelationRow& row = FileKeyRelation[i];
    const std::string where = "FileKeyRelation row " + std::to_string(i + 1) + " " +
                              Field(row.directory) + " " + Field(row.file);
    const sim::FileLayout* file = sim::FindFileLayout(row.directoryId, row.fileId);
    if (file == nullptr) {
      d->Note(where, "the simulator's card has no such file");
      continue;
    }
    const std::string read = Field(row.readCondition);
    const std::string write = Field(row.writeCondition);
    const std::string readRule = DictionaryRule(row.directory, read, false);
    const std::string writeRule = DictionaryRule(row.directory, write, true);
    d->Compare(where, "read condition", readRule,
               RuleText(file->read.rule, std::string(file->read.key)),
               '"' + read + "\" (" + readRule + ")");
    d->Compare(where, "write condition", writeRule,
               RuleText(file->write.rule, std::string(file->write.key)),
               '"' + write + "\" (" + writeRule + ")");
  }
  // What the simulator holds that the dictionary does not know.
  for (const sim::FileLayout& file : sim::CardFileLayout()) {
    const std::string directory = Hex(file.directory, 4);
    const std::string id = Hex(file.file, 4);
    const std::string where = "simulator file " + directory + " " + id;
    FileKeyRelationRow relation{};
    if (FindFileKeyRelation(directory.c_str(), id.c_str(), &relation) != 0) {
      d->Note(where, "not in FileKeyRelation");
    }
    TagCardRecordInfoRow item{};
    if (file.IsTransparent() && FindRecordItem(directory.c_str(), id.c_str(), 0, &item) != 0) {
      d->Note(where, "not in TagCardRecordInfo");
    }
    for (const sim::RecordLayout& record : file.records) {
      if (FindRecordItem(directory.c_str(), id.c_str(), record.number, &item) != 0) {
        d->Note(where + " record " + std::to_string(record.number), "not in TagCardRecordInfo");
      }
    }
  }
}

TEST(SimCardLayout, AgreesWithTheLibrarysDictionaryRowByRow) {
  Differences differences;
  CompareKeys(&differences);
  CompareItems(&differences);
  CompareFiles(&differences);
  for (const std::string& line : differences.lines()) ADD_FAILURE() << line;
}

}  // namespace
}  // namespace kx::test
