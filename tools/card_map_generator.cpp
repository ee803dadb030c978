// kx-card-map: the card's map, read from the library's data dictionary, as
// the integrator's guide shows it (--markdown) and as kxcard carries it
// (--json, one file a line). A build-time program: the guide's chapter
// docs/card-map.md and docs/card-map.jsonl are its output, and a test fails
// when they differ from what the tables give.
#include <iconv.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dictionary/dictionary.h"

namespace {

std::string Utf8(const char* gbk, std::size_t size) {
  std::string in(gbk, strnlen(gbk, size));
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return in;
  std::string out(in.size() * 3 + 4, '\0');
  char* src = in.data();
  std::size_t srcLeft = in.size();
  char* dst = out.data();
  std::size_t dstLeft = out.size();
  const bool whole = iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<std::size_t>(-1);
  iconv_close(cd);
  if (!whole) return in;
  out.resize(out.size() - dstLeft);
  return out;
}

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// A condition as the library meets it, in plain words.
struct Condition {
  std::string text;   // as the table writes it
  std::string words;  // what it asks for
  bool pin = false;   // the cardholder's PIN must be presented
  std::string key;    // the key the library proves first; empty for none
};

Condition Read(const char* expression) {
  const kx::AccessCondition c = kx::ParseAccessCondition(expression);
  Condition out{expression, "", false, ""};
  switch (c.kind) {
    case kx::AccessKind::Free:
      out.words = "free";
      break;
    case kx::AccessKind::PinOnly:
      out.words = "the cardholder's PIN";
      out.pin = true;
      break;
    case kx::AccessKind::PinAndKey:
      out.words = std::string("the cardholder's PIN and key ") + c.keyName;
      out.pin = true;
      out.key = c.keyName;
      break;
    case kx::AccessKind::Key:
      out.words = std::string("key ") + c.keyName;
      if (std::strchr(expression, '|') != nullptr) {
        out.words += " (the card also takes the PIN; the library proves the key)";
      }
      out.key = c.keyName;
      break;
  }
  return out;
}

Condition Write(const char* directory, const char* keyName) {
  kx::CardKeyInfoRow row{};
  if (kx::FindCardKey(directory, keyName, &row) != 0) {
    return {keyName,
            "only the card's own operating system: no key of the library opens it "
            "(a write is refused with -12)",
            false, ""};
  }
  return {keyName, std::string("key ") + keyName, false, keyName};
}

// What the host receives for an item of `dataType` and `length` bytes.
std::string Received(int dataType, int length, bool transparent) {
  const std::string n = std::to_string(length) + (length == 1 ? " byte" : " bytes");
  const std::string digits = std::to_string(2 * length);
  switch (dataType) {
    case 0:
      return "hex text, " + digits + " digits and a NUL";
    case 1:
      return "GBK text, " + n + " padded with zeros, no NUL";
    case 3:
      return n + ", raw";
    case 4:
      return transparent
                 ? "hex text, " + digits + " digits and a NUL (KXReadBinaryAIO)"
                 : "hex text of the record as stored (no tag), " + digits + " digits and a NUL";
    default:
      return "nothing";
  }
}

struct File {
  const kx::FileKeyRelationRow* relation;
  std::vector<const kx::TagCardRecordInfoRow*> items;
  bool transparent = false;
};

std::vector<File> Files() {
  std::vector<File> files;
  for (const kx::FileKeyRelationRow* f = kx::FileKeyRelation; f->directory[0] != '\0'; ++f) {
    File file{f, {}, false};
    for (const kx::TagCardRecordInfoRow* i = kx::TagCardRecordInfo; i->directory[0] != '\0'; ++i) {
      if (i->directoryId != f->directoryId || i->fileId != f->fileId) continue;
      file.items.push_back(i);
      file.transparent = i->fileKind == kx::kTransparentFile;
    }
    files.push_back(file);
  }
  return files;
}

std::string Hex2(int value) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

void PrintJson(const std::vector<File>& files) {
  for (const File& f : files) {
    const Condition read = Read(f.relation->readCondition);
    const Condition write = Write(f.relation->directory, f.relation->writeCondition);
    std::string line = "{\"directory\": " + Json(f.relation->directory) +
                       ", \"file\": " + Json(f.relation->file) +
                       ", \"kind\": " + (f.transparent ? "\"transparent\"" : "\"records\"");
    for (const auto& [name, c] : {std::pair{"read", &read}, std::pair{"write", &write}}) {
      line += std::string(", \"") + name + "\": {\"condition\": " + Json(c->text) +
              ", \"words\": " + Json(c->words) + ", \"pin\": " + (c->pin ? "true" : "false") +
              ", \"key\": " + (c->key.empty() ? "null" : Json(c->key)) + "}";
    }
    line += ", \"items\": [";
    for (std::size_t k = 0; k < f.items.size(); ++k) {
      const kx::TagCardRecordInfoRow& i = *f.items[k];
      line += std::string(k == 0 ? "" : ", ") + "{\"record\": " + std::to_string(i.recordNumber) +
              ", \"tag\": " + (i.tag == 0 ? "null" : Json(Hex2(i.tag))) +
              ", \"name\": " + Json(Utf8(i.itemName, sizeof i.itemName)) +
              ", \"dataType\": " + std::to_string(i.dataType) +
              ", \"length\": " + std::to_string(i.length) +
              ", \"received\": " + Json(Received(i.dataType, i.length, f.transparent)) + "}";
    }
    std::printf("%s]}\n", line.c_str());
  }
}

const char kIntroduction[] =
    "# The card's map\n"
    "\n"
    "<!-- Generated by kx-card-map from the library's data dictionary: do not\n"
    "     edit. `ninja update-card-map` writes it again; a test fails when it and\n"
    "     the tables differ. -->\n"
    "\n"
    "Every file the library knows on the user card: its directory and file\n"
    "identifiers, whether it holds records or is one transparent file, what\n"
    "reading and writing it asks for, and each item with its record, tag,\n"
    "length on the card and what the host receives from `KXReadInfo` /\n"
    "`KXReadInfoAIO` (record files) or `KXReadBinaryAIO` (transparent files).\n"
    "`kxcard files` prints the same map, `kxcard files --json` as one JSON\n"
    "object a file (the data of `docs/card-map.jsonl`).\n"
    "\n"
    "What the conditions ask for:\n"
    "\n"
    "- **free**: nothing; any export reads it.\n"
    "- **the cardholder's PIN**: `KXReadInfo` and the all-in-one reads present\n"
    "  the PIN that `SetPin` handed over. With the plain exports, call\n"
    "  `KXCardVerifyPIN` after selecting the directory.\n"
    "- **key K**: `KXReadInfo`, `KXUpdateInfo` and the all-in-one exports prove\n"
    "  K themselves through the PSAM. With the plain exports (`KXReadBinary`,\n"
    "  `KXReadRecord`, `KXUpdateBinary`, `KXUpdateRecord`) call `KXCheckKey`\n"
    "  with K first, or the card answers 6982 (-27010, \"不满足安全状态\").\n"
    "- **the cardholder's PIN and key K**: both, the key first.\n"
    "\n"
    "Tags are hexadecimal; \"-\" marks an item written without a tag-length\n"
    "header. Lengths are the item's bytes on the card.\n";

void PrintMarkdown(const std::vector<File>& files) {
  std::fputs(kIntroduction, stdout);
  std::string directory;
  for (const File& f : files) {
    if (directory != f.relation->directory) {
      directory = f.relation->directory;
      std::printf("\n## %s%s\n", directory.c_str(),
                  directory == "3F00" ? " (the master file)" : "");
    }
    const Condition read = Read(f.relation->readCondition);
    const Condition write = Write(f.relation->directory, f.relation->writeCondition);
    std::printf("\n### %s %s\n\n", f.relation->directory, f.relation->file);
    std::printf("%s. Read: %s (`%s`). Write: %s (`%s`).\n\n",
                f.transparent ? "Transparent file" : "Records", read.words.c_str(),
                read.text.c_str(), write.words.c_str(), write.text.c_str());
    std::printf("| record | tag | item | length | the host receives |\n");
    std::printf("| --- | --- | --- | --- | --- |\n");
    for (const kx::TagCardRecordInfoRow* i : f.items) {
      std::printf("| %s | %s | %s | %d | %s |\n",
                  f.transparent ? "-" : std::to_string(i->recordNumber).c_str(),
                  i->tag == 0 ? "-" : Hex2(i->tag).c_str(),
                  Utf8(i->itemName, sizeof i->itemName).c_str(), i->length,
                  Received(i->dataType, i->length, f.transparent).c_str());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string format = argc >= 2 ? argv[1] : "";
  if ((format != "--markdown" && format != "--json") || argc > 3) {
    std::fprintf(stderr, "usage: kx-card-map --markdown|--json [OUTPUT]\n");
    return 2;
  }
  if (argc == 3 && std::freopen(argv[2], "w", stdout) == nullptr) {
    std::perror(argv[2]);
    return 1;
  }
  const std::vector<File> files = Files();
  if (format == "--json") {
    PrintJson(files);
  } else {
    PrintMarkdown(files);
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
