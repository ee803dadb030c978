// The integrator's guide against the library: every row of its table "What
// each failure says" is called through the C ABI against the simulated
// reader, and the result and the message a host then gets must be the
// guide's. The rows are read from docs/integration.md, so the guide is the
// only place they are written; a row without a way to call it here, or a
// way to call one without its row, fails too.
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/integration/services_fixture.h"

namespace kx::test {
namespace {

struct GuideRow {
  int line = 0;
  std::string exportName;
  int result = 0;
  std::string message;  // the code span, "\r\n" as the guide writes it
  bool earlierWords = false;
  std::string when;
};

std::vector<std::string> Cells(const std::string& line) {
  std::vector<std::string> cells;
  std::string cell;
  bool code = false;
  for (std::size_t i = 1; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '`') code = !code;
    if (c == '|' && !code) {
      const std::size_t first = cell.find_first_not_of(' ');
      const std::size_t last = cell.find_last_not_of(' ');
      cells.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
      cell.clear();
    } else {
      cell += c;
    }
  }
  return cells;
}

std::string CodeSpan(const std::string& cell) {
  const std::size_t open = cell.find('`');
  const std::size_t close = cell.find('`', open + 1);
  if (open == std::string::npos || close == std::string::npos) return {};
  return cell.substr(open + 1, close - open - 1);
}

// The exports the section says never fail, from its "These never fail:"
// paragraph, into *neverFail.
std::vector<GuideRow> ReadGuideRows(std::set<std::string>* neverFail) {
  std::ifstream guide(KX_SOURCE_DIR "/docs/integration.md");
  std::vector<GuideRow> rows;
  bool inSection = false;
  bool inNeverFail = false;
  std::string line;
  for (int n = 1; std::getline(guide, line); ++n) {
    if (line.rfind("## ", 0) == 0) inSection = line == "## What each failure says";
    if (!inSection) continue;
    if (line.rfind("These never fail:", 0) == 0) inNeverFail = true;
    if (line.empty()) inNeverFail = false;
    for (std::size_t at = line.find('`'); inNeverFail && at != std::string::npos;
         at = line.find('`', line.find('`', at + 1) + 1)) {
      neverFail->insert(CodeSpan(line.substr(at)));
    }
    if (line.rfind("| `", 0) != 0) continue;
    const std::vector<std::string> cells = Cells(line);
    if (cells.size() != 4) {
      ADD_FAILURE() << "docs/integration.md:" << n << ": not 4 cells";
      continue;
    }
    GuideRow row;
    row.line = n;
    row.exportName = CodeSpan(cells[0]);
    row.result = std::stoi(cells[1]);
    row.message = CodeSpan(cells[2]);
    row.earlierWords = cells[2].find("*earlier words*") != std::string::npos;
    row.when = cells[3];
    rows.push_back(row);
  }
  return rows;
}

// The library's message with its line breaks written as the guide does.
std::string AsGuideWrites(const std::string& message) {
  std::string out;
  for (std::size_t i = 0; i < message.size(); ++i) {
    if (message.compare(i, 2, "\r\n") == 0) {
      out += "\\r\\n";
      ++i;
    } else {
      out += message[i];
    }
  }
  return out;
}

class GuideFailures : public ServicesFixture {
 protected:
  using Call = std::function<int()>;

