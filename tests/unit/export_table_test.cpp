// The public header is written by hand; the export table generates the rest.
// They must agree: every export the table says is built (or POSIX-only) is
// declared with the argument bytes of its row, and nothing else is declared.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// name -> argument bytes of every KX_API declaration (4 bytes a parameter).
std::map<std::string, int> DeclaredExports() {
  std::string header = ReadFile(KX_SOURCE_DIR "/include/KX_ICCReader.h");
  header = std::regex_replace(header, std::regex(R"(/\*[\s\S]*?\*/)"), " ");
  std::map<std::string, int> declared;
  const std::regex declaration(R"(KX_API\s+int\s+KX_CALL\s+(\w+)\s*\(([^)]*)\)\s*;)");
  for (std::sregex_iterator it(header.begin(), header.end(), declaration), end; it != end; ++it) {
    const std::string parameters = std::regex_replace((*it)[2].str(), std::regex(R"(\s+)"), " ");
    int count = 0;
    if (parameters != "void" && parameters != " void " && !parameters.empty()) {
      count = 1 + static_cast<int>(std::count(parameters.begin(), parameters.end(), ','));
    }
    declared[(*it)[1]] = 4 * count;
  }
  return declared;
}

// name -> argument bytes of every row that is built or POSIX-only.
std::map<std::string, int> TableExports() {
  std::istringstream lines(ReadFile(KX_EXPORT_LIST));
  std::map<std::string, int> table;
  std::string name, routine, state;
  int bytes = 0, ordinal = 0;
  while (lines >> name >> bytes >> routine >> state >> ordinal) {
    if (state != "pending") table[name] = bytes;
  }
  return table;
}

TEST(ExportTable, TheHeaderDeclaresExactlyTheBuiltExportsWithTheirArgumentBytes) {
  const auto declared = DeclaredExports();
  const auto table = TableExports();
  ASSERT_FALSE(table.empty());
  EXPECT_EQ(declared, table);
}

}  // namespace
