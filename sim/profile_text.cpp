#include "sim/profile_text.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "sim/card_layout.h"
#include "sim/default_profile.h"
#include "sim/hex.h"
#include "sim/personalise.h"

namespace kx::sim {
namespace {

std::string FileIdText(std::uint16_t id) {
  const std::uint8_t bytes[] = {static_cast<std::uint8_t>(id >> 8),
                                static_cast<std::uint8_t>(id & 0xFF)};
  return HexText(bytes, 2, '\0');
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
  const std::optional<Bytes> bytes = ParseHex(text);
  if (!bytes || bytes->size() != 2) return false;
  *id = static_cast<std::uint16_t>((*bytes)[0] << 8 | (*bytes)[1]);
  return true;
}

// A reset answer: 2 to 33 bytes.
std::optional<Bytes> ParseAtr(const std::string& text) {
  std::optional<Bytes> atr = ParseHex(text);
  if (atr && (atr->size() < 2 || atr->size() > 33)) return std::nullopt;
  return atr;
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
      const std::optional<Bytes> atr = ParseAtr(value);
      if (!atr) return Fail(error, "atr takes 2 to 33 hex bytes");
      card.atr = *atr;
    } else if (name == "pin") {
      if (value.size() < 2 || value.size() > 12 || value.size() % 2 != 0 ||
          !std::all_of(value.begin(), value.end(),
                       [](char ch) { return std::isdigit(static_cast<unsigned char>(ch)); })) {
        return Fail(error, "pin takes an even number (2 to 12) of digits");
      }
      card.pin = ParseHex(value).value_or(Bytes{});
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
      const std::optional<Bytes> atr = ParseAtr(value);
      if (!atr) return Fail(error, "atr takes 2 to 33 hex bytes");
      psam.atr = *atr;
    } else if (name == "terminal-id") {
      const std::optional<Bytes> id = ParseHex(value);
      if (!id || id->size() != 6) return Fail(error, "terminal-id takes 6 hex bytes");
      psam.terminalId = *id;
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
    const std::optional<Bytes> id = where.size() == 2 ? ParseHex(where[1]) : std::nullopt;
    if (!id || id->size() != 1 || !ParseFileIdText(where[0], &directory)) {
      return Fail(error, "a key reads DDDD KK = key [tries-left max-tries]");
    }
    const std::uint8_t keyId = (*id)[0];
    if (CardKeyNames(directory, keyId).empty()) {
      return Fail(error, "the card has no key " + where[1] + " in " + where[0]);
    }
    const std::vector<std::string> fields = Words(value);
    const std::optional<Bytes> key = fields.empty() ? std::nullopt : ParseHex(fields[0]);
    if (!key || key->size() != 16) return Fail(error, "a key takes 16 hex bytes");
    KeyEntry entry;
    std::copy(key->begin(), key->end(), entry.value.begin());
    if (fields.size() == 3) {
      if (!ParseInt(fields[1], 0, 15, &entry.triesLeft) ||
          !ParseInt(fields[2], 1, 15, &entry.maxTries) || entry.triesLeft > entry.maxTries) {
        return Fail(error, "key tries: tries left (0 to 15), most tries (1 to 15)");
      }
    } else if (fields.size() != 1) {
      return Fail(error, "a key reads DDDD KK = key [tries-left max-tries]");
    }
    p_->card.keys[{directory, keyId}] = entry;
    return true;
  }

