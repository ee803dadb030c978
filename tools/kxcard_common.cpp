#include "tools/kxcard_common.h"

#include <cctype>
#include <cstdio>

#include "KX_ICCReader.h"
#include "tools/platform_tools.h"

namespace kxcard {

std::string Message(int code) {
  char text[kMessageSize] = {};
  KXGetErrMessage(code, text);
  std::string utf8 = GbkToUtf8(text);
  std::string out;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    if (utf8[i] == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n') continue;
    out += utf8[i];
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::string Json(const std::string& utf8) {
  std::string out = "\"";
  for (const unsigned char c : utf8) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string Hex(const unsigned char* bytes, int count, const char* separator) {
  std::string text;
  char pair[3];
  for (int i = 0; i < count; ++i) {
    if (i > 0) text += separator;
    std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
    text += pair;
  }
  return text;
}

namespace {

// Where the PIN data of a command APDU starts (its length when it carries
// none): VERIFY, PIN change and reset, the retry counter's reset, and the
// PSAM's encipherment of a PIN block (16 bytes or more; a challenge alone
// is 8). The same rule as the library's trace.
int SecretOffset(const unsigned char* apdu, int length) {
  constexpr int kDataStart = 5;
  if (length <= kDataStart) return length;
  switch (apdu[1]) {
    case 0x20:
    case 0x24:
    case 0x2C:
    case 0x5E:
      return kDataStart;
    case 0xFA:
      return apdu[0] == 0x80 && apdu[2] == 0x00 && apdu[4] >= 16 ? kDataStart : length;
    default:
      return length;
  }
}

}  // namespace

std::string ApduText(const std::string& apdu, const char* separator) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(apdu.data());
  const int length = static_cast<int>(apdu.size());
  const int secret = SecretOffset(bytes, length);
  std::string text = Hex(bytes, secret, separator);
  for (int i = secret; i < length; ++i) text += (i > 0 ? std::string(separator) : "") + "**";
  return text;
}

bool ParseHex(const std::string& text, std::string* bytes) {
  std::string digits;
  for (const char c : text) {
    if (c == ' ' || c == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.size() % 2 != 0) return false;
  bytes->clear();
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    bytes->push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return true;
}

namespace {

bool jsonErrors = false;

}  // namespace

void SetJsonErrors(bool json) {
  jsonErrors = json;
}

bool JsonErrors() {
  return jsonErrors;
}

int Failed(bool json, const std::string& call, int code, const std::string& message) {
  if (json || jsonErrors) {
    std::fprintf(stderr, "{\"error\": {\"call\": %s, \"code\": %d, \"message\": %s}}\n",
                 Json(call).c_str(), code, Json(message).c_str());
  } else {
    std::fprintf(stderr, "%s failed: %d\n%s\n", call.c_str(), code, message.c_str());
  }
  return kExitFailure;
}

int Failed(bool json, const std::string& call, int code) {
  return Failed(json, call, code, Message(code));
}

int Usage(const std::string& why) {
  if (jsonErrors) {
    std::fprintf(stderr, "{\"error\": {\"usage\": %s}}\n", Json(why).c_str());
  } else {
    std::fprintf(stderr, "kxcard: %s\n", why.c_str());
  }
  return kExitUsage;
}

int Problem(const std::string& message) {
  if (jsonErrors) {
    std::fprintf(stderr, "{\"error\": {\"message\": %s}}\n", Json(message).c_str());
  } else {
    std::fprintf(stderr, "kxcard: %s\n", message.c_str());
  }
  return kExitFailure;
}

void Progress(const std::string& text) {
  if (!StderrIsTerminal()) return;
  std::fprintf(stderr, "\r%-50s", text.c_str());
  std::fflush(stderr);
}

void ClearProgress() {
  if (!StderrIsTerminal()) return;
  std::fprintf(stderr, "\r%-50s\r", "");
  std::fflush(stderr);
}

int AskPad(int mode, char* pin) {
  constexpr int kPinPadSeconds = 60;  // how long the PIN pad waits
  if (StderrIsTerminal()) {
    std::fprintf(stderr,
                 "Type the PIN on the PIN pad and press its Enter key (Escape on this\n"
                 "workstation cancels).\n");
  }
  int code = 0;
  {
    Countdown countdown("waiting for the PIN pad:", kPinPadSeconds);
    code = KXReadPassword(mode, pin);
  }
  if (code == -2) {
    Failed(false, "KXReadPassword", code, "PIN pad not found");
  } else if (code == -15) {
    Failed(false, "KXReadPassword", code, Message(code) + " (fewer than 6 digits were typed)");
  } else if (code != 0) {
    Failed(false, "KXReadPassword", code);
  }
  return code;
}

void Wipe(char* secret, std::size_t size) {
  volatile char* p = secret;
  for (std::size_t i = 0; i < size; ++i) p[i] = 0;
}

void Wipe(std::string& secret) {
  Wipe(secret.data(), secret.size());
}

bool IsPin(const std::string& pin) {
  return pin.size() == 6 && pin.find_first_not_of("0123456789") == std::string::npos;
}

std::string PortName(const ReaderChoice& reader) {
  if (reader.port == kUsbPort) return "USB";
  const std::string device = reader.device.empty() ? DefaultDevice(reader.port) : reader.device;
  const std::string com = "COM" + std::to_string(reader.port);
  return device.empty() ? com : com + " (" + device + ")";
}

int OpenReader(const ReaderChoice& reader) {
  const int code = KXReaderInitTest(reader.port, reader.baud);
  if (code == 0) return kExitOk;
  const std::string message = Message(code);
  const std::string reason = OpenFailureReason(reader.port, reader.device);
  if (reader.json) {
    std::fprintf(stderr,
                 "{\"error\": {\"call\": \"KXReaderInit\", \"code\": %d, \"message\": %s, "
                 "\"port\": %s, \"reason\": %s}}\n",
                 code, Json(message).c_str(), Json(PortName(reader)).c_str(), Json(reason).c_str());
  } else {
    std::fprintf(stderr, "KXReaderInit failed: %d\n%s\n%s: %s\n", code, message.c_str(),
                 PortName(reader).c_str(), reason.c_str());
  }
  return kExitFailure;
}

int PowerOnCard(bool psam, std::string* atr) {
  KXSelectIFD(0, psam ? 14 : 12);
  char text[KX_RESET_ANSWER_HEX_SIZE] = {};
  const int code = KXCpuReset(0, text);
  if (code == 0) *atr = text;
  return code;
}

}  // namespace kxcard
