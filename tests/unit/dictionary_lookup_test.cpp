// Dictionary lookups and the access expression reader.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dictionary/dictionary.h"

namespace kx {
namespace {

bool SameRow(const CardKeyInfoRow& a, const CardKeyInfoRow& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}
bool SameRow(const TagCardRecordInfoRow& a, const TagCardRecordInfoRow& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(DictionaryKeyLookup, NameMustBeginTheCallersText) {
  CardKeyInfoRow row{};
  ASSERT_EQ(FindCardKeyByName("UK1DF01", &row), 0);
  EXPECT_TRUE(SameRow(row, CardKeyInfo[7]));
  ASSERT_EQ(FindCardKeyByName("UK1DF01 and more", &row), 0);
  EXPECT_TRUE(SameRow(row, CardKeyInfo[7]));
  EXPECT_EQ(FindCardKeyByName("UK1DF0", &row), -12);
  EXPECT_EQ(FindCardKeyByName("", &row), -12);
  EXPECT_EQ(FindCardKeyByName("uk1df01", &row), -12);
  EXPECT_EQ(FindCardKeyByName(nullptr, &row), -12);
  EXPECT_EQ(FindCardKeyByName("UK1DF01", nullptr), -12);
}

TEST(DictionaryKeyLookup, DirectoryCountsOverFourCharacters) {
  CardKeyInfoRow row{};
  EXPECT_EQ(FindCardKey("DF02", "UK1DF01", &row), -12);
  ASSERT_EQ(FindCardKey("DF01xx", "UK1DF01", &row), 0);
  EXPECT_TRUE(SameRow(row, CardKeyInfo[7]));
  ASSERT_EQ(FindCardKey("3F00", "UKMF", &row), 0);
  EXPECT_TRUE(SameRow(row, CardKeyInfo[3]));
  // Short or empty directory texts end at their NUL.
  EXPECT_EQ(FindCardKey("DF0", "UK1DF01", &row), -12);
  EXPECT_EQ(FindCardKey("", "UK1DF01", &row), -12);
  EXPECT_EQ(FindCardKey("df01", "UK1DF01", &row), -12);
  EXPECT_EQ(FindCardKey(nullptr, "UK1DF01", &row), -12);
}

TEST(DictionaryKeyLookup, FailedLookupLeavesTheRowAlone) {
  CardKeyInfoRow row = CardKeyInfo[0];
  EXPECT_EQ(FindCardKey("DF02", "UK1DF01", &row), -12);
  EXPECT_TRUE(SameRow(row, CardKeyInfo[0]));
}

TEST(DictionaryAccessLookup, FindsTheFilesConditions) {
  FileKeyRelationRow row{};
  ASSERT_EQ(FindFileKeyRelation("DF03", "EF05", &row), 0);
  EXPECT_STREQ(row.readCondition, "PIN&RK2DF03");
  EXPECT_STREQ(row.writeCondition, "UK1DF03");
  ASSERT_EQ(FindFileKeyRelation("DF10xyz", "EF0C.", &row), 0);
  EXPECT_STREQ(row.readCondition, "RK1DF10");
  EXPECT_EQ(FindFileKeyRelation("DF03", "EF0", &row), -12);
  EXPECT_EQ(FindFileKeyRelation("DF05", "EF05", &row), -12);
  EXPECT_EQ(FindFileKeyRelation("DF03", nullptr, &row), -12);
}

TEST(DictionaryItemLookup, RecordNumberZeroIsTheTransparentRow) {
  TagCardRecordInfoRow row{};
  ASSERT_EQ(FindRecordItem("3F00", "EF07", 0, &row), 0);
  EXPECT_TRUE(SameRow(row, TagCardRecordInfo[13]));
  EXPECT_EQ(FindRecordItem("DF02", "EF07", 0, &row), -12);
  EXPECT_EQ(FindRecordItem("DF04", "EF08", 4, &row), -12);
  EXPECT_EQ(FindRecordItem("3F00", "EF07", 1, &row), -12);
}

TEST(DictionaryItemLookup, OnlyTheLowByteOfTheRecordNumberCounts) {
  TagCardRecordInfoRow row{};
  ASSERT_EQ(FindRecordItem("DF03", "EF05", 2, &row), 0);
  EXPECT_TRUE(SameRow(row, TagCardRecordInfo[63]));
  ASSERT_EQ(FindRecordItem("DF03", "EF05", 258, &row), 0);
  EXPECT_TRUE(SameRow(row, TagCardRecordInfo[63]));
  ASSERT_EQ(FindRecordItem("DF04", "EF05", 14, &row), 0);
  EXPECT_TRUE(SameRow(row, TagCardRecordInfo[95]));
  EXPECT_EQ(FindRecordItem("DF04", "EF05", 15, &row), -12);
}

std::vector<std::uint8_t> Triples(const char* directory, const char* file, int* count) {
  // Spare bytes past the largest list show any write beyond the count.
  std::vector<std::uint8_t> buffer(3 * kMaxRecordItemsPerFile + 3, 0xEE);
  *count = ListRecordItems(directory, file, buffer.data());
  const int used = *count > 0 ? 3 * *count : 0;
  for (std::size_t i = used; i < buffer.size(); ++i) {
    EXPECT_EQ(buffer[i], 0xEE) << "written past the list at " << i;
  }
  buffer.resize(used);
  return buffer;
}

TEST(DictionaryItemLists, SkipMissingRecordNumbers) {
  int count = 0;
  const auto triples = Triples("DF04", "EF08", &count);
  EXPECT_EQ(count, 7);
  const std::vector<std::uint8_t> expected = {1, 4, 2, 2, 1, 1, 3, 0, 6, 5, 0,
                                              7, 6, 4, 4, 7, 4, 4, 8, 4, 4};
  EXPECT_EQ(triples, expected);
}

TEST(DictionaryItemLists, TheLargestFileFillsTheList) {
  int count = 0;
  const auto triples = Triples("DF04", "EF05", &count);
  ASSERT_EQ(count, kMaxRecordItemsPerFile);
  EXPECT_EQ(triples[3 * 13], 14);
  EXPECT_EQ(triples[3 * 1 + 2], 62);
}

TEST(DictionaryItemLists, TransparentAndUnknownFilesHaveNoItems) {
  int count = 0;
  Triples("3F00", "EF07", &count);
  EXPECT_EQ(count, -12);
  Triples("df01", "ef05", &count);
  EXPECT_EQ(count, -12);
  Triples("DF01", "", &count);
  EXPECT_EQ(count, -12);
}

TEST(DictionaryItemLists, RowPositionsIndexTheItemTable) {
  std::uint8_t positions[kMaxRecordItemsPerFile + 1];
  std::memset(positions, 0xEE, sizeof positions);
  ASSERT_EQ(ListRecordRows("DF01", "EF05", positions), 4);
  EXPECT_EQ(std::vector<std::uint8_t>(positions, positions + 5),
            (std::vector<std::uint8_t>{18, 19, 20, 21, 0xEE}));
  EXPECT_EQ(ListRecordRows("DF10", "EF0C", positions), -12);
}

struct ParseCase {
  const char* expression;
  AccessKind kind;
  const char* key;
};

TEST(DictionaryAccessExpressions, EveryFormOfTheGrammar) {
  const ParseCase cases[] = {
      {"0", AccessKind::Free, ""},
      {"PIN", AccessKind::PinOnly, ""},
      {"PIN&RK2DF03", AccessKind::PinAndKey, "RK2DF03"},
      {"UK2DF01|PIN", AccessKind::Key, "UK2DF01"},
      {"PIN|UK2DF01", AccessKind::Key, "UK2DF01"},
      {"RKMF", AccessKind::Key, "RKMF"},
      {"COS", AccessKind::Key, "COS"},
  };
  for (const auto& c : cases) {
    const AccessCondition parsed = ParseAccessCondition(c.expression);
    EXPECT_EQ(parsed.kind, c.kind) << c.expression;
    EXPECT_STREQ(parsed.keyName, c.key) << c.expression;
  }
}

TEST(DictionaryAccessExpressions, TextsOutsideTheGrammarStayBounded) {
  // Fits no form: read as a key name, which no lookup will find.
  AccessCondition parsed = ParseAccessCondition("PINX");
  EXPECT_EQ(parsed.kind, AccessKind::Key);
  EXPECT_STREQ(parsed.keyName, "PINX");

  parsed = ParseAccessCondition("PIN&");
  EXPECT_EQ(parsed.kind, AccessKind::PinAndKey);
  EXPECT_STREQ(parsed.keyName, "");

  parsed = ParseAccessCondition("");
  EXPECT_EQ(parsed.kind, AccessKind::Key);
  EXPECT_STREQ(parsed.keyName, "");
  parsed = ParseAccessCondition(nullptr);
  EXPECT_EQ(parsed.kind, AccessKind::Key);
  EXPECT_STREQ(parsed.keyName, "");

  const std::string longKey(40, 'K');
  parsed = ParseAccessCondition(("PIN&" + longKey).c_str());
  EXPECT_EQ(parsed.kind, AccessKind::PinAndKey);
  EXPECT_EQ(std::string(parsed.keyName), std::string(31, 'K'));
  parsed = ParseAccessCondition((longKey + "|PIN").c_str());
  EXPECT_EQ(std::string(parsed.keyName), std::string(31, 'K'));
}

}  // namespace
}  // namespace kx