  bool FileValue(const std::string& name, const std::string& value, std::string* error) {
    FileContent& content = p_->card.files[{file_->directory, file_->file}];
    if (file_->IsTransparent()) {
      const std::optional<Bytes> at =
          name.size() >= 2 && name[0] == '@' ? ParseHex(name.substr(1)) : std::nullopt;
      if (!at || at->empty() || at->size() > 2) {
        return Fail(error, "a transparent file takes @offset = bytes (offset in hex)");
      }
      const std::size_t offset = at->size() == 2 ? ((*at)[0] << 8 | (*at)[1]) : (*at)[0];
      const std::optional<Bytes> data = ParseHex(value);
      if (!data) return Fail(error, "bytes must be hex");
      if (offset + data->size() > static_cast<std::size_t>(file_->binarySize)) {
        return Fail(error, "the bytes run past the end of the file (" +
                               std::to_string(file_->binarySize) + " bytes)");
      }
      content.binary.resize(file_->binarySize, 0x00);
      std::copy(data->begin(), data->end(), content.binary.begin() + offset);
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
      const std::optional<Bytes> hex = ParseHex(value);
      if (!hex) return Fail(error, "a record is hex bytes or \"text\"");
      image = *hex;
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
  if (layout.tag == 0 || record.size() < 2) return HexText(record, '\0');
  return HexText(record.data(), 2) + " " + HexText(record.data() + 2, record.size() - 2, '\0');
}

// A readable note for a record: the item's name, and its text for text items.
std::string RecordNote(const RecordLayout& layout, const Bytes& record) {
  std::string name;
  if (!Convert("UTF-8", "GBK", std::string(layout.name), &name)) name.clear();
  std::string note = "# " + std::to_string(layout.number) + " " + name;
  if (layout.type == ItemType::Text || layout.type == ItemType::Structured) {
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

}  // namespace

std::string FormatProfile(const SimProfile& profile) {
  const CardProfile& card = profile.card;
  std::ostringstream out;
  out << "# kx-sim card profile: the user card and the PSAM.\n"
         "# Hex values may hold spaces; '#' or ';' starts a comment.\n"
         "# Records: tag, length and value as the card holds them, or \"text\".\n\n";
  out << "[card]\n";
  out << "atr = " << HexText(card.atr, '\0') << "\n";
  out << "pin = " << HexText(card.pin, '\0') << "\n";
  out << "pin-tries = " << card.pinTriesLeft << "\n";
  out << "pin-max-tries = " << card.pinMaxTries << "\n";
  out << "t0 = " << (card.t0 ? "yes" : "no") << "\n";
  out << "mf-name = " << (card.mfNameInSelectReply ? "yes" : "no") << "\n";
  out << "locked =";
  for (std::uint16_t id : card.lockedDirectories) out << " " << FileIdText(id);
  out << "\n\n";

  out << "[psam]\n";
  out << "atr = " << HexText(profile.psam.atr, '\0') << "\n";
  out << "terminal-id = " << HexText(profile.psam.terminalId, '\0') << "\n";
  out << "t0 = " << (profile.psam.t0 ? "yes" : "no") << "\n\n";

  out << "[keys]\n# directory key-id = key  tries-left most-tries\n";
  for (const auto& [ref, entry] : card.keys) {
    out << FileIdText(ref.first) << " " << HexText(&ref.second, 1) << " = "
        << HexText(entry.value.data(), entry.value.size(), '\0') << "  " << entry.triesLeft << " "
        << entry.maxTries;
    const std::string names = CardKeyNames(ref.first, ref.second);
    if (!names.empty()) out << "  # " << names;
    out << "\n";
  }

  for (const FileLayout& layout : CardFileLayout()) {
    const auto file = card.files.find({layout.directory, layout.file});
    if (file == card.files.end()) continue;
    out << "\n[file " << FileIdText(layout.directory) << " " << FileIdText(layout.file) << "]\n";
    if (layout.IsTransparent()) {
      std::string name;
      if (Convert("UTF-8", "GBK", std::string(layout.name), &name)) out << "# " << name << "\n";
      const Bytes& binary = file->second.binary;
      for (std::size_t at = 0; at < binary.size(); at += 32) {
        char offset[24];
        std::snprintf(offset, sizeof offset, "@%04zX", at);
        out << offset << " = "
            << HexText(binary.data() + at, std::min<std::size_t>(32, binary.size() - at), '\0')
            << "\n";
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
