// kxcard: the operations a service desk or an integrator runs by hand, over
// the KX_ICCReader library, with human-readable UTF-8 output.
//
// Exit status: 0 on success, 1 when the library reported a failure (its code
// and message are printed), 2 for a usage error.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KX_ICCReader.h"
#include "tools/kxcard_identity.h"
#include "tools/kxcard_items.h"
#include "tools/platform_tools.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr int kUsbPort = 100;
// How long the PIN pad waits for the cardholder.
constexpr int kPinPadSeconds = 60;

const char kUsage[] =
    "usage: kxcard [options] COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  reader             open the reader, show its model, version, card status\n"
    "                     and the user card's reset answer\n"
    "  errmsg CODE        the library's message for a result code\n"
    "  apdu HEX           send one APDU to the user card (or the PSAM with --psam)\n"
    "  psam-id            the PSAM's terminal id and reset answer\n"
    "  read-record REC    read record REC of --dir/--file (default 3F00 EF05)\n"
    "  verify-pin [PIN]   verify the cardholder PIN (typed on the PIN pad when\n"
    "                     not given)\n"
    "  change-pin OLD NEW change the cardholder PIN\n"
    "  read-pin           ask the PIN pad for a PIN and tell how many digits came\n";

const char kUsageOptions[] =
    "\n"
    "options:\n"
    "  --port N           COM port of the reader (default 1; 100 = USB)\n"
    "  --usb              the USB reader (same as --port 100)\n"
    "  --mode N           (read-pin) 1: ESC 'I', other: ESC 'E' to the pad (default 1)\n"
    "  --baud N           baud rate (default 9600)\n"
    "  --device PATH      (Linux) the tty device of that COM port\n"
    "  --sim              start kx-sim and use its simulated reader\n"
    "  --sim-args ARGS    extra arguments for kx-sim (with --sim)\n"
    "  --psam             (apdu) address the PSAM instead of the user card\n"
    "  --dir DFxx         (read-record) directory, default 3F00\n"
    "  --file EFxx        (read-record) elementary file, default EF05\n"
    "  --le N             (read-record) expected length, default 0\n"
    "  --json             (data-item commands) one JSON object on stdout\n"
    "  --pin DIGITS       (data-item commands) the PIN a PIN-guarded read presents\n"
    "  --yes              (set-id, lock-app) do not ask before changing the card\n";

void PrintUsage(std::FILE* to) {
  std::fputs(kUsage, to);
  std::fputs(kxcard::kItemUsage, to);
  std::fputs(kxcard::kIdentityUsage, to);
  std::fputs(kUsageOptions, to);
}

struct Options {
  int port = 1;
  int baud = 9600;
  std::string device;
  bool sim = false;
  std::string simArgs;
  bool psam = false;
  std::string dir = "3F00";
  std::string file = "EF05";
  int le = 0;
  int mode = 1;
  bool json = false;
  std::string pin;
  bool yes = false;
  std::string command;
  std::vector<std::string> args;
};

bool ParseInt(const std::string& text, int* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 0);
  if (*end != '\0' || v < -2147483647L - 1 || v > 2147483647L) return false;
  *value = static_cast<int>(v);
  return true;
}

bool ParseOptions(int argc, char** argv, Options* o, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        *error = std::string(name) + " needs a value";
        return nullptr;
      }
      return argv[++i];
    };
    if (a == "--port" || a == "--baud" || a == "--le" || a == "--mode") {
      const char* v = value(a.c_str());
      if (v == nullptr) return false;
      int* target = a == "--port"   ? &o->port
                    : a == "--baud" ? &o->baud
                    : a == "--le"   ? &o->le
                                    : &o->mode;
      if (!ParseInt(v, target)) {
        *error = a + ": not a number: " + v;
        return false;
      }
    } else if (a == "--device" || a == "--sim-args" || a == "--dir" || a == "--file" ||
               a == "--pin") {
      const char* v = value(a.c_str());
      if (v == nullptr) return false;
      (a == "--device"     ? o->device
       : a == "--sim-args" ? o->simArgs
       : a == "--dir"      ? o->dir
       : a == "--file"     ? o->file
                           : o->pin) = v;
    } else if (a == "--json") {
      o->json = true;
    } else if (a == "--yes") {
      o->yes = true;
    } else if (a == "--sim") {
      o->sim = true;
    } else if (a == "--usb") {
      o->port = kUsbPort;
    } else if (a == "--psam") {
      o->psam = true;
    } else if (a == "--help" || a == "-h") {
      o->command = "help";
    } else if (a.size() > 1 && a[0] == '-' && !std::isdigit(static_cast<unsigned char>(a[1]))) {
      *error = "unknown option " + a;
      return false;
    } else if (o->command.empty()) {
      o->command = a;
    } else {
      o->args.push_back(a);
    }
  }
  return true;
}

