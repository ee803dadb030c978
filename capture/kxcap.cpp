#include "capture/kxcap.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace kx::capture {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

struct KindRow {
  Kind kind;
  const char* name;
};
constexpr KindRow kKinds[] = {
    {Kind::kCall, "call"},       {Kind::kReturn, "return"},     {Kind::kSerialOpen, "open"},
    {Kind::kSerialLine, "line"}, {Kind::kSerialClose, "close"}, {Kind::kSerialTx, "tx"},
    {Kind::kSerialRx, "rx"},     {Kind::kHidOpen, "hid-open"},  {Kind::kHidOut, "hid-out"},
    {Kind::kHidIn, "hid-in"},    {Kind::kTrace, "trace"},
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A decimal integer within [low, high], the whole token.
bool ParseInt(std::string_view token, std::int64_t low, std::int64_t high, std::int64_t* out) {
  std::size_t i = 0;
  bool negative = false;
  if (!token.empty() && token[0] == '-') {
    negative = true;
    i = 1;
  }
  if (i >= token.size() || token.size() - i > 12) return false;
  std::int64_t value = 0;
  for (; i < token.size(); ++i) {
    if (token[i] < '0' || token[i] > '9') return false;
    value = value * 10 + (token[i] - '0');
  }
  if (negative) value = -value;
  if (value < low || value > high) return false;
  *out = value;
  return true;
}

bool ParseHexBytes(std::string_view hex, Bytes* out) {
  if (hex.size() % 2 != 0 || hex.size() / 2 > kMaxBytesPerRecord) return false;
  out->clear();
  out->reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    if (hex[i] == '*' && hex[i + 1] == '*') {
      out->push_back(kRedacted);
      continue;
    }
    const int high = HexValue(hex[i]);
    const int low = HexValue(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    out->push_back(high * 16 + low);
  }
  return true;
}

bool ParseQuoted(std::string_view token, std::string* out) {
  if (token.size() < 2 || token.front() != '"' || token.back() != '"') return false;
  out->clear();
  for (std::size_t i = 1; i + 1 < token.size(); ++i) {
    const char c = token[i];
    if (c == '"') return false;
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (i + 2 >= token.size()) return false;
    const char next = token[++i];
    if (next == '\\' || next == '"') {
      out->push_back(next);
    } else if (next == 'x' && i + 3 < token.size()) {
      const int high = HexValue(token[i + 1]);
      const int low = HexValue(token[i + 2]);
      if (high < 0 || low < 0) return false;
      out->push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      return false;
    }
  }
  return true;
}

bool ParseValue(std::string_view token, Value* value) {
  using Type = Value::Type;
  if (token == "null") {
    value->type = Type::kNull;
    return true;
  }
  if (token == "-") {
    value->type = Type::kNone;
    return true;
  }
  if (token.substr(0, 2) == "x:") {
    value->type = Type::kBytes;
    return ParseHexBytes(token.substr(2), &value->bytes);
  }
  if (token.substr(0, 4) == "pin:") {
    value->type = Type::kPin;
    return ParseInt(token.substr(4), 0, kMaxPinLength, &value->number);
  }
  if (token.substr(0, 2) == "n:") {
    value->type = Type::kInts;
    std::string_view rest = token.substr(2);
    while (true) {
      const std::size_t comma = rest.find(',');
      std::int64_t n = 0;
      if (!ParseInt(rest.substr(0, comma), INT32_MIN, INT32_MAX, &n)) return false;
      value->ints.push_back(n);
      if (value->ints.size() > 16) return false;
      if (comma == std::string_view::npos) return true;
      rest = rest.substr(comma + 1);
    }
  }
  if (!token.empty() && token[0] == '"') {
    value->type = Type::kText;
    return ParseQuoted(token, &value->text);
  }
  value->type = Type::kInt;
  return ParseInt(token, INT32_MIN, UINT32_MAX, &value->number);
}

std::vector<std::string_view> Split(std::string_view line) {
  std::vector<std::string_view> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ') ++i;
    if (i > start) tokens.push_back(line.substr(start, i - start));
  }
  return tokens;
}

