#include "tools/kxcard_items.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "KX_ICCReader.h"
#include "tools/card_map.h"
#include "tools/kxcard_common.h"
#include "tools/platform_tools.h"

namespace kxcard {

const char kItemUsage[] =
    "  read DIR FILE [REC]    the items of a record file (REC 0 or none: every\n"
    "                         item) or the contents of a transparent file,\n"
    "                         one \"name: value\" line each\n"
    "  read-binary DIR FILE OFFSET LENGTH\n"
    "                         bytes of a transparent file, as hex\n"
    "  write DIR FILE REC VALUE\n"
    "                         write one item: hex digits for numeric and byte\n"
    "                         items, text for text items (padded with zeros)\n"
    "  write-binary DIR FILE OFFSET HEX\n"
    "                         write bytes into a transparent file\n"
    "  check-key NAME         prove a key of the card, e.g. UK1DF01\n"
    "  set-pin PIN [COMMAND ARGS]\n"
    "                         the PIN a PIN-guarded read presents (also --pin),\n"
    "                         then run COMMAND\n";

namespace {

// Room for the longest item output the dictionary gives, and for a
// transparent file's hex text.
constexpr int kOutputSize = 8192;
constexpr int kMaxBinaryLength = (kOutputSize - 1) / 2;

struct Item {
  int record = 0;
  std::string name;   // UTF-8
  std::string value;  // UTF-8
};

bool Number(const std::string& text, int low, int high, int* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 0);
  if (*end != '\0' || v < low || v > high) return false;
  *value = static_cast<int>(v);
  return true;
}

// "df01" and "DF01" name the same file; the dictionary spells it in capitals.
bool FileId(std::string text, std::string* id) {
  if (text.size() != 4) return false;
  for (char& c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  *id = text;
  return true;
}

// A read of `file` (nullptr: one the map does not know, which the library
// refuses) that asks for the cardholder's PIN presents the PIN the user
// gave: --pin or set-pin, else typed on this terminal (not shown), else
// typed on the PIN pad. The library is never left to present a PIN nobody
// typed.
int PresentPin(const ItemOptions& o, const MapFile* file) {
  if (file == nullptr || !file->read.pin) return kExitOk;
  std::string pin = o.pin;
  if (pin.empty() && StdinIsTerminal()) {
    const bool typed = ReadSecretLine(
        std::string("PIN for ") + file->directory + " " + file->file + " (not shown): ", &pin);
    if (!typed || !IsPin(pin)) {
      Wipe(pin);
      return Usage("the PIN is 6 digits");
    }
  } else if (pin.empty()) {
    char typed[KX_PIN_SIZE + 1] = {};
    const int code = AskPad(1, typed);
    pin = typed;
    Wipe(typed, sizeof typed);
    if (code != 0) return kExitFailure;
  }
  const int bytes = SetPin(pin.c_str());
  Wipe(pin);
  return bytes < 0 ? Failed(o.json, "SetPin", bytes) : kExitOk;
}

// A text item as a terminal shows it: its GBK text up to the first zero
// byte, or its bytes as hex when they are no text.
std::string TextValue(const unsigned char* bytes, int n) {
  const std::string gbk(reinterpret_cast<const char*>(bytes),
                        strnlen(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(n)));
  bool text = true;
  for (const unsigned char c : gbk) text = text && (c >= 0x20 && c != 0x7F);
  const std::string utf8 = GbkToUtf8(gbk);
  std::string back;
  if (text && Utf8ToGbk(utf8, &back) && back == gbk) return utf8;
  return Hex(bytes, n) + " (hex)";
}

// One item's value out of the read output at `at`; *width is what it took.
std::string ItemValue(const MapItem& row, const unsigned char* at, int* width) {
  const int n = row.length;
  switch (row.dataType) {
    case 0:
    case 4:
      *width = 2 * n;
      return std::string(
          reinterpret_cast<const char*>(at),
          strnlen(reinterpret_cast<const char*>(at), static_cast<std::size_t>(2 * n)));
    case 1:
      *width = n;
      return TextValue(at, n);
    default:
      *width = n;
      return Hex(at, n);
  }
}

void PrintItems(const ItemOptions& o, const std::string& dir, const std::string& file,
                const std::vector<Item>& items) {
  if (!o.json) {
    for (const Item& item : items) std::printf("%s: %s\n", item.name.c_str(), item.value.c_str());
    return;
  }
  std::printf("{\"directory\": %s, \"file\": %s, \"items\": [", Json(dir).c_str(),
              Json(file).c_str());
  for (std::size_t i = 0; i < items.size(); ++i) {
    std::printf("%s{\"record\": %d, \"name\": %s, \"value\": %s}", i == 0 ? "" : ", ",
                items[i].record, Json(items[i].name).c_str(), Json(items[i].value).c_str());
  }
  std::printf("]}\n");
}

int Read(const std::vector<std::string>& args, const ItemOptions& o) {
  std::string dir, file;
  int record = 0;
  if (args.size() < 2 || args.size() > 3 || !FileId(args[0], &dir) || !FileId(args[1], &file) ||
      (args.size() == 3 && !Number(args[2], 0, 255, &record))) {
    return Usage("read takes DIR FILE [REC]: 4 hex digits each, REC 0 to 255");
  }
  const MapFile* map = FindMapFile(dir.c_str(), file.c_str());
  if (const int rc = PresentPin(o, map); rc != kExitOk) return rc;
  RememberPort(o);
  static unsigned char out[kOutputSize];
  std::memset(out, 0, sizeof out);
  std::vector<Item> items;
  const MapItem* whole = map != nullptr && record == 0 ? FindMapItem(*map, 0) : nullptr;
  if (whole != nullptr) {
    const int code =
        KXReadBinaryAIO(dir.c_str(), file.c_str(), 0, whole->length, reinterpret_cast<char*>(out));
    if (code != 0) return Failed(o, "KXReadBinaryAIO", code);
    int width = 0;
    items.push_back({0, whole->name, ItemValue(*whole, out, &width)});
    PrintItems(o, dir, file, items);
    return kExitOk;
  }
  const int code = KXReadInfoAIO(dir.c_str(), file.c_str(), record, out);
  if (code != 0) return Failed(o, "KXReadInfoAIO", code);
  int at = 0;
  for (int i = 0; map != nullptr && i < map->itemCount; ++i) {
    const MapItem& item = map->items[i];
    if (item.record == 0 || (record != 0 && item.record != record)) continue;
    int width = 0;
    std::string value = ItemValue(item, out + at, &width);
    items.push_back({item.record, item.name, std::move(value)});
    at += width;
  }
  PrintItems(o, dir, file, items);
  return kExitOk;
}

int ReadBinary(const std::vector<std::string>& args, const ItemOptions& o) {
  std::string dir, file;
  int offset = 0, length = 0;
  if (args.size() != 4 || !FileId(args[0], &dir) || !FileId(args[1], &file) ||
      !Number(args[2], 0, 0x7FFF, &offset) || !Number(args[3], 1, kMaxBinaryLength, &length)) {
    return Usage("read-binary takes DIR FILE OFFSET LENGTH (offset 0 to 32767, length 1 to " +
                 std::to_string(kMaxBinaryLength) + ")");
  }
  if (const int rc = PresentPin(o, FindMapFile(dir.c_str(), file.c_str())); rc != kExitOk) {
    return rc;
  }
  RememberPort(o);
  static char out[kOutputSize];
  const int code = KXReadBinaryAIO(dir.c_str(), file.c_str(), offset, length, out);
  if (code != 0) return Failed(o, "KXReadBinaryAIO", code);
  if (o.json) {
    std::printf("{\"directory\": %s, \"file\": %s, \"offset\": %d, \"length\": %d, \"hex\": %s}\n",
                Json(dir).c_str(), Json(file).c_str(), offset, length, Json(out).c_str());
  } else {
    std::printf("%s\n", out);
  }
  return kExitOk;
}

// The value bytes of an item from what the user typed: hex for numeric and
// byte items (exactly the item's length for numbers), GBK text otherwise.
bool ItemBytes(const MapItem& item, const std::string& typed, std::string* bytes,
               std::string* why) {
  const std::size_t n = item.length;
  if (item.dataType == 1) {
    if (!Utf8ToGbk(typed, bytes)) {
      *why = "the text is not valid UTF-8 or has no GBK form";
      return false;
    }
  } else if (!ParseHex(typed, bytes)) {
    *why = "this item takes hex digits, two a byte";
    return false;
  }
  if (bytes->size() > n || ((item.dataType == 0 || item.dataType == 4) && bytes->size() != n)) {
    *why = "the item holds " + std::to_string(n) + " bytes, the value has " +
           std::to_string(bytes->size());
    return false;
  }
  bytes->resize(n, '\0');
  return true;
}

int Write(const std::vector<std::string>& args, const ItemOptions& o) {
  std::string dir, file;
  int record = 0;
  if (args.size() != 4 || !FileId(args[0], &dir) || !FileId(args[1], &file) ||
      !Number(args[2], 1, 255, &record)) {
    return Usage("write takes DIR FILE REC VALUE (REC 1 to 255)");
  }
  const MapFile* map = FindMapFile(dir.c_str(), file.c_str());
  const MapItem* found = map != nullptr ? FindMapItem(*map, record) : nullptr;
  if (found == nullptr) {
    return Usage("the card has no record " + std::to_string(record) + " in " + dir + " " + file);
  }
  const MapItem& item = *found;
  std::string bytes, why;
  if (!ItemBytes(item, args[3], &bytes, &why)) return Usage(why);
  RememberPort(o);
  const int code = KXUpdateInfoAIO(dir.c_str(), file.c_str(), record,
                                   reinterpret_cast<const unsigned char*>(bytes.data()));
  if (code != 0) return Failed(o, "KXUpdateInfoAIO", code);
  if (o.json) {
    std::printf("{\"written\": {\"record\": %d, \"name\": %s}}\n", record, Json(item.name).c_str());
  } else {
    std::printf("written: %s\n", item.name);
  }
  return kExitOk;
}

int WriteBinary(const std::vector<std::string>& args, const ItemOptions& o) {
  std::string dir, file, bytes;
  int offset = 0;
  if (args.size() != 4 || !FileId(args[0], &dir) || !FileId(args[1], &file) ||
      !Number(args[2], 0, 0x7FFF, &offset) || !ParseHex(args[3], &bytes) || bytes.empty()) {
    return Usage("write-binary takes DIR FILE OFFSET HEX");
  }
  RememberPort(o);
  const int code =
      KXUpdateBinaryAIO(dir.c_str(), file.c_str(), offset, static_cast<int>(bytes.size()),
                        reinterpret_cast<const unsigned char*>(bytes.data()));
  if (code != 0) return Failed(o, "KXUpdateBinaryAIO", code);
  if (o.json) {
    std::printf("{\"written\": {\"offset\": %d, \"length\": %zu}}\n", offset, bytes.size());
  } else {
    std::printf("written: %zu bytes at %d\n", bytes.size(), offset);
  }
  return kExitOk;
}

// The key check works on an open reader with the user card powered on.
int CheckKey(const std::vector<std::string>& args, const ItemOptions& o) {
  if (args.size() != 1) return Usage("check-key takes a key NAME, e.g. UK1DF01");
  const int rc = OnOpenReader(o, "KXCheckKey", [&] { return KXCheckKey(0, args[0].c_str()); });
  if (rc != kExitOk) return rc;
  if (o.json) {
    std::printf("{\"key\": %s, \"accepted\": true}\n", Json(args[0]).c_str());
  } else {
    std::printf("key %s: accepted\n", args[0].c_str());
  }
  return kExitOk;
}

}  // namespace

int CommandFiles(const std::vector<std::string>& args, bool json) {
  std::string dir, file;
  if (args.size() > 2 || (!args.empty() && !FileId(args[0], &dir)) ||
      (args.size() == 2 && !FileId(args[1], &file))) {
    return Usage("files takes [DIR [FILE]], 4 hex digits each");
  }
  int shown = 0;
  for (int i = 0; i < kCardMapFiles; ++i) {
    const MapFile& f = kCardMap[i];
    if ((!dir.empty() && dir != f.directory) || (!file.empty() && file != f.file)) continue;
    ++shown;
    if (json) {
      std::printf("%s\n", f.json);
      continue;
    }
    std::printf("%s%s %s  %s\n  read:  %s\n  write: %s\n", shown == 1 ? "" : "\n", f.directory,
                f.file, f.transparent ? "transparent file" : "records", f.read.words,
                f.write.words);
    for (int k = 0; k < f.itemCount; ++k) {
      const MapItem& item = f.items[k];
      char tag[8] = "-";
      if (item.tag != 0) std::snprintf(tag, sizeof tag, "%02X", item.tag);
      std::printf("  %3d  tag %-2s  %s: %d bytes; %s\n", item.record, tag, item.name, item.length,
                  item.received);
    }
  }
  if (shown == 0) {
    return Problem("the card's map has no file " + dir + (file.empty() ? "" : " ") + file);
  }
  return kExitOk;
}

int OnOpenReader(const ItemOptions& o, const char* name, const std::function<int()>& call) {
  ReaderChoice reader;
  reader.port = o.port;
  reader.baud = o.baud;
  reader.device = o.device;
  reader.json = o.json;
  if (const int rc = OpenReader(reader); rc != kExitOk) return rc;
  KXSelectIFD(0, 12);
  char status = '0';
  int code = GetReaderStatus(0, &status);
  if (code == 0 && status != '2') code = -6;
  if (code == 0) code = call();
  // The power-off's reply clears the failure's explanation.
  const std::string message = Message(code);
  KXReaderPowerOff(0);
  return code == 0 ? kExitOk : Failed(o, name, code, message);
}

int Failed(const ItemOptions& o, const char* call, int code, const std::string& message) {
  return Failed(o.json, call, code, message);
}

int Failed(const ItemOptions& o, const char* call, int code) {
  return Failed(o.json, call, code);
}

void RememberPort(const ItemOptions& o) {
  if (KXReaderInitTest(o.port, o.baud) == 0) KXReaderPowerOff(0);
}

int RunItemCommand(const std::string& command, const std::vector<std::string>& args,
                   const ItemOptions& options) {
  if (command == "set-pin") {
    if (args.empty()) return Usage("set-pin takes a PIN, e.g. set-pin 123456 read DF01 EF05 1");
    const int bytes = SetPin(args[0].c_str());
    if (bytes < 0) return Failed(options, "SetPin", bytes);
    if (args.size() == 1) {
      std::printf(options.json ? "{\"pinBytes\": %d}\n" : "PIN kept: %d bytes\n", bytes);
      return kExitOk;
    }
    ItemOptions withPin = options;
    withPin.pin = args[0];
    const int rc =
        RunItemCommand(args[1], std::vector<std::string>(args.begin() + 2, args.end()), withPin);
    return rc < 0 ? Usage("set-pin: unknown command " + args[1]) : rc;
  }
  using Command = int (*)(const std::vector<std::string>&, const ItemOptions&);
  static const std::pair<const char*, Command> kCommands[] = {
      {"read", Read},          {"read-binary", ReadBinary},
      {"write", Write},        {"write-binary", WriteBinary},
      {"check-key", CheckKey},
  };
  for (const auto& [name, run] : kCommands) {
    if (command != name) continue;
    if (!options.pin.empty()) {
      const int bytes = SetPin(options.pin.c_str());
      if (bytes < 0) return Failed(options, "SetPin", bytes);
    }
    return run(args, options);
  }
  return -1;
}

}  // namespace kxcard