std::string Message(int code) {
  char text[545] = {};
  KXGetErrMessage(code, text);
  return kxcard::GbkToUtf8(text);
}

// Prints the library's code and message; returns the failure exit status.
int Fail(const char* what, int code) {
  std::printf("%s failed: %d\n%s\n", what, code, Message(code).c_str());
  return kExitFailure;
}

std::string Hex(const unsigned char* bytes, int count) {
  std::string text;
  char pair[4];
  for (int i = 0; i < count; ++i) {
    std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
    text += pair;
    if (i + 1 < count) text += ' ';
  }
  return text;
}

// Opens the reader on the chosen port (after --device mapping).
int OpenReader(const Options& o) {
  const int code = KXReaderInitTest(o.port, o.baud);
  if (code != 0) return Fail("KXReaderInit", code);
  return kExitOk;
}

int CommandReader(const Options& o) {
  if (const int rc = OpenReader(o); rc != kExitOk) return rc;
  char model[64] = {};
  char version[64] = {};
  GetReaderInfo(0, model, version);
  std::printf("model:   %s\nversion: %s\n", model, version);

  KXSelectIFD(0, 12);
  char status = '0';
  int code = GetReaderStatus(0, &status);
  std::printf("status:  %c (%s)\n", status,
              status == '2' ? "user card powered on" : "no user card answered");
  if (code != 0) {
    KXReaderPowerOff(0);
    return Fail("GetReaderStatus", code);
  }
  if (status == '2') {
    char atr[2 * 100 + 1] = {};
    code = KXCpuReset(0, atr);
    if (code != 0) {
      KXReaderPowerOff(0);
      return Fail("KXCpuReset", code);
    }
    std::printf("ATR:     %s\n", atr);
  }
  KXReaderPowerOff(0);
  return kExitOk;
}

int CommandErrmsg(const Options& o) {
  int code = 0;
  if (o.args.size() != 1 || !ParseInt(o.args[0], &code)) {
    std::fprintf(stderr, "errmsg needs one numeric CODE\n");
    return kExitUsage;
  }
  std::printf("%s\n", Message(code).c_str());
  return kExitOk;
}

bool ParseHex(const std::string& text, std::vector<unsigned char>* bytes) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.empty() || digits.size() % 2 != 0) return false;
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes->push_back(static_cast<unsigned char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return true;
}

// Powers on the addressed card (user card or PSAM) on an open reader.
int PowerOnCard(bool psam) {
  KXSelectIFD(0, psam ? 14 : 12);
  char atr[2 * 100 + 1] = {};
  const int code = KXCpuReset(0, atr);
  if (code != 0) return Fail("KXCpuReset", code);
  std::printf("%s ATR: %s\n", psam ? "PSAM" : "card", atr);
  return kExitOk;
}

int Exchange(const std::vector<unsigned char>& command, std::vector<unsigned char>* reply) {
  unsigned char buffer[512] = {};
  int length = 0;
  std::printf("> %s\n", Hex(command.data(), static_cast<int>(command.size())).c_str());
  const int code = KXRunApdu(0, static_cast<int>(command.size()), command.data(), &length, buffer);
  if (length > 0 && length <= static_cast<int>(sizeof buffer)) {
    std::printf("< %s\n", Hex(buffer, length).c_str());
    reply->assign(buffer, buffer + length);
  }
  return code;
}

int CommandApdu(const Options& o) {
  std::vector<unsigned char> command;
  if (o.args.size() != 1 || !ParseHex(o.args[0], &command)) {
    std::fprintf(stderr, "apdu needs one APDU as hex digits, e.g. 0084000008\n");
    return kExitUsage;
  }
  if (const int rc = OpenReader(o); rc != kExitOk) return rc;
  int rc = PowerOnCard(o.psam);
  if (rc == kExitOk) {
    std::vector<unsigned char> reply;
    const int code = Exchange(command, &reply);
    if (code == 0) {
      std::printf("SW 9000: %s\n", Message(0).c_str());
    } else {
      rc = Fail("APDU", code);
    }
  }
  KXReaderPowerOff(0);
  return rc;
}