// The record of one line after the header. Empty on success, else why not.
std::string ParseRecord(std::string_view line, Event* event) {
  const std::vector<std::string_view> t = Split(line);
  if (t.size() < 2) return "a record needs a keyword and a time";
  bool known = false;
  for (const KindRow& row : kKinds) {
    if (t[0] == row.name) {
      event->kind = row.kind;
      known = true;
    }
  }
  if (!known) return "unknown record '" + std::string(t[0].substr(0, 20)) + "'";
  std::int64_t n = 0;
  if (!ParseInt(t[1], 0, UINT32_MAX, &n)) return "bad time";
  event->timeMs = static_cast<std::uint32_t>(n);

  auto port = [&](std::size_t at) {
    return t.size() > at && ParseInt(t[at], 0, 1000, &n) && ((event->port = int(n)), true);
  };
  auto bytes = [&](std::size_t at) {
    return t.size() == at + 1 && t[at].substr(0, 2) == "x:" &&
           ParseHexBytes(t[at].substr(2), &event->bytes) && !event->bytes.empty();
  };
  auto status = [&](std::size_t at) {
    if (t.size() <= at || (t[at] != "ok" && t[at] != "failed")) return false;
    event->ok = t[at] == "ok";
    return true;
  };

  switch (event->kind) {
    case Kind::kCall:
    case Kind::kReturn: {
      const bool isReturn = event->kind == Kind::kReturn;
      if (t.size() < (isReturn ? 6u : 4u)) return "too few fields";
      if (!ParseInt(t[2], 1, INT32_MAX, &n)) return "bad call number";
      event->seq = static_cast<long>(n);
      if (t[3].size() > 48) return "export name too long";
      for (char c : t[3]) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return "bad export name";
      }
      event->name = std::string(t[3]);
      std::size_t first = 4;
      if (isReturn) {
        if (!ParseInt(t[4], INT32_MIN, INT32_MAX, &event->result)) return "bad result";
        const std::string_view last = t.back();
        if (last.substr(0, 6) != "error=" || !ParseQuoted(last.substr(6), &event->text)) {
          return "a return ends with error=\"...\"";
        }
        first = 5;
      }
      const std::size_t end = isReturn ? t.size() - 1 : t.size();
      if (end - first > 16) return "too many values";
      for (std::size_t i = first; i < end; ++i) {
        Value value;
        if (!ParseValue(t[i], &value)) return "bad value '" + std::string(t[i].substr(0, 40)) + "'";
        event->values.push_back(std::move(value));
        event->tokens.emplace_back(t[i]);
      }
      return "";
    }
    case Kind::kSerialOpen:
      return port(2) && status(3) && t.size() == 4 ? "" : "expected: open MS PORT ok|failed";
    case Kind::kSerialLine: {
      std::int64_t baud = 0, bits = 0, parity = 0;
      if (!port(2) || t.size() != 6 || !ParseInt(t[3], 0, 4000000, &baud) ||
          !ParseInt(t[4], 0, 16, &bits) || !ParseInt(t[5], 0, 16, &parity)) {
        return "expected: line MS PORT BAUD BITS PARITY";
      }
      event->baud = int(baud), event->bits = int(bits), event->parity = int(parity);
      return "";
    }
    case Kind::kSerialClose:
      return port(2) && t.size() == 3 ? "" : "expected: close MS PORT";
    case Kind::kSerialTx:
    case Kind::kSerialRx:
      return port(2) && bytes(3) ? "" : "expected: tx|rx MS PORT x:HEX";
    case Kind::kHidOut:
    case Kind::kHidIn:
      return bytes(2) ? "" : "expected: hid-out|hid-in MS x:HEX";
    case Kind::kHidOpen:
      if (!status(2) || t.size() != 4 || !ParseQuoted(t[3], &event->text)) {
        return "expected: hid-open MS ok|failed \"PATH\"";
      }
      return "";
    case Kind::kTrace: {
      // Free text after the time.
      const std::size_t at = line.find(t[1]) + t[1].size();
      event->text = std::string(line.substr(std::min(line.size(), at + 1)));
      return "";
    }
  }
  return "unknown record";
}

}  // namespace