  // Each documented failure, called; keyed by the guide's export and "when".
  std::map<std::pair<std::string, std::string>, Call> Calls() {
    auto noReader = [this] { backend.Detach(1); };
    // The setup talks to the reader, which clears ErrorText: the earlier
    // failure's words are planted after it.
    auto open = [this] {
      OpenReader();
      Plant();
    };
    auto openFile = [this](const char* apdus) {
      OpenReader();
      std::vector<unsigned char> apdu;
      for (const char* a = apdus; *a != '\0'; a += 2) {
        if (*a == ' ') {
          KXRunApdu(0, static_cast<int>(apdu.size()), apdu.data(), &replyLength, reply);
          apdu.clear();
          --a;
          continue;
        }
        apdu.push_back(static_cast<unsigned char>(std::stoi(std::string(a, 2), nullptr, 16)));
      }
      KXRunApdu(0, static_cast<int>(apdu.size()), apdu.data(), &replyLength, reply);
      Plant();
    };
    return {
        {{"GetASC", "a space splits a pair of digits"}, [this] { return GetASC("1 2", bytes, 3); }},
        {{"KXReaderInit", "the port does not open (the message does not name it)"},
         [=, this] {
           noReader();
           int params[2] = {1, 9600};
           return KXReaderInit(params, &handle);
         }},
        {{"KXReaderInit", "`params` is NULL"}, [this] { return KXReaderInit(nullptr, &handle); }},
        {{"KXReaderInitTest", "the port does not open"},
         [=] {
           noReader();
           return KXReaderInitTest(1, 9600);
         }},
        {{"GetReaderStatus", "no reader answers"},
         [this] {
           KXReaderInitTest(1, 9600);
           reader.faults().silent = true;
           KXSelectIFD(0, 12);
           Plant();
           return GetReaderStatus(0, &status);
         }},
        {{"KXCpuReset", "the PSAM is selected and there is none"},
         [this] {
           reader.Remove(16);
           KXReaderInitTest(1, 9600);
           KXSelectIFD(0, 14);
           Plant();
           return KXCpuReset(0, text);
         }},
        {{"KXRunApdu", "the card answers 6A82"},
         [=, this] {
           open();
           const unsigned char select[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0xEF, 0x99};
           return KXRunApdu(0, sizeof select, select, &replyLength, reply);
         }},
        {{"KXRunApdu", "`length` is 0 or above 505"},
         [=, this] {
           open();
           return KXRunApdu(0, 506, bytes, &replyLength, reply);
         }},
        {{"KXRunApduTest", "the text is not pairs of hex digits"},
         [=, this] {
           open();
           return KXRunApduTest(0, 9, "0084000G8", text);
         }},
        {{"KXReadRecord", "the record is longer than `le`"},
         [=, this] {
           openFile("00A40000023F00 00A4020002EF05");
           return KXReadRecord(0, 1, 4, 4, bytes);
         }},
        {{"KXReadRecord", "the file has no such record"},
         [=, this] {
           openFile("00A40000023F00 00A4020002EF05");
           return KXReadRecord(0, 9, 4, 0, bytes);
         }},
        {{"KXUpdateRecord", "`length` above 255"},
         [=, this] {
           open();
           return KXUpdateRecord(0, 1, 4, 256, bytes);
         }},
        {{"KXGetPsamID", "no PSAM"},
         [=, this] {
           reader.Remove(16);
           open();
           return KXGetPsamID(0, text);
         }},
        {{"KXGetPsamIDATR", "no PSAM"},
         [=, this] {
           reader.Remove(16);
           open();
           return KXGetPsamIDATR(0, text, text + 100);
         }},
        {{"KXReadPassword", "no PIN pad is attached"}, [this] { return KXReadPassword(1, text); }},
        {{"SetPin", "more than 38 characters"},
         [] { return SetPin("123456789012345678901234567890123456789"); }},
        {{"KXCardVerifyPIN", "a wrong PIN (`*retries`: the tries left)"},
         [=, this] {
           open();
           return KXCardVerifyPIN(0, "111111", &tries);
         }},
        {{"KXCardVerifyPIN", "a PIN of five digits"},
         [=, this] {
           open();
           return KXCardVerifyPIN(0, "12345", &tries);
         }},
        {{"KXCardChangePIN", "a wrong old PIN"},
         [=, this] {
           open();
           return KXCardChangePIN(0, "111111", "654321", &tries);
         }},
        {{"testKXCardVerifyPIN", "a wrong PIN: the tries left"},
         [=] {
           open();
           return testKXCardVerifyPIN("111111");
         }},
        {{"testKXCardChangePIN", "a wrong old PIN: the tries left"},
         [=] {
           open();
           return testKXCardChangePIN("111111", "654321");
         }},
        {{"testKXReadInfoAIO", "no reader found"},
         [=, this] {
           noReader();
           return testKXReadInfoAIO("3F00", "EF05", 1, bytes);
         }},
        {{"KXCardChangePIN", "a new PIN of five digits"},
         [=, this] {
           open();
           return KXCardChangePIN(0, "123456", "65432", &tries);
         }},
        {{"KXCardUnlockPIN", "a new PIN of five digits"},
         [=] {
           open();
           return KXCardUnlockPIN(0, "12345");
         }},
        {{"KXCardUnlockPIN", "a new PIN with a letter"},
         [=] {
           open();
           return KXCardUnlockPIN(0, "12345A");
         }},
        {{"KXCheckKey", "a key the library's tables lack"},
         [=] {
           open();
           return KXCheckKey(0, "UK9DF01");
         }},
        {{"KXReadInfo", "DF01 EF0F, a file the library does not know"},
         [=, this] {
           open();
           return KXReadInfo(0, "DF01", "EF0F", 1, bytes);
         }},
        {{"KXReadInfoAIO", "no reader found"},
         [=, this] {
           noReader();
           return KXReadInfoAIO("3F00", "EF05", 1, bytes);
         }},
        {{"KXReadInfoAIO", "the reader holds no user card"},
         [this] {
           reader.Remove(0);
           return KXReadInfoAIO("3F00", "EF05", 1, bytes);
         }},
        {{"KXReadBinary", "DF0B EF0C selected without `KXCheckKey` RK1DF0B"},
         [=, this] {
           openFile("00A40000023F00 00A4000002DF0B 00A4020002EF0C");
           return KXReadBinary(0, 0, 16, bytes);
         }},
        {{"KXReadBinaryAIO", "DF0B EF0D, a file the library does not know"},
         [this] { return KXReadBinaryAIO("DF0B", "EF0D", 0, 16, text); }},
        {{"KXUpdateInfo", "DF04 EF08, which no key of the library opens"},
         [=, this] {
           open();
           return KXUpdateInfo(0, "DF04", "EF08", 1, bytes);
         }},
        {{"KXUpdateInfoAIO", "no reader found"},
         [=, this] {
           noReader();
           return KXUpdateInfoAIO("3F00", "EF06", 2, bytes);
         }},
        {{"KXUpdateBinary", "`offset` above 32767"},
         [=, this] {
           openFile("00A40000023F00 00A4000002DF0B 00A4020002EF0C");
           return KXUpdateBinary(0, 32768, 4, bytes);
         }},
        {{"KXUpdateBinaryAIO", "DF0B EF0D, a file the library does not know"},
         [this] { return KXUpdateBinaryAIO("DF0B", "EF0D", 0, 4, bytes); }},
        {{"CombinedData", "a file the library does not know"},
         [this] { return CombinedData(1, "DF01", "EF0F", "", text); }},
        {{"KXReadCardID", "no PSAM"},
         [this] {
           reader.Remove(16);
           KXReaderInitTest(1, 9600);
           KXSelectIFD(0, 12);
           Plant();
           return KXReadCardID(0, text, text + 16, text + 64);
         }},
        {{"KXReadCardIDAIO",
          "no reader found (after about 8 s on Windows and Linux alike: the search tries every "
          "port)"},
         [=, this] {
           noReader();
           return KXReadCardIDAIO(text, text + 16, text + 64);
         }},
        {{"KXReadCardIDAIO", "the reader holds no user card"},
         [this] {
           reader.Remove(0);
           return KXReadCardIDAIO(text, text + 16, text + 64);
         }},
        {{"KXUpdateCardIDAIO", "a region code of five digits"},
         [this] { return KXUpdateCardIDAIO("33032", "00006074", text); }},
        {{"KXUpdateCardIDAIO", "no reader found"},
         [=, this] {
           noReader();
           return KXUpdateCardIDAIO("330329", "00006074", text);
         }},
        {{"KXAppLock", "not four hex digits"},
         [=] {
           open();
           return KXAppLock(0, "DFX3");
         }},
        {{"KXAppLock", "no PSAM"},
         [=, this] {
           reader.Remove(16);
           open();
           return KXAppLock(0, "DF03");
         }},
        {{"KXSetComDevice", "port 256"}, [] { return KXSetComDevice(256, "/dev/null"); }},
    };
  }

