// The dictionary tables: the rules that hold them together. Their cells are
// compared row by row with the simulator's card (SimCardLayout); the key
// fields' hex digits are checked where the tables are built.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "dictionary/dictionary.h"
#include "tests/support/gbk.h"

namespace kx {
namespace {

using FileId = std::pair<std::string, std::string>;

template <std::size_t N>
std::string Field(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

FileId FileOf(const TagCardRecordInfoRow& row) {
  return {Field(row.directory), Field(row.file)};
}

TEST(DictionaryTables, FilesAgreeBetweenItemsAndAccessConditions) {
  std::set<FileId> itemFiles;
  for (int i = 0; i < kRecordItemCount; ++i) itemFiles.insert(FileOf(TagCardRecordInfo[i]));
  std::set<FileId> accessFiles;
  for (int i = 0; i < kFileCount; ++i) {
    const auto& row = FileKeyRelation[i];
    EXPECT_TRUE(accessFiles.insert({Field(row.directory), Field(row.file)}).second)
        << "second access row for " << row.directory << " " << row.file;
  }
  EXPECT_EQ(itemFiles.size(), 29u);
  EXPECT_EQ(itemFiles, accessFiles);
}

TEST(DictionaryTables, FileRowsAreContiguousAndInRecordOrder) {
  std::map<FileId, int> lastPosition;
  for (int i = 0; i < kRecordItemCount; ++i) {
    const auto& row = TagCardRecordInfo[i];
    const FileId file = FileOf(row);
    auto seen = lastPosition.find(file);
    if (seen != lastPosition.end()) {
      EXPECT_EQ(seen->second, i - 1)
          << "rows of " << file.first << " " << file.second << " are split at position " << i;
      // Strictly rising record numbers also rule out two rows for one record.
      EXPECT_LT(TagCardRecordInfo[i - 1].recordNumber, row.recordNumber) << "position " << i;
    }
    lastPosition[file] = i;
  }
}

TEST(DictionaryTables, TransparentFilesHaveOneRowNumberedZero) {
  std::map<FileId, int> rowsPerFile;
  for (int i = 0; i < kRecordItemCount; ++i) ++rowsPerFile[FileOf(TagCardRecordInfo[i])];
  for (int i = 0; i < kRecordItemCount; ++i) {
    const auto& row = TagCardRecordInfo[i];
    const bool transparent = row.fileKind == kTransparentFile;
    EXPECT_EQ(transparent, row.recordNumber == 0) << "position " << i;
    if (transparent) {
      EXPECT_EQ(rowsPerFile[FileOf(row)], 1) << "position " << i;
      EXPECT_EQ(row.dataType, 4) << "position " << i;
    }
    EXPECT_TRUE(row.dataType == 0 || row.dataType == 1 || row.dataType == 3 || row.dataType == 4)
        << "position " << i;
  }
}

TEST(DictionaryTables, EveryKeyAnAccessConditionNamesLivesInItsDirectory) {
  for (int i = 0; i < kFileCount; ++i) {
    const auto& access = FileKeyRelation[i];
    CardKeyInfoRow key;
    const AccessCondition read = ParseAccessCondition(access.readCondition);
    if (read.kind == AccessKind::Key || read.kind == AccessKind::PinAndKey) {
      ASSERT_EQ(FindCardKey(access.directory, read.keyName, &key), 0)
          << access.directory << " " << access.file << " read " << access.readCondition;
      EXPECT_STREQ(key.keyName, read.keyName);
    }
    if (std::strcmp(access.writeCondition, "COS") == 0) continue;
    ASSERT_EQ(FindCardKey(access.directory, access.writeCondition, &key), 0)
        << access.directory << " " << access.file << " write " << access.writeCondition;
    EXPECT_STREQ(key.keyName, access.writeCondition);
  }
  // The card's operating system guards that file: no key of ours opens it.
  CardKeyInfoRow key;
  EXPECT_EQ(FindCardKeyByName("COS", &key), -12);
}

TEST(DictionaryTables, EveryKeyIsFoundByItsOwnName) {
  // A key hidden behind an earlier key whose name is a prefix of its own
  // could never be authenticated.
  for (int i = 0; i < kCardKeyCount; ++i) {
    CardKeyInfoRow key;
    ASSERT_EQ(FindCardKeyByName(CardKeyInfo[i].keyName, &key), 0);
    EXPECT_EQ(std::memcmp(&key, &CardKeyInfo[i], sizeof key), 0) << CardKeyInfo[i].keyName;
  }
}

TEST(DictionaryTables, ItemNamesAreWholeGbkTexts) {
  for (int i = 0; i < kRecordItemCount; ++i) {
    const auto& name = TagCardRecordInfo[i].itemName;
    ASSERT_LT(strnlen(name, sizeof name), sizeof name) << "position " << i;
    ASSERT_GT(strnlen(name, sizeof name), 0u) << "position " << i;
    // A name cut inside a double-byte character does not convert.
    EXPECT_NO_THROW(test::Utf8(name)) << "position " << i;
  }
}

}  // namespace
}  // namespace kx