bool ParseCapture(std::string_view text, Capture* capture, std::string* error) {
  *capture = Capture{};
  int number = 0;
  std::size_t at = 0;
  auto fail = [&](const std::string& why) {
    *error = "line " + std::to_string(number) + ": " + why;
    return false;
  };
  while (at < text.size()) {
    ++number;
    const std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) {
      // The host stopped in the middle of this line.
      capture->truncatedTail = true;
      break;
    }
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > kMaxLineLength) return fail("line too long");
    for (char c : line) {
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) {
        return fail("a capture is ASCII text; this line holds a control or 8-bit byte");
      }
    }
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string_view> t = Split(line);
    if (t.empty()) continue;  // spaces only: a blank line
    if (number == 1 || capture->version == 0) {
      std::int64_t version = 0;
      if (t.size() != 2 || t[0] != "kxcap")
        return fail("not a capture (it starts with \"kxcap 1\")");
      if (!ParseInt(t[1], 1, 1000, &version)) return fail("bad format version");
      if (version != kFormatVersion) {
        return fail("format version " + std::to_string(version) + " is newer than this reader (" +
                    std::to_string(kFormatVersion) + ")");
      }
      capture->version = static_cast<int>(version);
      continue;
    }
    if (t[0] == "library" || t[0] == "platform") {
      if (!capture->events.empty()) return fail("a header line after the first record");
      std::string value(line.substr(std::min(line.size(), t[0].size() + 1)));
      (t[0] == "library" ? capture->library : capture->platform) = std::move(value);
      continue;
    }
    if (capture->events.size() >= kMaxEvents) return fail("too many records");
    Event event;
    event.line = number;
    if (std::string why = ParseRecord(line, &event); !why.empty()) return fail(why);
    capture->events.push_back(std::move(event));
  }
  if (capture->version == 0) {
    number = 1;
    return fail("not a capture (it starts with \"kxcap 1\")");
  }
  return true;
}

void AppendText(std::string& line, const char* text, std::size_t length) {
  line.push_back('"');
  for (std::size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\\' || c == '"') {
      line.push_back('\\');
      line.push_back(static_cast<char>(c));
    } else if (c <= 0x20 || c >= 0x7F) {
      line += "\\x";
      line.push_back(kHexDigits[c >> 4]);
      line.push_back(kHexDigits[c & 15]);
    } else {
      line.push_back(static_cast<char>(c));
    }
  }
  line.push_back('"');
}

void AppendBytes(std::string& line, const std::uint8_t* bytes, std::size_t count,
                 std::size_t secretFrom, std::size_t secretTo) {
  line += "x:";
  for (std::size_t i = 0; i < count; ++i) {
    if (i >= secretFrom && i < secretTo) {
      line += "**";
    } else {
      line.push_back(kHexDigits[bytes[i] >> 4]);
      line.push_back(kHexDigits[bytes[i] & 15]);
    }
  }
}

void AppendBytes(std::string& line, const Bytes& bytes) {
  line += "x:";
  for (int b : bytes) {
    if (b == kRedacted) {
      line += "**";
    } else {
      line.push_back(kHexDigits[(b >> 4) & 15]);
      line.push_back(kHexDigits[b & 15]);
    }
  }
}

const char* KindName(Kind kind) {
  for (const KindRow& row : kKinds) {
    if (row.kind == kind) return row.name;
  }
  return "?";
}

std::string SpacedHex(const Bytes& bytes, std::size_t from, std::size_t count) {
  std::string out;
  for (std::size_t i = from; i < bytes.size() && i - from < count; ++i) {
    if (i > from) out.push_back(' ');
    if (bytes[i] == kRedacted) {
      out += "**";
    } else {
      out.push_back(kHexDigits[(bytes[i] >> 4) & 15]);
      out.push_back(kHexDigits[bytes[i] & 15]);
    }
  }
  return out;
}

}  // namespace kx::capture