  static constexpr const char* kEarlier = "words of an earlier failure";
  static void Plant() { ErrorTextReplace(kEarlier); }

  unsigned char bytes[4096] = {};
  char text[4096] = {};
  unsigned char reply[KX_APDU_REPLY_SIZE] = {};
  int replyLength = 0;
  unsigned int handle = 0;
  char status = 0;
  int tries = 0;
};

TEST_F(GuideFailures, EveryRowIsWhatTheLibraryGives) {
  std::set<std::string> neverFail;
  const std::vector<GuideRow> rows = ReadGuideRows(&neverFail);
  ASSERT_GT(rows.size(), 30u) << "the guide's table of failures was not found";

  // Every export is in the table or among those that never fail.
  std::ifstream exports(KX_SOURCE_DIR "/interface/exports.tsv");
  std::set<std::string> inTable;
  for (const GuideRow& row : rows) inTable.insert(row.exportName);
  for (std::string line; std::getline(exports, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string ordinal, name;
    fields >> ordinal >> name;
    EXPECT_TRUE(inTable.count(name) + neverFail.count(name) == 1)
        << name << ": in the table of failures or among those that never fail, once";
  }
  std::map<std::pair<std::string, std::string>, Call> calls = Calls();
  for (const GuideRow& row : rows) {
    const auto key = std::make_pair(row.exportName, row.when);
    const auto call = calls.find(key);
    if (call == calls.end()) {
      ADD_FAILURE() << "docs/integration.md:" << row.line << ": no test calls " << row.exportName
                    << " \"" << row.when << "\"";
      continue;
    }
    Restart();
    Plant();
    const int result = call->second();
    EXPECT_EQ(result, row.result) << "docs/integration.md:" << row.line << " " << row.exportName
                                  << ", " << row.when;
    const std::string expected = row.message + (row.earlierWords ? kEarlier : "");
    EXPECT_EQ(AsGuideWrites(Message(result)), expected)
        << "docs/integration.md:" << row.line << " " << row.exportName << ", " << row.when;
    calls.erase(call);
  }
  for (const auto& [key, call] : calls) {
    ADD_FAILURE() << "the guide has no row for " << key.first << " \"" << key.second << "\"";
  }
}

}  // namespace
}  // namespace kx::test
