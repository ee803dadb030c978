#include "sim/profile.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "dictionary/dictionary.h"
#include "sim/keys.h"

namespace kx::sim {
namespace {

constexpr std::uint16_t kMasterFile = 0x3F00;

std::uint16_t ParseFileId(const char* text) {
  return static_cast<std::uint16_t>(std::strtoul(text, nullptr, 16));
}

std::string FileIdText(std::uint16_t id) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", id);
  return text;
}

std::string Hex(const std::uint8_t* bytes, std::size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(2 * n);
  for (std::size_t k = 0; k < n; ++k) {
    text += kDigits[bytes[k] >> 4];
    text += kDigits[bytes[k] & 0x0F];
  }
  return text;
}
std::string Hex(const Bytes& bytes) {
  return Hex(bytes.data(), bytes.size());
}

// Hex digits with any spaces or tabs between them.
bool ParseHex(const std::string& text, Bytes* out) {
  Bytes bytes;
  int high = -1;
  for (char ch : text) {
    if (ch == ' ' || ch == '\t') continue;
    if (!std::isxdigit(static_cast<unsigned char>(ch))) return false;
    const int digit = std::isdigit(static_cast<unsigned char>(ch))
                          ? ch - '0'
                          : std::toupper(static_cast<unsigned char>(ch)) - 'A' + 10;
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) return false;
  *out = std::move(bytes);
  return true;
}

bool Convert(const char* to, const char* from, const std::string& in, std::string* out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string result(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  std::size_t srcLeft = in.size();
  char* dst = result.data();
  std::size_t dstLeft = result.size();
  const std::size_t done = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  iconv_close(cd);
  if (done == static_cast<std::size_t>(-1) || srcLeft != 0) return false;
  result.resize(result.size() - dstLeft);
  *out = std::move(result);
  return true;
}

// --------------------------------------------------------------- layout

struct Layout {
  std::vector<FileLayout> files;
  std::vector<std::uint16_t> directories;
};

void AddDirectory(std::vector<std::uint16_t>* directories, const char* text) {
  const std::uint16_t id = ParseFileId(text);
  if (id == kMasterFile) return;
  if (std::find(directories->begin(), directories->end(), id) == directories->end()) {
    directories->push_back(id);
  }
}

Layout BuildLayout() {
  Layout layout;
  for (const CardKeyInfoRow* row = CardKeyInfo; row->directory[0] != '\0'; ++row) {
    AddDirectory(&layout.directories, row->directory);
  }
  for (const TagCardRecordInfoRow* row = TagCardRecordInfo; row->directory[0] != '\0'; ++row) {
    AddDirectory(&layout.directories, row->directory);
    const std::uint16_t directory = ParseFileId(row->directory);
    const std::uint16_t file = ParseFileId(row->file);
    auto it = std::find_if(layout.files.begin(), layout.files.end(), [&](const FileLayout& f) {
      return f.directory == directory && f.file == file;
    });
    if (it == layout.files.end()) {
      FileLayout added;
      added.directory = directory;
      added.file = file;
      FileKeyRelationRow access;
      if (FindFileKeyRelation(row->directory, row->file, &access) == 0) {
        added.readCondition = access.readCondition;
        added.writeCondition = access.writeCondition;
      }
      layout.files.push_back(added);
      it = layout.files.end() - 1;
    }
    const std::string name(row->itemName, strnlen(row->itemName, sizeof row->itemName));
    if (row->fileKind == kTransparentFile) {
      it->transparent = true;
      it->binarySize = row->length;
      it->name = name;
    } else {
      RecordLayout record;
      record.number = row->recordNumber;
      record.tag = row->tag;
      record.valueLength = row->length;
      record.dataType = row->dataType;
      record.name = name;
      it->records.push_back(record);
    }
  }
  return layout;
}

const Layout& TheLayout() {
  static const Layout layout = BuildLayout();
  return layout;
}

// --------------------------------------------------------------- default cardholder

enum class ValueKind { Hex, Text };
struct DefaultItem {
  const char* directory;
  const char* file;
  int record;
  ValueKind kind;
  const char* value;  // hex digits, or text (GBK in the binary)
};

constexpr ValueKind H = ValueKind::Hex;
constexpr ValueKind T = ValueKind::Text;

// A fictional cardholder. Texts are zero-padded to the item's length.
const DefaultItem kDefaultItems[] = {
    {"3F00", "EF05", 1, H, "330329D15600000500006074BD3D5A3F"},
    {"3F00", "EF05", 2, T, "1"},
    {"3F00", "EF05", 3, T, "2.00"},
    {"3F00", "EF05", 4, H, "330329100001000000000001"},
    {"3F00", "EF05", 5, H, "20120101"},
    {"3F00", "EF05", 6, H, "20220101"},
    {"3F00", "EF05", 7, T, "K12345678"},
    {"3F00", "EF06", 1, T, "330329198001010019"},
    {"3F00", "EF06", 2, T, "张三"},
    {"3F00", "EF06", 3, T, "1"},
    {"3F00", "EF06", 4, H, "01"},
    {"3F00", "EF06", 5, H, "330329"},
    {"3F00", "EF06", 6, H, "19800101"},
    {"3F00", "EF0C", 1, H, "3300D156000005000000000000000001"},
    {"3F00", "EF0C", 2, T, "1"},
    {"3F00", "EF0C", 3, T, "2.00"},
    {"3F00", "EF0C", 4, H, "20111201"},
    {"DF01", "EF05", 1, T, "1"},
    {"DF01", "EF05", 2, T, "浙江省温州市泰顺县示范镇幸福路1号"},
    {"DF01", "EF05", 3, T, "3幢201室"},
    {"DF01", "EF05", 4, H, "0156"},
    {"DF01", "EF06", 1, T, "浙江省温州市泰顺县和平街88号"},
    {"DF01", "EF06", 2, T, "5幢302室"},
    {"DF01", "EF06", 3, H, "325500"},
    {"DF01", "EF06", 4, T, "13800000000"},
    {"DF01", "EF07", 1, T, "1"},
    {"DF01", "EF07", 2, H, "21"},
    {"DF01", "EF08", 1, T, "2"},
    {"DF01", "EF09", 1, T, "示范科技有限公司"},
    {"DF01", "EF09", 2, T, "研发部"},
    {"DF01", "EF09", 3, T, "12345678X"},
    {"DF01", "EF09", 4, T, "1"},
    {"DF01", "EF09", 5, T, "110"},
    {"DF01", "EF0A", 1, H, "00500000"},
    {"DF01", "EF0A", 2, H, "06000000"},
    {"DF01", "EF0A", 3, H, "20120101"},
    {"DF02", "EF05", 1, T, "20000901示范大学计算机科学与技术本科"},
    {"DF02", "EF05", 2, T, "20040901示范大学软件工程硕士"},
    {"DF02", "EF05", 3, T, "062"},
    {"DF02", "EF05", 4, T, "20080601软件设计师"},
    {"DF02", "EF05", 5, T, "20100601网络工程师"},
    {"DF02", "EF06", 1, H, "20070801"},
    {"DF02", "EF06", 2, H, "20070801"},
    {"DF02", "EF06", 3, H, "20100301"},
    {"DF02", "EF06", 4, H, "20070801"},
    {"DF02", "EF06", 5, H, "20100228"},
    {"DF02", "EF06", 6, H, "20070801"},
    {"DF02", "EF06", 7, T, "2020100"},
    {"DF02", "EF07", 1, T, "2007080120100228示范科技有限公司软件工程师"},
    {"DF02", "EF07", 2, T, "2010050120111231温州示范网络有限公司系统分析师"},
    {"DF02", "EF07", 3, T, "20120101泰顺示范信息技术有限公司项目经理"},
    {"DF02", "EF07", 4, T, "20120601泰顺示范信息技术有限公司技术总监"},
    {"DF02", "EF08", 1, H, "33032900000000000001"},
    {"DF02", "EF08", 2, T, "泰顺县人力资源和社会保障局"},
    {"DF02", "EF08", 3, T, "就业科"},
    {"DF02", "EF08", 4, H, "20120101"},
    {"DF02", "EF09", 1, H, "33032900000000000002"},
    {"DF02", "EF09", 2, T, "泰顺县就业管理服务处"},
    {"DF02", "EF09", 3, T, "发证科"},
    {"DF02", "EF09", 4, H, "20120101"},
    {"DF02", "EF09", 5, H, "20220101"},
    {"DF03", "EF05", 1, H, "20100301"},
    {"DF03", "EF05", 2, H, "00120000"},
    {"DF03", "EF05", 3, H, "20120101"},
    {"DF03", "EF05", 4, T, "012"},
    {"DF03", "EF05", 5, T, "010"},
    {"DF03", "EF05", 6, T, "012"},
    {"DF03", "EF05", 7, T, "003"},
    {"DF03", "EF06", 1, H, "20110601"},
    {"DF03", "EF06", 2, T, "未丧失劳动能力"},
    {"DF03", "EF06", 3, T, "复查结论维持原鉴定"},
    {"DF03", "EF06", 4, T, "无"},
    {"DF03", "EF06", 5, T, "泰顺县劳动能力鉴定委员会"},
    {"DF03", "EF07", 1, H, "20400101"},
    {"DF03", "EF07", 2, H, "00300000"},
    {"DF03", "EF07", 3, H, "20070801"},
    {"DF03", "EF07", 4, H, "20120101"},
    {"DF03", "EF07", 5, T, "053"},
    {"DF03", "EF07", 6, H, "03500000"},
    {"DF03", "EF07", 7, H, "05200000"},
    {"DF03", "EF07", 8, H, "20120101"},
    {"DF04", "EF05", 1, H, "20070801"},
    {"DF04", "EF05", 2, T, "泰顺县人民医院"},
    {"DF04", "EF05", 3, T, "门诊部"},
    {"DF04", "EF05", 4, T, "H33032901"},
    {"DF04", "EF05", 5, T, "泰顺县中医院"},
    {"DF04", "EF05", 6, T, "门诊部"},
    {"DF04", "EF05", 7, T, "H33032902"},
    {"DF04", "EF05", 8, T, "温州示范医科大学附属第一医院"},
    {"DF04", "EF05", 9, T, "住院部"},
    {"DF04", "EF05", 10, T, "H33030001"},
    {"DF04", "EF05", 11, T, "330329000000001"},
    {"DF04", "EF05", 12, T, "3303290001"},
    {"DF04", "EF05", 13, H, "11"},
    {"DF04", "EF05", 14, T, "1"},
    {"DF04", "EF06", 1, H, "00123456"},
    {"DF04", "EF06", 2, H, "00020000"},
    {"DF04", "EF06", 3, H, "00050000"},
    {"DF04", "EF08", 1, H, "0001"},
    {"DF04", "EF08", 2, T, "1"},
    {"DF04", "EF08", 3, H, "330329000001"},
    {"DF04", "EF08", 5, H, "20120101103000"},
    {"DF04", "EF08", 6, H, "00002710"},
    {"DF04", "EF08", 7, H, "000003E8"},
    {"DF04", "EF08", 8, H, "00002328"},
    {"DF04", "EF0C", 1, T, "在职职工"},
    {"DF04", "EF0C", 2, T, "正常"},
    {"DF0A", "EF0C", 1, T, "示范银行泰顺支行"},
    {"DF0A", "EF0C", 2, T, "6222000000000000001"},
};

// The default cardholder's reset answer: TS, T0 (TB1, TC1 and 13 historical
// bytes), TB1, TC1, the historical bytes "KXSIM" and an 8-byte chip serial,
// and no check byte. The serial is the card factor.
const Bytes kDefaultAtr = {0x3B, 0x6D, 0x00, 0x00, 0x4B, 0x58, 0x53, 0x49, 0x4D,
                           0x86, 0x98, 0x20, 0x12, 0x01, 0x01, 0x00, 0x01};
const Bytes kDefaultPin = {0x12, 0x34, 0x56};
const Bytes kDefaultPsamAtr = {0x3B, 0x6A, 0x00, 0x00, 0x4B, 0x58, 0x50,
                               0x53, 0x41, 0x4D, 0x33, 0x03, 0x29, 0x01};
const Bytes kDefaultTerminalId = {0x33, 0x03, 0x29, 0x00, 0x00, 0x01};

Bytes RecordImage(const RecordLayout& layout, const Bytes& value) {
  Bytes image;
  if (layout.tag != 0) {
    image.push_back(layout.tag);
    image.push_back(static_cast<std::uint8_t>(layout.valueLength));
  }
  Bytes padded = value;
  padded.resize(layout.valueLength, 0x00);
  image.insert(image.end(), padded.begin(), padded.end());
  return image;
}

// Fingerprint and reserved areas: a recognisable header and a fixed pattern.
Bytes TransparentContent(const FileLayout& file) {
  Bytes content(file.binarySize);
  for (int k = 0; k < file.binarySize; ++k) {
    content[k] = static_cast<std::uint8_t>((k * 7 + file.directory) & 0xFF);
  }
  const Bytes header = file.directory == kMasterFile
                           ? Bytes{'F', 'M', 'R', 0x00, ' ', '2', '0', 0x00}
                           : Bytes{'K', 'X', 'R', 'S', 'V', 0x00};
  std::copy_n(header.begin(), std::min(header.size(), content.size()), content.begin());
  return content;
}

// --------------------------------------------------------------- parsing

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// The line without its comment ('#' or ';' outside double quotes).
std::string StripComment(const std::string& line) {
  bool quoted = false;
  for (std::size_t k = 0; k < line.size(); ++k) {
    if (line[k] == '"') quoted = !quoted;
    if (!quoted && (line[k] == '#' || line[k] == ';')) return line.substr(0, k);
  }
  return line;
}

bool ParseBool(const std::string& text, bool* value) {
  if (text == "yes" || text == "true" || text == "1" || text == "on") {
    *value = true;
    return true;
  }
  if (text == "no" || text == "false" || text == "0" || text == "off") {
    *value = false;
    return true;
  }
  return false;
}

bool ParseInt(const std::string& text, int low, int high, int* value) {
  if (text.empty() || text.size() > 6) return false;
  for (char ch : text) {
    if (!std::isdigit(static_cast<unsigned char>(ch))) return false;
  }
  const int v = std::atoi(text.c_str());
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

bool ParseFileIdText(const std::string& text, std::uint16_t* id) {
  if (text.size() != 4) return false;
  Bytes bytes;
  if (!ParseHex(text, &bytes) || bytes.size() != 2) return false;
  *id = static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
  return true;
}

bool IsCardDirectory(std::uint16_t id) {
  const auto& directories = CardDirectories();
  return id == kMasterFile ||
         std::find(directories.begin(), directories.end(), id) != directories.end();
}

bool IsDictionaryKey(std::uint16_t directory, std::uint8_t id) {
  for (const CardKeyInfoRow* row = CardKeyInfo; row->directory[0] != '\0'; ++row) {
    Bytes keyId;
    if (ParseFileId(row->directory) == directory && ParseHex(row->cardKeyId, &keyId) &&
        keyId.size() == 1 && keyId[0] == id) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

class ProfileParser {
 public:
  explicit ProfileParser(SimProfile* profile) : p_(profile) {}

  bool Line(const std::string& raw, std::string* error) {
    const std::string line = Trim(StripComment(raw));
    if (line.empty()) return true;
    if (line.front() == '[') return Section(line, error);
    const auto eq = line.find('=');
    if (eq == std::string::npos) return Fail(error, "expected name = value");
    const std::string name = Trim(line.substr(0, eq));
    const std::string value = Trim(line.substr(eq + 1));
    switch (section_) {
      case Sec::None:
        return Fail(error, "a value before the first [section]");
      case Sec::Card:
        return CardValue(name, value, error);
      case Sec::Psam:
        return PsamValue(name, value, error);
      case Sec::Keys:
        return KeyValue(name, value, error);
      case Sec::File:
        return FileValue(name, value, error);
    }
    return false;
  }

 private:
  enum class Sec { None, Card, Psam, Keys, File };

  static bool Fail(std::string* error, const std::string& text) {
    *error = text;
    return false;
  }

  bool Section(const std::string& line, std::string* error) {
    if (line.back() != ']') return Fail(error, "a section header ends with ']'");
    const std::vector<std::string> words = Words(line.substr(1, line.size() - 2));
    if (words.size() == 1 && words[0] == "card") {
      section_ = Sec::Card;
    } else if (words.size() == 1 && words[0] == "psam") {
      section_ = Sec::Psam;
    } else if (words.size() == 1 && words[0] == "keys") {
      section_ = Sec::Keys;
    } else if (words.size() == 3 && words[0] == "file") {
      std::uint16_t directory = 0, file = 0;
      if (!ParseFileIdText(words[1], &directory) || !ParseFileIdText(words[2], &file)) {
        return Fail(error, "a file section reads [file DDDD EEEE]");
      }
      file_ = FindFileLayout(directory, file);
      if (file_ == nullptr) {
        return Fail(error, "the card has no file " + words[1] + " " + words[2]);
      }
      section_ = Sec::File;
    } else {
      return Fail(error, "unknown section " + line);
    }
    return true;
  }

  bool CardValue(const std::string& name, const std::string& value, std::string* error) {
    CardProfile& card = p_->card;
    if (name == "atr") {
      Bytes atr;
      if (!ParseHex(value, &atr) || atr.size() < 2 || atr.size() > 33) {
        return Fail(error, "atr takes 2 to 33 hex bytes");
      }
      card.atr = atr;
    } else if (name == "pin") {
      Bytes pin;
      if (value.size() < 2 || value.size() > 12 || value.size() % 2 != 0 ||
          !std::all_of(value.begin(), value.end(),
                       [](char ch) { return std::isdigit(static_cast<unsigned char>(ch)); }) ||
          !ParseHex(value, &pin)) {
        return Fail(error, "pin takes an even number (2 to 12) of digits");
      }
      card.pin = pin;
    } else if (name == "pin-tries") {
      if (!ParseInt(value, 0, 15, &card.pinTriesLeft))
        return Fail(error, "pin-tries takes 0 to 15");
    } else if (name == "pin-max-tries") {
      if (!ParseInt(value, 1, 15, &card.pinMaxTries)) {
        return Fail(error, "pin-max-tries takes 1 to 15");
      }
    } else if (name == "t0") {
      if (!ParseBool(value, &card.t0)) return Fail(error, "t0 takes yes or no");
    } else if (name == "mf-name") {
      if (!ParseBool(value, &card.mfNameInSelectReply))
        return Fail(error, "mf-name takes yes or no");
    } else if (name == "locked") {
      card.lockedDirectories.clear();
      for (const std::string& word : Words(value)) {
        std::uint16_t id = 0;
        if (!ParseFileIdText(word, &id) || id == kMasterFile || !IsCardDirectory(id)) {
          return Fail(error, "locked lists application directories such as DF01");
        }
        card.lockedDirectories.insert(id);
      }
    } else {
      return Fail(error, "unknown card setting " + name);
    }
    return true;
  }

  bool PsamValue(const std::string& name, const std::string& value, std::string* error) {
    PsamProfile& psam = p_->psam;
    if (name == "atr") {
      Bytes atr;
      if (!ParseHex(value, &atr) || atr.size() < 2 || atr.size() > 33) {
        return Fail(error, "atr takes 2 to 33 hex bytes");
      }
      psam.atr = atr;
    } else if (name == "terminal-id") {
      Bytes id;
      if (!ParseHex(value, &id) || id.size() != 6)
        return Fail(error, "terminal-id takes 6 hex bytes");
      psam.terminalId = id;
    } else if (name == "t0") {
      if (!ParseBool(value, &psam.t0)) return Fail(error, "t0 takes yes or no");
    } else {
      return Fail(error, "unknown psam setting " + name);
    }
    return true;
  }

  bool KeyValue(const std::string& name, const std::string& value, std::string* error) {
    const std::vector<std::string> where = Words(name);
    std::uint16_t directory = 0;
    Bytes id;
    if (where.size() != 2 || !ParseFileIdText(where[0], &directory) || !ParseHex(where[1], &id) ||
        id.size() != 1) {
      return Fail(error, "a key reads DDDD KK = key [tries-left max-tries]");
    }
    if (!IsDictionaryKey(directory, id[0])) {
      return Fail(error, "the card has no key " + where[1] + " in " + where[0]);
    }
    const std::vector<std::string> fields = Words(value);
    Bytes key;
    if (fields.empty() || !ParseHex(fields[0], &key) || key.size() != 16) {
      return Fail(error, "a key takes 16 hex bytes");
    }
    KeyEntry entry;
    std::copy(key.begin(), key.end(), entry.value.begin());
    if (fields.size() == 3) {
      if (!ParseInt(fields[1], 0, 15, &entry.triesLeft) ||
          !ParseInt(fields[2], 1, 15, &entry.maxTries) || entry.triesLeft > entry.maxTries) {
        return Fail(error, "key tries: tries left (0 to 15), most tries (1 to 15)");
      }
    } else if (fields.size() != 1) {
      return Fail(error, "a key reads DDDD KK = key [tries-left max-tries]");
    }
    p_->card.keys[{directory, id[0]}] = entry;
    return true;
  }

  bool FileValue(const std::string& name, const std::string& value, std::string* error) {
    FileContent& content = p_->card.files[{file_->directory, file_->file}];
    if (file_->transparent) {
      Bytes offsetBytes, data;
      if (name.size() < 2 || name[0] != '@' || !ParseHex(name.substr(1), &offsetBytes) ||
          offsetBytes.empty() || offsetBytes.size() > 2) {
        return Fail(error, "a transparent file takes @offset = bytes (offset in hex)");
      }
      const std::size_t offset =
          offsetBytes.size() == 2 ? (offsetBytes[0] << 8 | offsetBytes[1]) : offsetBytes[0];
      if (!ParseHex(value, &data)) return Fail(error, "bytes must be hex");
      if (offset + data.size() > static_cast<std::size_t>(file_->binarySize)) {
        return Fail(error, "the bytes run past the end of the file (" +
                               std::to_string(file_->binarySize) + " bytes)");
      }
      content.binary.resize(file_->binarySize, 0x00);
      std::copy(data.begin(), data.end(), content.binary.begin() + offset);
      return true;
    }
    int number = 0;
    if (!ParseInt(name, 1, 255, &number)) return Fail(error, "a record file takes number = record");
    const RecordLayout* record = file_->FindRecord(number);
    if (record == nullptr) return Fail(error, "the file has no record " + name);
    Bytes image;
    if (!value.empty() && value.front() == '"') {
      if (value.size() < 2 || value.back() != '"') return Fail(error, "text ends with '\"'");
      std::string gbk;
      if (!Convert("GBK", "UTF-8", value.substr(1, value.size() - 2), &gbk)) {
        return Fail(error, "the text has characters GBK cannot hold");
      }
      if (static_cast<int>(gbk.size()) > record->valueLength) {
        return Fail(error, "the text takes " + std::to_string(gbk.size()) +
                               " bytes; the item holds " + std::to_string(record->valueLength));
      }
      image = RecordImage(*record, Bytes(gbk.begin(), gbk.end()));
    } else {
      if (!ParseHex(value, &image)) return Fail(error, "a record is hex bytes or \"text\"");
      if (static_cast<int>(image.size()) != record->Size()) {
        return Fail(error, "record " + name + " holds " + std::to_string(record->Size()) +
                               " bytes, not " + std::to_string(image.size()));
      }
    }
    content.records[number] = image;
    return true;
  }

  SimProfile* p_;
  Sec section_ = Sec::None;
  const FileLayout* file_ = nullptr;
};

// --------------------------------------------------------------- writing

std::string SpacedRecord(const RecordLayout& layout, const Bytes& record) {
  if (layout.tag == 0 || record.size() < 2) return Hex(record);
  return Hex(record.data(), 1) + " " + Hex(record.data() + 1, 1) + " " +
         Hex(record.data() + 2, record.size() - 2);
}

// A readable note for a record: the item's name, and its text for text items.
std::string RecordNote(const RecordLayout& layout, const Bytes& record) {
  std::string name;
  if (!Convert("UTF-8", "GBK", layout.name, &name)) name.clear();
  std::string note = "# " + std::to_string(layout.number) + " " + name;
  if (layout.dataType == 1 || layout.dataType == 3) {
    const std::size_t start = layout.tag != 0 ? 2 : 0;
    if (record.size() > start) {
      std::string value(record.begin() + start, record.end());
      value = value.substr(0, value.find('\0'));
      std::string text;
      if (!value.empty() && Convert("UTF-8", "GBK", value, &text) &&
          text.find_first_of("\r\n\"") == std::string::npos) {
        note += ": \"" + text + "\"";
      }
    }
  }
  return note;
}

std::string KeyNames(std::uint16_t directory, std::uint8_t id) {
  std::string names;
  for (const CardKeyInfoRow* row = CardKeyInfo; row->directory[0] != '\0'; ++row) {
    Bytes keyId;
    if (ParseFileId(row->directory) == directory && ParseHex(row->cardKeyId, &keyId) &&
        keyId.size() == 1 && keyId[0] == id) {
      names += names.empty() ? "" : " ";
      names += row->keyName;
    }
  }
  return names;
}

}  // namespace

// --------------------------------------------------------------- public

const RecordLayout* FileLayout::FindRecord(int number) const {
  for (const RecordLayout& record : records) {
    if (record.number == number) return &record;
  }
  return nullptr;
}

const std::vector<FileLayout>& CardFileLayout() {
  return TheLayout().files;
}

const FileLayout* FindFileLayout(std::uint16_t directory, std::uint16_t file) {
  for (const FileLayout& layout : TheLayout().files) {
    if (layout.directory == directory && layout.file == file) return &layout;
  }
  return nullptr;
}

const std::vector<std::uint16_t>& CardDirectories() {
  return TheLayout().directories;
}

const Bytes& MasterFileName() {
  static const Bytes name = [] {
    const char* text = "sx1.sh.社会保障";
    return Bytes(text, text + std::strlen(text));
  }();
  return name;
}

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
  for (const CardKeyInfoRow* row = CardKeyInfo; row->directory[0] != '\0'; ++row) {
    Bytes id, usage, index;
    if (!ParseHex(row->cardKeyId, &id) || id.size() != 1 || !ParseHex(row->psamKeyUsage, &usage) ||
        usage.size() != 1 || !ParseHex(row->psamKeyIndex, &index) || index.size() != 1) {
      continue;  // no card key id: the card cannot hold it
    }
    const KeyRef ref{ParseFileId(row->directory), id[0]};
    // Rows sharing one card key id: the card holds the first one's key.
    if (!done.insert(ref).second) continue;
    if (onlyMissing && keys.count(ref) != 0) continue;
    KeyEntry entry;
    entry.value = DiversifyCardKey(IssuerMasterKey(usage[0], index[0]), row->levels, factors);
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
    if (layout.transparent) {
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

CardProfile DefaultCardProfile() {
  CardProfile card;
  card.atr = kDefaultAtr;
  card.pin = kDefaultPin;
  for (const DefaultItem& item : kDefaultItems) {
    const FileLayout* file = FindFileLayout(ParseFileId(item.directory), ParseFileId(item.file));
    if (file == nullptr) continue;
    const RecordLayout* record = file->FindRecord(item.record);
    if (record == nullptr) continue;
    Bytes value;
    if (item.kind == ValueKind::Hex) {
      ParseHex(item.value, &value);
    } else {
      value.assign(item.value, item.value + std::strlen(item.value));
    }
    if (static_cast<int>(value.size()) > record->valueLength) value.resize(record->valueLength);
    card.files[{file->directory, file->file}].records[item.record] = RecordImage(*record, value);
  }
  for (const FileLayout& file : CardFileLayout()) {
    if (file.transparent) card.files[{file.directory, file.file}].binary = TransparentContent(file);
  }
  NormaliseContent(&card);
  PersonaliseKeys(&card);
  return card;
}

PsamProfile DefaultPsamProfile() {
  PsamProfile psam;
  psam.atr = kDefaultPsamAtr;
  psam.terminalId = kDefaultTerminalId;
  return psam;
}

SimProfile DefaultProfile() {
  return SimProfile{DefaultCardProfile(), DefaultPsamProfile()};
}

std::string FormatProfile(const SimProfile& profile) {
  const CardProfile& card = profile.card;
  std::ostringstream out;
  out << "# kx-sim card profile: the user card and the PSAM.\n"
         "# Hex values may hold spaces; '#' or ';' starts a comment.\n"
         "# Records: tag, length and value as the card holds them, or \"text\".\n\n";
  out << "[card]\n";
  out << "atr = " << Hex(card.atr) << "\n";
  out << "pin = " << Hex(card.pin) << "\n";
  out << "pin-tries = " << card.pinTriesLeft << "\n";
  out << "pin-max-tries = " << card.pinMaxTries << "\n";
  out << "t0 = " << (card.t0 ? "yes" : "no") << "\n";
  out << "mf-name = " << (card.mfNameInSelectReply ? "yes" : "no") << "\n";
  out << "locked =";
  for (std::uint16_t id : card.lockedDirectories) out << " " << FileIdText(id);
  out << "\n\n";

  out << "[psam]\n";
  out << "atr = " << Hex(profile.psam.atr) << "\n";
  out << "terminal-id = " << Hex(profile.psam.terminalId) << "\n";
  out << "t0 = " << (profile.psam.t0 ? "yes" : "no") << "\n\n";

  out << "[keys]\n# directory key-id = key  tries-left most-tries\n";
  for (const auto& [ref, entry] : card.keys) {
    out << FileIdText(ref.first) << " " << Hex(&ref.second, 1) << " = "
        << Hex(entry.value.data(), entry.value.size()) << "  " << entry.triesLeft << " "
        << entry.maxTries;
    const std::string names = KeyNames(ref.first, ref.second);
    if (!names.empty()) out << "  # " << names;
    out << "\n";
  }

  for (const FileLayout& layout : CardFileLayout()) {
    const auto file = card.files.find({layout.directory, layout.file});
    if (file == card.files.end()) continue;
    out << "\n[file " << FileIdText(layout.directory) << " " << FileIdText(layout.file) << "]\n";
    if (layout.transparent) {
      std::string name;
      if (Convert("UTF-8", "GBK", layout.name, &name)) out << "# " << name << "\n";
      const Bytes& binary = file->second.binary;
      for (std::size_t at = 0; at < binary.size(); at += 32) {
        char offset[24];
        std::snprintf(offset, sizeof offset, "@%04zX", at);
        out << offset << " = "
            << Hex(binary.data() + at, std::min<std::size_t>(32, binary.size() - at)) << "\n";
      }
      continue;
    }
    for (const RecordLayout& record : layout.records) {
      const auto r = file->second.records.find(record.number);
      if (r == file->second.records.end()) continue;
      out << RecordNote(record, r->second) << "\n";
      out << record.number << " = " << SpacedRecord(record, r->second) << "\n";
    }
  }
  return out.str();
}

bool ParseProfile(const std::string& text, SimProfile* profile, std::string* error) {
  SimProfile parsed = DefaultProfile();
  parsed.card.keys.clear();
  ProfileParser parser(&parsed);
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    std::string fault;
    if (!parser.Line(line, &fault)) {
      if (error != nullptr) *error = "line " + std::to_string(number) + ": " + fault;
      return false;
    }
  }
  if (parsed.card.pinTriesLeft > parsed.card.pinMaxTries) {
    if (error != nullptr) *error = "pin-tries is above pin-max-tries";
    return false;
  }
  NormaliseContent(&parsed.card);
  PersonaliseKeys(&parsed.card, true);
  *profile = std::move(parsed);
  return true;
}

bool LoadProfile(const std::string& path, SimProfile* profile, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error != nullptr) *error = path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::string fault;
  if (!ParseProfile(text.str(), profile, &fault)) {
    if (error != nullptr) *error = path + ": " + fault;
    return false;
  }
  return true;
}

bool SaveProfile(const std::string& path, const SimProfile& profile, std::string* error) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << FormatProfile(profile);
    out.flush();
    if (!out) {
      if (error != nullptr) *error = temporary + ": " + std::strerror(errno);
      std::remove(temporary.c_str());
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    if (error != nullptr) *error = path + ": " + std::strerror(errno);
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace kx::sim