int CommandPsamId(const Options& o) {
  if (const int rc = OpenReader(o); rc != kExitOk) return rc;
  char id[64] = {};
  char atr[2 * 100 + 1] = {};
  const int code = KXGetPsamIDATR(0, id, atr);
  int rc = kExitOk;
  if (code == 0) {
    std::printf("PSAM id:  %s\nPSAM ATR: %s\n", id, atr);
  } else {
    rc = Fail("KXGetPsamIDATR", code);
  }
  KXReaderPowerOff(0);
  return rc;
}

bool IsFileId(const std::string& id) {
  if (id.size() != 4) return false;
  for (char c : id) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

int CommandReadRecord(const Options& o) {
  int record = 0;
  if (o.args.size() != 1 || !ParseInt(o.args[0], &record) || record < 1 || record > 254) {
    std::fprintf(stderr, "read-record needs a record number 1..254\n");
    return kExitUsage;
  }
  if (!IsFileId(o.dir) || !IsFileId(o.file)) {
    std::fprintf(stderr, "--dir and --file take 4 hex digits, e.g. --dir DF01 --file EF05\n");
    return kExitUsage;
  }
  if (const int rc = OpenReader(o); rc != kExitOk) return rc;
  int rc = PowerOnCard(false);
  std::vector<unsigned char> reply;
  std::vector<unsigned char> select;
  // The master file first, then the directory under it, then the file.
  if (rc == kExitOk) {
    ParseHex("00A40000023F00", &select);
    if (const int code = Exchange(select, &reply); code != 0) rc = Fail("select 3F00", code);
  }
  if (rc == kExitOk && o.dir != "3F00") {
    select.clear();
    ParseHex("00A4000002" + o.dir, &select);
    if (const int code = Exchange(select, &reply); code != 0) rc = Fail("select directory", code);
  }
  if (rc == kExitOk) {
    select.clear();
    ParseHex("00A4020002" + o.file, &select);
    if (const int code = Exchange(select, &reply); code != 0) rc = Fail("select file", code);
  }
  if (rc == kExitOk) {
    unsigned char data[512] = {};
    const int code = KXReadRecord(0, record, 4, o.le, data);
    if (code != 0) {
      rc = Fail("KXReadRecord", code);
    } else {
      char text[256] = {};
      const int length = GetCurRecordData(text);
      std::printf("record %d: %s\n", record, text);
      (void)length;
      const size_t bytes = std::strlen(text) / 2;
      if (bytes >= 2 && data[1] + 2u <= bytes) {
        std::printf("tag %02X, length %d\n", data[0], data[1]);
        std::string value(reinterpret_cast<const char*>(data + 2), data[1]);
        bool printable = !value.empty();
        for (unsigned char c : value) printable = printable && (c >= 0x20 || c == 0) && c != 0x7F;
        if (printable) std::printf("as text: %s\n", kxcard::GbkToUtf8(value.c_str()).c_str());
      }
    }
  }
  KXReaderPowerOff(0);
  return rc;
}

bool IsPin(const std::string& pin) {
  return pin.size() == 6 && pin.find_first_not_of("0123456789") == std::string::npos;
}

// The PIN pad dialogue with a countdown of its wait. On success `pin` holds
// the six characters; the caller wipes them.
int AskPad(int mode, char (&pin)[8]) {
  std::printf(
      "Type the PIN on the PIN pad and press its Enter key (Escape on this\n"
      "workstation cancels).\n");
  std::fflush(stdout);
  int code = 0;
  {
    kxcard::Countdown countdown("waiting for the PIN pad:", kPinPadSeconds);
    code = KXReadPassword(mode, pin);
  }
  if (code == -15) std::printf("fewer than 6 digits were typed\n");
  return code;
}

void Wipe(char* secret, std::size_t size) {
  volatile char* p = secret;
  for (std::size_t i = 0; i < size; ++i) p[i] = 0;
}

int CommandReadPin(const Options& o) {
  if (!o.args.empty()) {
    std::fprintf(stderr, "read-pin takes no arguments\n");
    return kExitUsage;
  }
  char pin[8] = {};
  const int code = AskPad(o.mode, pin);
  const std::size_t digits = std::strlen(pin);
  Wipe(pin, sizeof pin);
  if (code != 0) return Fail("KXReadPassword", code);
  std::printf("PIN read from the pad: %zu digits\n", digits);
  return kExitOk;
}

// Prints what a verify or change gave; -11 comes with the tries left.
int PinResult(const char* what, int code, int tries) {
  if (code == 0) {
    std::printf("%s: accepted\n", what);
    return kExitOk;
  }
  if (code == -11) std::printf("%s: PIN refused, %d tries left\n", what, tries);
  return Fail(what, code);
}

int CommandVerifyPin(const Options& o) {
  if (o.args.size() > 1 || (o.args.size() == 1 && !IsPin(o.args[0]))) {
    std::fprintf(stderr, "verify-pin takes a PIN of 6 digits, or none to type it on the pad\n");
    return kExitUsage;
  }
  if (const int rc = OpenReader(o); rc != kExitOk) return rc;
  int rc = PowerOnCard(false);
  if (rc == kExitOk) {
    char pin[8] = {};
    int code = 0;
    if (o.args.empty()) {
      code = AskPad(1, pin);
      if (code != 0) rc = Fail("KXReadPassword", code);
    } else {
      std::snprintf(pin, sizeof pin, "%s", o.args[0].c_str());
    }
    if (rc == kExitOk) {
      int tries = 0;
      code = KXCardVerifyPIN(0, pin, &tries);
      rc = PinResult("KXCardVerifyPIN", code, tries);
    }
    Wipe(pin, sizeof pin);
  }
  KXReaderPowerOff(0);
  return rc;
}

int CommandChangePin(const Options& o) {
  if (o.args.size() != 2 || !IsPin(o.args[0]) || !IsPin(o.args[1])) {
    std::fprintf(stderr, "change-pin takes the old and the new PIN, 6 digits each\n");
    return kExitUsage;
  }
  if (const int rc = OpenReader(o); rc != kExitOk) return rc;
  int rc = PowerOnCard(false);
  if (rc == kExitOk) {
    int tries = 0;
    const int code = KXCardChangePIN(0, o.args[0].c_str(), o.args[1].c_str(), &tries);
    rc = PinResult("KXCardChangePIN", code, tries);
  }
  KXReaderPowerOff(0);
  return rc;
}

// The data-item commands, with the reader named by the options.
int RunItemCommand(const Options& o) {
  kxcard::ItemOptions options;
  options.port = o.port;
  options.baud = o.baud;
  options.json = o.json;
  options.pin = o.pin;
  options.yes = o.yes;
  const int rc = kxcard::RunItemCommand(o.command, o.args, options);
  return rc >= 0 ? rc : kxcard::RunIdentityCommand(o.command, o.args, options);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string error;
  if (!ParseOptions(argc, argv, &o, &error)) {
    std::fprintf(stderr, "kxcard: %s\n", error.c_str());
    PrintUsage(stderr);
    return kExitUsage;
  }
  if (o.command.empty() || o.command == "help") {
    PrintUsage(o.command.empty() ? stderr : stdout);
    return o.command.empty() ? kExitUsage : kExitOk;
  }
  if (o.command == "errmsg") return CommandErrmsg(o);
  // The pad is its own USB device: no reader is opened for it.
  if (o.command == "read-pin") return CommandReadPin(o);
  if (o.sim && o.port == kUsbPort) {
    std::fprintf(stderr, "kxcard: kx-sim serves a reader on a serial line only, not on USB\n");
    return kExitUsage;
  }

  kxcard::Simulator sim;
  if (o.sim) {
    if (!kxcard::StartSimulator(argv[0], o.simArgs, &sim, &error)) {
      std::fprintf(stderr, "kxcard: cannot start kx-sim: %s\n", error.c_str());
      return kExitFailure;
    }
    o.device = sim.devicePath;
    // Scripts reading --json output get nothing but the JSON on stdout.
    std::fprintf(o.json ? stderr : stdout, "kx-sim:  simulated reader on %s\n",
                 sim.devicePath.c_str());
  }
  if (!o.device.empty()) {
    int code = 0;
    if (!kxcard::MapComPort(o.port, o.device, &code)) {
      kxcard::StopSimulator(&sim);
      if (code != 0) return Fail("KXSetComDevice", code);
      std::fprintf(stderr, "kxcard: --device is not available on this platform\n");
      return kExitUsage;
    }
  }

  int rc = kExitUsage;
  if (o.command == "reader") {
    rc = CommandReader(o);
  } else if (o.command == "apdu") {
    rc = CommandApdu(o);
  } else if (o.command == "psam-id") {
    rc = CommandPsamId(o);
  } else if (o.command == "read-record") {
    rc = CommandReadRecord(o);
  } else if (o.command == "verify-pin") {
    rc = CommandVerifyPin(o);
  } else if (o.command == "change-pin") {
    rc = CommandChangePin(o);
  } else {
    rc = RunItemCommand(o);
    if (rc < 0) {
      std::fprintf(stderr, "kxcard: unknown command %s\n", o.command.c_str());
      PrintUsage(stderr);
      rc = kExitUsage;
    }
  }
  kxcard::StopSimulator(&sim);
  return rc;
}
