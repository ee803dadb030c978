// kxcard: the operations a service desk or an integrator runs by hand, over
// the KX_ICCReader library, with human-readable UTF-8 output (or JSON).
//
// Results go to stdout, failures to stderr. Exit status: 0 on success, 1
// when the library or the card reported a failure, 2 for a usage error.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KX_ICCReader.h"
#include "tools/kxcard_common.h"
#include "tools/kxcard_identity.h"
#include "tools/kxcard_items.h"
#include "tools/kxcard_replay.h"
#include "tools/kxcard_session.h"
#include "tools/platform_tools.h"

namespace {

using kxcard::Failed;
using kxcard::Json;
using kxcard::kExitFailure;
using kxcard::kExitOk;
using kxcard::kExitUsage;
using kxcard::kUsbPort;
using kxcard::Message;
using kxcard::Usage;

const char kUsage[] =
    "usage: kxcard [options] COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  reader             open the reader; when it answers, show its model,\n"
    "                     version, card status and the user card's reset answer\n"
    "  scan               look for readers on every serial port and on USB,\n"
    "                     and tell which cards are in them\n"
    "  script FILE|-      run the APDUs of FILE (or stdin) in one reader session:\n"
    "                     one \"APDU [expected SW]\" a line (SW 9000 when none;\n"
    "                     X matches any digit), '#' comments, @user / @psam to\n"
    "                     switch cards; stops at the first unexpected status\n"
    "  errmsg CODE        the library's message for a result code\n"
    "  replay FILE        (Linux) run a capture's export calls again against kx-sim playing\n"
    "                     its device side; prints \"same\" or the first difference\n"
    "  apdu HEX           send one APDU to the user card (or the PSAM with --psam)\n"
    "  psam-id            the PSAM's terminal id and reset answer\n"
    "  read-record REC    read record REC of --dir/--file (default 3F00 EF05)\n"
    "  verify-pin [PIN]   verify the cardholder PIN (typed on the PIN pad when\n"
    "                     not given)\n"
    "  change-pin OLD NEW change the cardholder PIN\n"
    "  read-pin           ask the PIN pad for a PIN and tell how many digits came\n"
    "  files [DIR [FILE]] the card's map: every file, what reading and writing it\n"
    "                     asks for, and its items (no reader needed)\n";

const char kUsageOptions[] =
    "\n"
    "options:\n"
    "  --port N           COM port of the reader, 1 to 99 (default 1; 100 = USB)\n"
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
    "  --json             results as JSON on stdout, failures and usage errors as\n"
    "                     JSON on stderr, one object a line\n"
    "  --pin DIGITS       (data-item commands) the PIN a PIN-guarded read presents;\n"
    "                     without it kxcard asks on the terminal (not shown), or,\n"
    "                     when stdin is no terminal, on the PIN pad\n"
    "  --yes              (set-id, lock-app) do not ask before changing the card\n"
    "  --capture FILE     (Linux) capture the session to FILE (docs/capture.md), over the\n"
    "                     library's diagnostic build\n"
    "  -v                 show the frames and APDUs exchanged, PIN data as **, on\n"
    "                     stderr (runs over the library's diagnostic build; on\n"
    "                     Windows the trace follows the command's own output)\n"
    "  --version          kxcard's and the library's versions\n"
    "\n"
    "exit status:\n"
    "  0  success\n"
    "  1  the library, the reader or the card reported a failure (scan: no\n"
    "     reader found; script: an unexpected status word)\n"
    "  2  usage error (unknown command or option, bad argument, script syntax)\n";

void PrintUsage(std::FILE* to) {
  std::fputs(kUsage, to);
  std::fputs(kxcard::kItemUsage, to);
  std::fputs(kxcard::kIdentityUsage, to);
  std::fputs(kUsageOptions, to);
}

struct Options {
  kxcard::ReaderChoice reader;
  bool sim = false;
  std::string simArgs;
  bool psam = false;
  std::string dir = "3F00";
  std::string file = "EF05";
  int le = 0;
  int mode = 1;
  bool verbose = false;
  std::string capture;  // --capture FILE
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
      int* target = a == "--port"   ? &o->reader.port
                    : a == "--baud" ? &o->reader.baud
                    : a == "--le"   ? &o->le
                                    : &o->mode;
      if (!ParseInt(v, target)) {
        *error = a + ": not a number: " + v;
        return false;
      }
      // The library opens COM1 to COM99, and 100 is the USB reader.
      if (target == &o->reader.port && (o->reader.port < 1 || o->reader.port > kUsbPort)) {
        *error = "--port " + std::string(v) + ": the port is 1 to 99, or 100 for USB";
        return false;
      }
    } else if (a == "--device" || a == "--sim-args" || a == "--dir" || a == "--file" ||
               a == "--pin" || a == "--capture") {
      const char* v = value(a.c_str());
      if (v == nullptr) return false;
      (a == "--device"     ? o->reader.device
       : a == "--sim-args" ? o->simArgs
       : a == "--dir"      ? o->dir
       : a == "--file"     ? o->file
       : a == "--capture"  ? o->capture
                           : o->pin) = v;
    } else if (a == "--json") {
      o->reader.json = true;
    } else if (a == "--yes") {
      o->yes = true;
    } else if (a == "--sim") {
      o->sim = true;
    } else if (a == "--usb") {
      o->reader.port = kUsbPort;
    } else if (a == "--psam") {
      o->psam = true;
    } else if (a == "-v" || a == "--verbose") {
      o->verbose = true;
    } else if (a == "--version") {
      o->command = "version";
    } else if (a == "--help" || a == "-h") {
      o->command = "help";
    } else if (a == "-") {
      o->args.push_back(a);  // script's stdin
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

int CommandVersion(const Options& o) {
  const int library = KXGetLibVer();
  if (o.reader.json) {
    std::printf("{\"kxcard\": %s, \"package\": %s, \"KXGetLibVer\": %d}\n",
                Json(KX_VERSION_TEXT).c_str(), Json(KX_VERSION_TEXT).c_str(), library);
  } else {
    std::printf("kxcard %s (KX_ICCReader %s; KXGetLibVer %d, the interface's version)\n",
                KX_VERSION_TEXT, KX_VERSION_TEXT, library);
  }
  return kExitOk;
}

// A reader that does not answer leaves -2 (nothing came back) or -4 (no
// valid answer in time).
bool ReaderAnswered(int code) {
  return code != -2 && code != -4;
}

int CommandReader(const Options& o) {
  if (const int rc = kxcard::OpenReader(o.reader); rc != kExitOk) return rc;
  KXSelectIFD(0, 12);
  char status = '0';
  int code = GetReaderStatus(0, &status);
  if (!ReaderAnswered(code)) {
    // The power-off would wait out another time-out for a reader that is
    // not there; the link closes when kxcard ends.
    const std::string message = Message(code);
    const std::string port = kxcard::PortName(o.reader);
    if (!o.reader.json) {
      std::fprintf(stderr, "no reader answered on %s\n", port.c_str());
      return Failed(false, "GetReaderStatus", code, message);
    }
    std::fprintf(stderr,
                 "{\"error\": {\"call\": \"GetReaderStatus\", \"code\": %d, \"message\": %s, "
                 "\"port\": %s, \"reason\": \"no reader answered\"}}\n",
                 code, Json(message).c_str(), Json(port).c_str());
    return kExitFailure;
  }
  char model[KX_READER_MODEL_SIZE] = {};
  char version[KX_READER_VERSION_SIZE] = {};
  GetReaderInfo(0, model, version);
  // Whether a PSAM answers a power-on (-5: the reader reports none).
  KXSelectIFD(0, 14);
  char psamStatus = '0';
  const bool psam = GetReaderStatus(0, &psamStatus) == 0 && psamStatus == '2';
  std::string atr;
  if (code == 0 && status == '2') code = kxcard::PowerOnCard(false, &atr);
  const std::string message = Message(code);
  KXReaderPowerOff(0);
  if (code != 0) return Failed(o.reader.json, "GetReaderStatus", code, message);
  const bool card = status == '2';
  if (o.reader.json) {
    std::printf(
        "{\"port\": %s, \"model\": %s, \"version\": %s, \"status\": \"%c\", \"userCard\": %s, "
        "\"atr\": %s, \"psam\": %s}\n",
        Json(kxcard::PortName(o.reader)).c_str(), Json(model).c_str(), Json(version).c_str(),
        status, card ? "true" : "false", card ? Json(atr).c_str() : "null",
        psam ? "true" : "false");
    return kExitOk;
  }
  std::printf("model:   %s\nversion: %s\n", model, version);
  std::printf("status:  %c (%s)\n", status,
              card ? "user card powered on" : "no user card answered");
  if (card) std::printf("ATR:     %s\n", atr.c_str());
  std::printf("PSAM:    %s\n", psam ? "in (answers a power-on)" : "not in");
  return kExitOk;
}

int CommandErrmsg(const Options& o) {
  int code = 0;
  if (o.args.size() != 1 || !ParseInt(o.args[0], &code))
    return Usage("errmsg needs one numeric CODE");
  if (o.reader.json) {
    std::printf("{\"code\": %d, \"message\": %s}\n", code, Json(Message(code)).c_str());
  } else {
    std::printf("%s\n", Message(code).c_str());
  }
  return kExitOk;
}

// One APDU to the selected card; the reply (data and SW) into *reply.
int Exchange(const std::string& command, std::string* reply) {
  unsigned char buffer[KX_APDU_REPLY_SIZE] = {};
  int length = 0;
  const int code =
      KXRunApdu(0, static_cast<int>(command.size()),
                reinterpret_cast<const unsigned char*>(command.data()), &length, buffer);
  reply->clear();
  if (length > 0 && length <= static_cast<int>(sizeof buffer)) {
    reply->assign(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
  }
  return code;
}

std::string HexOf(const std::string& bytes, const char* separator = " ") {
  return kxcard::Hex(reinterpret_cast<const unsigned char*>(bytes.data()),
                     static_cast<int>(bytes.size()), separator);
}

int CommandApdu(const Options& o) {
  std::string command;
  if (o.args.size() != 1 || !kxcard::ParseHex(o.args[0], &command) || command.empty()) {
    return Usage("apdu needs one APDU as hex digits, e.g. 0084000008");
  }
  if (const int rc = kxcard::OpenReader(o.reader); rc != kExitOk) return rc;
  std::string atr, reply;
  int code = kxcard::PowerOnCard(o.psam, &atr);
  const char* call = "KXCpuReset";
  if (code == 0) {
    code = Exchange(command, &reply);
    call = "KXRunApdu";
  }
  const std::string message = Message(code);
  KXReaderPowerOff(0);
  const bool replied = reply.size() >= 2;
  if (o.reader.json) {
    if (code != 0 && !replied) return Failed(true, call, code, message);
    std::printf(
        "{\"card\": \"%s\", \"atr\": %s, \"command\": %s, \"reply\": %s, \"sw\": %s, "
        "\"code\": %d, \"message\": %s}\n",
        o.psam ? "psam" : "user", Json(atr).c_str(), Json(kxcard::ApduText(command)).c_str(),
        Json(HexOf(reply.substr(0, reply.size() - 2), "")).c_str(),
        Json(HexOf(reply.substr(reply.size() - 2), "")).c_str(), code, Json(message).c_str());
    return code == 0 ? kExitOk : kExitFailure;
  }
  if (!atr.empty()) std::printf("%s ATR: %s\n", o.psam ? "PSAM" : "card", atr.c_str());
  if (replied || code == 0) {
    std::printf("> %s\n< %s\n", kxcard::ApduText(command, " ").c_str(), HexOf(reply).c_str());
  }
  if (code != 0) return Failed(false, call, code, message);
  std::printf("SW 9000: %s\n", Message(0).c_str());
  return kExitOk;
}

int CommandPsamId(const Options& o) {
  if (const int rc = kxcard::OpenReader(o.reader); rc != kExitOk) return rc;
  char id[KX_PSAM_ID_SIZE] = {};
  char atr[KX_RESET_ANSWER_HEX_SIZE] = {};
  const int code = KXGetPsamIDATR(0, id, atr);
  const std::string message = Message(code);
  KXReaderPowerOff(0);
  if (code != 0) return Failed(o.reader.json, "KXGetPsamIDATR", code, message);
  if (o.reader.json) {
    std::printf("{\"psamId\": %s, \"atr\": %s}\n", Json(id).c_str(), Json(atr).c_str());
  } else {
    std::printf("PSAM id:  %s\nPSAM ATR: %s\n", id, atr);
  }
  return kExitOk;
}

bool IsFileId(const std::string& id) {
  if (id.size() != 4) return false;
  for (char c : id) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// The master file, the directory under it and the file, on the powered
// user card; the library's code of the first selection that failed.
int SelectRecordFile(const Options& o, std::string* failedStep) {
  std::string command, reply;
  const std::pair<std::string, std::string> steps[] = {
      {"select 3F00", "00A40000023F00"},
      {"select directory", o.dir == "3F00" ? "" : "00A4000002" + o.dir},
      {"select file", "00A4020002" + o.file},
  };
  for (const auto& [name, hex] : steps) {
    if (hex.empty()) continue;
    kxcard::ParseHex(hex, &command);
    if (const int code = Exchange(command, &reply); code != 0) {
      *failedStep = name;
      return code;
    }
  }
  return 0;
}

int CommandReadRecord(const Options& o) {
  int record = 0;
  if (o.args.size() != 1 || !ParseInt(o.args[0], &record) || record < 1 || record > 254) {
    return Usage("read-record needs a record number 1..254");
  }
  if (!IsFileId(o.dir) || !IsFileId(o.file)) {
    return Usage("--dir and --file take 4 hex digits, e.g. --dir DF01 --file EF05");
  }
  if (const int rc = kxcard::OpenReader(o.reader); rc != kExitOk) return rc;
  std::string atr, call = "KXCpuReset";
  int code = kxcard::PowerOnCard(false, &atr);
  if (code == 0) code = SelectRecordFile(o, &call);
  unsigned char data[KX_APDU_REPLY_SIZE] = {};
  char text[KX_RECORD_HEX_SIZE] = {};
  if (code == 0) {
    call = "KXReadRecord";
    code = KXReadRecord(0, record, 4, o.le, data);
    if (code == 0) GetCurRecordData(text);
  }
  const std::string message = Message(code);
  KXReaderPowerOff(0);
  if (code != 0) return Failed(o.reader.json, call, code, message);

  const std::size_t bytes = std::strlen(text) / 2;
  std::string value;
  bool printable = false;
  if (bytes >= 2 && data[1] + 2u <= bytes) {
    value.assign(reinterpret_cast<const char*>(data + 2), data[1]);
    printable = !value.empty();
    for (unsigned char c : value) printable = printable && (c >= 0x20 || c == 0) && c != 0x7F;
  }
  const std::string utf8 = printable ? kxcard::GbkToUtf8(value.c_str()) : std::string();
  if (o.reader.json) {
    std::printf("{\"record\": %d, \"hex\": %s, \"text\": %s}\n", record, Json(text).c_str(),
                printable ? Json(utf8).c_str() : "null");
    return kExitOk;
  }
  std::printf("record %d: %s\n", record, text);
  if (bytes >= 2 && data[1] + 2u <= bytes) std::printf("tag %02X, length %d\n", data[0], data[1]);
  if (printable) std::printf("as text: %s\n", utf8.c_str());
  return kExitOk;
}

int CommandReadPin(const Options& o) {
  if (!o.args.empty()) return Usage("read-pin takes no arguments");
  char pin[KX_PIN_SIZE + 1] = {};
  const int code = kxcard::AskPad(o.mode, pin);
  const std::size_t digits = std::strlen(pin);
  kxcard::Wipe(pin, sizeof pin);
  if (code != 0) return kExitFailure;
  if (o.reader.json) {
    std::printf("{\"digits\": %zu}\n", digits);
  } else {
    std::printf("PIN read from the pad: %zu digits\n", digits);
  }
  return kExitOk;
}

// Reports what a verify or change gave; -11 comes with the tries left.
int PinResult(const Options& o, const char* what, int code, int tries, const std::string& message) {
  if (code == 0) {
    if (o.reader.json) {
      std::printf("{\"call\": %s, \"accepted\": true}\n", Json(what).c_str());
    } else {
      std::printf("%s: accepted\n", what);
    }
    return kExitOk;
  }
  if (code == -11 && o.reader.json) {
    std::fprintf(stderr,
                 "{\"error\": {\"call\": %s, \"code\": -11, \"message\": %s, \"triesLeft\": %d}}\n",
                 Json(what).c_str(), Json(message).c_str(), tries);
    return kExitFailure;
  }
  if (code == -11) std::fprintf(stderr, "%s: PIN refused, %d tries left\n", what, tries);
  return Failed(o.reader.json, what, code, message);
}

// Opens the reader, powers the user card on, runs `pinCommand(&tries,
// &call)` and reports what it gave.
template <typename PinCommand>
int RunPinCommand(const Options& o, PinCommand pinCommand) {
  if (const int rc = kxcard::OpenReader(o.reader); rc != kExitOk) return rc;
  std::string atr;
  const char* call = "KXCpuReset";
  int tries = 0;
  int code = kxcard::PowerOnCard(false, &atr);
  if (code == 0) code = pinCommand(&tries, &call);
  const std::string message = Message(code);
  KXReaderPowerOff(0);
  return PinResult(o, call, code, tries, message);
}

int CommandVerifyPin(const Options& o) {
  if (o.args.size() > 1 || (o.args.size() == 1 && !kxcard::IsPin(o.args[0]))) {
    return Usage("verify-pin takes a PIN of 6 digits, or none to type it on the pad");
  }
  // The pad is its own device: the PIN first, then the reader.
  char pin[KX_PIN_SIZE + 1] = {};
  if (o.args.empty()) {
    if (kxcard::AskPad(1, pin) != 0) return kExitFailure;
  } else {
    std::snprintf(pin, sizeof pin, "%s", o.args[0].c_str());
  }
  const int rc = RunPinCommand(o, [&pin](int* tries, const char** call) {
    *call = "KXCardVerifyPIN";
    return KXCardVerifyPIN(0, pin, tries);
  });
  kxcard::Wipe(pin, sizeof pin);
  return rc;
}

int CommandChangePin(const Options& o) {
  if (o.args.size() != 2 || !kxcard::IsPin(o.args[0]) || !kxcard::IsPin(o.args[1])) {
    return Usage("change-pin takes the old and the new PIN, 6 digits each");
  }
  return RunPinCommand(o, [&o](int* tries, const char** call) {
    *call = "KXCardChangePIN";
    return KXCardChangePIN(0, o.args[0].c_str(), o.args[1].c_str(), tries);
  });
}

// The data-item commands, with the reader named by the options.
int RunItemCommand(const Options& o) {
  kxcard::ItemOptions options;
  options.port = o.reader.port;
  options.baud = o.reader.baud;
  options.json = o.reader.json;
  options.device = o.reader.device;
  options.pin = o.pin;
  options.yes = o.yes;
  const int rc = kxcard::RunItemCommand(o.command, o.args, options);
  return rc >= 0 ? rc : kxcard::RunIdentityCommand(o.command, o.args, options);
}

int RunCommand(const Options& o) {
  if (o.command == "reader") return CommandReader(o);
  if (o.command == "scan") return kxcard::CommandScan(o.reader);
  if (o.command == "script") return kxcard::CommandScript(o.reader, o.args);
  if (o.command == "apdu") return CommandApdu(o);
  if (o.command == "psam-id") return CommandPsamId(o);
  if (o.command == "read-record") return CommandReadRecord(o);
  if (o.command == "verify-pin") return CommandVerifyPin(o);
  if (o.command == "change-pin") return CommandChangePin(o);
  const int rc = RunItemCommand(o);
  if (rc >= 0) return rc;
  return Usage("unknown command " + o.command + " (kxcard --help lists the commands)");
}

}  // namespace

int main(int argc, char** argv) {
  kxcard::PrepareConsole();
  // Each line out as it is written, so a failure on stderr follows the
  // results it came after (the Windows C run time has no line buffering).
#ifdef _WIN32
  std::setvbuf(stdout, nullptr, _IONBF, 0);
#else
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
#endif
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) kxcard::SetJsonErrors(true);
  }
  Options o;
  std::string error;
  constexpr const char* kHelp = " (kxcard --help lists the commands and options)";
  if (!ParseOptions(argc, argv, &o, &error)) return Usage(error + kHelp);
  if (o.command == "help") {
    PrintUsage(stdout);
    return kExitOk;
  }
  if (o.command.empty()) return Usage(std::string("no command given") + kHelp);
  // --capture and replay run over the diagnostic build as -v does, which
  // writes the capture (docs/capture.md).
  if (!o.capture.empty()) kxcard::CaptureTo(o.capture, o.verbose);
  if (o.command == "replay") kxcard::PrepareReplay();
  if ((o.verbose || !o.capture.empty() || o.command == "replay") &&
      !kxcard::RunWithTrace(argv, &error)) {
    return Usage(error);
  }
  if (o.command == "replay") {
    if (o.args.size() != 1) return Usage("replay needs one capture file");
    return kxcard::CommandReplay(argv[0], o.args[0], o.simArgs);
  }
  if (o.command == "version") return CommandVersion(o);
  if (o.command == "errmsg") return CommandErrmsg(o);
  if (o.command == "files") return kxcard::CommandFiles(o.args, o.reader.json);
  // The pad is its own USB device: no reader is opened for it.
  if (o.command == "read-pin") return CommandReadPin(o);
  if (o.sim && o.reader.port == kUsbPort) {
    return Usage("kx-sim serves a reader on a serial line only, not on USB");
  }

  kxcard::Simulator sim;
  if (o.sim) {
    if (!kxcard::StartSimulator(argv[0], o.simArgs, &sim, &error)) {
      return kxcard::Problem("cannot start kx-sim: " + error);
    }
    o.reader.device = sim.devicePath;
    if (!o.reader.json) {
      std::fprintf(stderr, "kx-sim:  simulated reader on %s\n", sim.devicePath.c_str());
    }
  }
  if (!o.reader.device.empty()) {
    int code = 0;
    if (!kxcard::MapComPort(o.reader.port, o.reader.device, &code)) {
      kxcard::StopSimulator(&sim);
      if (code != 0) return Failed(o.reader.json, "KXSetComDevice", code);
      return Usage("--device is not available on this platform");
    }
  }
  const int rc = RunCommand(o);
  kxcard::StopSimulator(&sim);
  return rc;
}
