#include "tools/kxcard_session.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "KX_ICCReader.h"
#include "tools/platform_tools.h"

namespace kxcard {

namespace {

constexpr int kUserCard = 12;
constexpr int kPsam = 14;

// What one port gave.
struct Probe {
  std::string name;
  bool opened = false;
  bool answered = false;
  bool userCard = false;
  bool psam = false;
  std::string reason;  // why it did not open, or what the reader said
};

std::string FirstLine(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

// Whether the card in `interfaceCode` answers a reset; false in *answered
// when the reader itself did not answer.
bool CardAnswers(int interfaceCode, bool* answered, std::string* reason) {
  KXSelectIFD(0, interfaceCode);
  char status = '0';
  const int code = GetReaderStatus(0, &status);
  *answered = code != -2 && code != -4;
  if (code != 0) *reason = Message(code);
  return code == 0 && status == '2';
}

// `mapFirst`: map the port to reader.device before opening it (else it is
// mapped already, or opened by number).
Probe ProbePort(const ReaderChoice& reader, bool mapFirst) {
  Probe p;
  p.name = PortName(reader);
  int code = 0;
  if (mapFirst && !MapComPort(reader.port, reader.device, &code)) {
    p.reason = "cannot map the port";
    return p;
  }
  if (KXReaderInitTest(reader.port, reader.baud) != 0) {
    p.reason = FirstLine(OpenFailureReason(reader.port, reader.device));
    return p;
  }
  p.opened = true;
  p.psam = CardAnswers(kPsam, &p.answered, &p.reason);
  // A silent port is left as it is: a power-off would wait for it again. The
  // next open closes it.
  if (!p.answered) return p;
  p.reason.clear();
  p.userCard = CardAnswers(kUserCard, &p.answered, &p.reason);
  KXReaderPowerOff(0);
  return p;
}

std::string Describe(const Probe& p) {
  if (!p.opened) return p.reason;
  if (!p.answered) return "opened; no reader answered";
  std::string text = "reader answers; user card ";
  text += p.userCard ? "in" : "not in";
  text += ", PSAM ";
  text += p.psam ? "in" : "not in";
  return text;
}

}  // namespace

int CommandScan(const ReaderChoice& reader) {
  struct Target {
    ReaderChoice choice;
    bool mapFirst;
  };
  std::vector<Target> targets;
  // The port --device or --sim mapped comes first.
  const bool mapped = !reader.device.empty() && reader.port != kUsbPort;
  if (mapped) targets.push_back({reader, false});
  for (const ScanPort& port : ScanPorts()) {
    if (mapped && port.port == reader.port) continue;
    ReaderChoice choice = reader;
    choice.port = port.port;
    choice.device = port.device;
    targets.push_back({choice, !port.device.empty()});
  }
  ReaderChoice usb = reader;
  usb.port = kUsbPort;
  usb.device.clear();
  targets.push_back({usb, false});

  std::vector<Probe> probes;
  int readers = 0;
  for (const Target& target : targets) {
    Progress("scanning " + PortName(target.choice));
    const Probe p = ProbePort(target.choice, target.mapFirst);
    ClearProgress();
    if (p.answered) ++readers;
    if (!reader.json) std::printf("%-32s %s\n", p.name.c_str(), Describe(p).c_str());
    probes.push_back(p);
  }
  if (reader.json) {
    std::printf("{\"readers\": %d, \"ports\": [", readers);
    for (std::size_t i = 0; i < probes.size(); ++i) {
      const Probe& p = probes[i];
      std::printf(
          "%s{\"port\": %s, \"opened\": %s, \"reader\": %s, \"userCard\": %s, "
          "\"psam\": %s, \"reason\": %s}",
          i == 0 ? "" : ", ", Json(p.name).c_str(), p.opened ? "true" : "false",
          p.answered ? "true" : "false", p.userCard ? "true" : "false", p.psam ? "true" : "false",
          p.reason.empty() ? "null" : Json(p.reason).c_str());
    }
    std::printf("]}\n");
  }
  if (readers == 0) return Problem("no reader found");
  return kExitOk;
}

namespace {

struct ScriptStep {
  enum Kind { kApdu, kUser, kPsam } kind = kApdu;
  int line = 0;
  std::string command;   // the APDU's bytes
  std::string expected;  // four characters, 0-9 A-F or X
};

bool IsSwPattern(std::string& text) {
  if (text.size() != 4) return false;
  for (char& c : text) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!std::isxdigit(static_cast<unsigned char>(c)) && c != 'X') return false;
  }
  return true;
}

bool SwMatches(const std::string& sw, const std::string& pattern) {
  for (std::size_t i = 0; i < 4; ++i) {
    if (pattern[i] != 'X' && pattern[i] != sw[i]) return false;
  }
  return true;
}

// The script's steps; false with "line N: why" in *error.
bool ParseScript(std::istream& in, std::vector<ScriptStep>* steps, std::string* error) {
  std::string text;
  for (int line = 1; std::getline(in, text); ++line) {
    if (const std::size_t hash = text.find('#'); hash != std::string::npos) text.resize(hash);
    std::istringstream words(text);
    std::vector<std::string> tokens;
    for (std::string word; words >> word;) tokens.push_back(word);
    if (tokens.empty()) continue;
    ScriptStep step;
    step.line = line;
    const std::string& first = tokens[0];
    if (first[0] == '@') {
      if (tokens.size() != 1 || (first != "@user" && first != "@psam")) {
        *error = "line " + std::to_string(line) + ": a card switch is @user or @psam alone";
        return false;
      }
      step.kind = first == "@user" ? ScriptStep::kUser : ScriptStep::kPsam;
      steps->push_back(step);
      continue;
    }
    step.expected = tokens.size() > 1 ? tokens[1] : "9000";
    if (tokens.size() > 2 || !ParseHex(first, &step.command) || step.command.size() < 4 ||
        !IsSwPattern(step.expected)) {
      *error = "line " + std::to_string(line) +
               ": expected \"APDU [SW]\": the APDU as hex digits (4 bytes or more), the "
               "status word as 4 hex digits (X for any)";
      return false;
    }
    steps->push_back(step);
  }
  return true;
}

struct StepResult {
  const ScriptStep* step;
  const char* card;
  std::string reply;  // data and SW
};

std::string HexText(const std::string& bytes) {
  return Hex(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
}

void PrintJson(const std::vector<StepResult>& results, int stoppedAt) {
  std::printf("{\"steps\": [");
  for (std::size_t i = 0; i < results.size(); ++i) {
    const StepResult& r = results[i];
    const std::string data = r.reply.size() >= 2 ? r.reply.substr(0, r.reply.size() - 2) : "";
    const std::string sw = r.reply.size() >= 2 ? r.reply.substr(r.reply.size() - 2) : "";
    std::printf(
        "%s{\"line\": %d, \"card\": \"%s\", \"command\": %s, \"reply\": %s, \"sw\": %s, "
        "\"expected\": %s}",
        i == 0 ? "" : ", ", r.step->line, r.card, Json(ApduText(r.step->command)).c_str(),
        Json(HexText(data)).c_str(), sw.empty() ? "null" : Json(HexText(sw)).c_str(),
        Json(r.step->expected).c_str());
  }
  std::printf("], \"stoppedAt\": %s}\n",
              stoppedAt > 0 ? std::to_string(stoppedAt).c_str() : "null");
}

// The steps of the script FILE (or stdin for "-"); a usage exit code when it
// cannot be read or parsed.
int LoadScript(const std::string& path, std::vector<ScriptStep>* steps) {
  std::string error;
  if (path == "-") return ParseScript(std::cin, steps, &error) ? kExitOk : Usage(error);
  std::ifstream file(path);
  if (!file) return Usage("cannot read " + path);
  return ParseScript(file, steps, &error) ? kExitOk : Usage(error);
}

// One run of a script's steps on a reader whose user card is powered on.
class ScriptRun {
 public:
  explicit ScriptRun(bool json) : json_(json) {}

  // Runs the steps in order until one does not go as the script says.
  void Run(const std::vector<ScriptStep>& steps) {
    for (const ScriptStep& step : steps) {
      const bool goesOn = step.kind == ScriptStep::kApdu ? RunApdu(step) : SwitchCard(step);
      if (!goesOn) {
        stoppedAt = step.line;
        return;
      }
    }
  }

  std::vector<StepResult> results;
  int stoppedAt = 0;  // the line the script stopped at; 0 when it ran to its end
  std::string why;

 private:
  // @user, or @psam (powered on the first time it is named).
  bool SwitchCard(const ScriptStep& step) {
    if (step.kind == ScriptStep::kUser) {
      KXSelectIFD(0, kUserCard);
      card_ = "user";
      return true;
    }
    card_ = "psam";
    if (psamPowered_) {
      KXSelectIFD(0, kPsam);
      return true;
    }
    std::string atr;
    const int code = PowerOnCard(true, &atr);
    psamPowered_ = code == 0;
    if (code != 0)
      why = "the PSAM did not power on: " + std::to_string(code) + "\n" + Message(code);
    return code == 0;
  }

  bool RunApdu(const ScriptStep& step) {
    unsigned char reply[KX_APDU_REPLY_SIZE] = {};
    int length = 0;
    const int code =
        KXRunApdu(0, static_cast<int>(step.command.size()),
                  reinterpret_cast<const unsigned char*>(step.command.data()), &length, reply);
    StepResult result{&step, card_, {}};
    if (length >= 2 && length <= static_cast<int>(sizeof reply)) {
      result.reply.assign(reinterpret_cast<const char*>(reply), static_cast<std::size_t>(length));
    }
    results.push_back(result);
    if (!json_) Print(result);
    if (result.reply.empty()) {
      why = "KXRunApdu failed: " + std::to_string(code) + "\n" + Message(code);
      return false;
    }
    const std::string sw = HexText(result.reply.substr(result.reply.size() - 2));
    if (SwMatches(sw, step.expected)) return true;
    why = "expected SW " + step.expected + ", got " + sw;
    if (code != 0) {
      why += '\n';
      why += Message(code);
    }
    return false;
  }

  static void Print(const StepResult& result) {
    const ScriptStep& step = *result.step;
    std::printf("%d %s > %s\n", step.line, result.card, ApduText(step.command).c_str());
    if (result.reply.empty()) return;
    const std::string data = HexText(result.reply.substr(0, result.reply.size() - 2));
    std::printf("%d %s < %s%sSW %s\n", step.line, result.card, data.c_str(),
                data.empty() ? "" : "  ",
                HexText(result.reply.substr(result.reply.size() - 2)).c_str());
  }

  bool json_;
  const char* card_ = "user";
  bool psamPowered_ = false;
};

}  // namespace

int CommandScript(const ReaderChoice& reader, const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage("script takes one FILE, or - for stdin");
  std::vector<ScriptStep> steps;
  if (const int rc = LoadScript(args[0], &steps); rc != kExitOk) return rc;

  if (const int rc = OpenReader(reader); rc != kExitOk) return rc;
  std::string atr;
  const int code = PowerOnCard(false, &atr);
  if (code != 0) {
    const std::string message = Message(code);
    KXReaderPowerOff(0);
    return Failed(reader.json, "KXCpuReset", code, message);
  }
  ScriptRun run(reader.json);
  run.Run(steps);
  KXSelectIFD(0, kUserCard);
  KXReaderPowerOff(0);
  if (reader.json) PrintJson(run.results, run.stoppedAt);
  if (run.stoppedAt > 0) {
    return Problem("script stopped at line " + std::to_string(run.stoppedAt) + ": " + run.why);
  }
  if (!reader.json) std::printf("script done: %zu APDUs\n", run.results.size());
  return kExitOk;
}

}  // namespace kxcard
