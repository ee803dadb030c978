// The simulator build's addition to the library's objects: at load it puts
// the library on the simulated platform and says once that no card reader is
// used; at the library's first use of the platform the devices are made: a
// reader on COM1 (and on USB) with the user card and the PSAM, and a PIN pad.
//
// The cards and the reader's behaviour come from KX_ICCReader-sim.profile
// beside the library file: kx-sim's profile text, plus a section of this
// build's own (docs/integration.md, "Developing without a reader"):
//
//   [simulator]
//   options = --delay 200 --only-command 26   kx-sim's options (faults, --no-card, --t0, ...)
//   port = 1                                  the reader's COM port
//   usb = yes                                 the reader on USB as well
//   pin-pad = card | console | none | DIGITS  the keys the PIN pad sends
//
// Without the file the reader holds kx-sim's sample card.
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/sim/sim_backend.h"
#include "sim/card.h"
#include "sim/default_profile.h"
#include "sim/hex.h"
#include "sim/pin_pad.h"
#include "sim/profile_text.h"
#include "sim/psam.h"
#include "sim/reader.h"
#include "sim/sim_options.h"
#include "sim/user_card.h"
#include "simlib/console_pin_pad.h"
#include "simlib/host.h"
#include "simlib/real_time_backend.h"

namespace kx::simlib {

namespace {

constexpr char kProfileName[] = "KX_ICCReader-sim.profile";
constexpr char kWarning[] =
    "KX_ICCReader simulator build: no card reader is used; the card is simulated";

enum class PadKeys { kCardPin, kFixed, kConsole, kNone };

struct Settings {
  kx::sim::SimOptions options;
  int port = 1;
  bool usb = true;
  PadKeys pad = PadKeys::kCardPin;
  std::string padKeys;  // kFixed
};

// kx-sim's options that concern its program, not the devices.
constexpr const char* kProgramOptions[] = {
    "--profile",   "--replay",          "--replay-speed", "--console", "--print-path-only",
    "--path-file", "--exit-after-idle", "--help",         "-h",        "--check-bytes"};

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string ApplyOptions(const std::string& value, kx::sim::SimOptions* options) {
  std::vector<std::string> words{"kx-sim"};
  std::istringstream in(value);
  for (std::string word; in >> word;) {
    for (const char* refused : kProgramOptions) {
      if (word == refused || word.rfind(std::string(refused) + "=", 0) == 0) {
        return word + " does not apply to the simulator build";
      }
    }
    words.push_back(word);
  }
  std::vector<const char*> argv;
  for (const std::string& word : words) argv.push_back(word.c_str());
  return kx::sim::ParseSimOptions(static_cast<int>(argv.size()), argv.data(), *options);
}

// One "key = value" line of the [simulator] section; empty or why not.
std::string ApplySetting(const std::string& line, Settings* settings) {
  const std::size_t eq = line.find('=');
  if (eq == std::string::npos) return "expected key = value";
  const std::string key = Trim(line.substr(0, eq));
  const std::string value = Trim(line.substr(eq + 1));
  if (key == "options") return ApplyOptions(value, &settings->options);
  if (key == "port") {
    const bool digits = !value.empty() && value.size() <= 3 &&
                        value.find_first_not_of("0123456789") == std::string::npos;
    const int port = digits ? std::stoi(value) : 0;
    if (port < 1 || port > 255) return "port: a COM port number from 1 to 255";
    settings->port = port;
    return "";
  }
  if (key == "usb") {
    if (value != "yes" && value != "no") return "usb: yes or no";
    settings->usb = value == "yes";
    return "";
  }
  if (key == "pin-pad") {
    if (value == "card") {
      settings->pad = PadKeys::kCardPin;
    } else if (value == "console") {
      settings->pad = PadKeys::kConsole;
    } else if (value == "none") {
      settings->pad = PadKeys::kNone;
    } else if (!value.empty() && value.size() <= 32 &&
               value.find_first_not_of("0123456789") == std::string::npos) {
      settings->pad = PadKeys::kFixed;
      settings->padKeys = value;
    } else {
      return "pin-pad: card, console, none or the digits the pad sends";
    }
    return "";
  }
  return "unknown key " + key;
}

// The profile file's [simulator] section into *settings, the rest (kx-sim's
// profile text) into *profile. The section's lines are left blank in the
// text the card's parser sees, so its line numbers are the file's.
bool ParseProfileFile(const std::string& text, Settings* settings, kx::sim::SimProfile* profile,
                      std::string* error) {
  std::istringstream in(text);
  std::string cardText;
  bool inSection = false;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const std::string content = Trim(line.substr(0, line.find_first_of("#;")));
    if (!content.empty() && content.front() == '[' && content.back() == ']') {
      inSection = content == "[simulator]";
    }
    if (!inSection) {
      cardText += line + "\n";
      continue;
    }
    cardText += "\n";
    if (content.empty() || content.front() == '[') continue;
    if (const std::string why = ApplySetting(content, settings); !why.empty()) {
      *error = "line " + std::to_string(number) + ": " + why;
      return false;
    }
  }
  return kx::sim::ParseProfile(cardText, profile, error);
}

// The PIN's digits as the card holds them (BCD, an odd count padded with F).
std::string PinDigits(const kx::sim::CardProfile& card) {
  std::string digits = kx::sim::HexText(card.pin, '\0');
  digits.erase(digits.find_last_not_of("Ff") + 1);
  return digits;
}

// The reader on its line: kx-sim's trace when asked for, and the trace
// dropped after every batch either way, so a long session does not grow it.
class TracedReader final : public kx::sim::SerialDevice {
 public:
  kx::sim::Reader reader;
  bool print = false;

  std::vector<kx::sim::ReplyChunk> OnHostBytes(const std::uint8_t* bytes, std::size_t n) override {
    std::vector<kx::sim::ReplyChunk> reply = reader.OnHostBytes(bytes, n);
    if (print) {
      for (const kx::sim::TraceEntry& entry : reader.trace()) Say("kx-sim: " + entry.Describe());
    }
    reader.ClearTrace();
    return reply;
  }
};

// A pad that types the user card's PIN as it stands at each prompt.
class CardPinPad final : public kx::sim::SerialDevice {
 public:
  explicit CardPinPad(std::shared_ptr<kx::sim::UserCard> card) : card_(std::move(card)) {}

  std::vector<kx::sim::ReplyChunk> OnHostBytes(const std::uint8_t* bytes, std::size_t n) override {
    pad_.script().typed = PinDigits(card_->profile());
    return pad_.OnHostBytes(bytes, n);
  }

 private:
  std::shared_ptr<kx::sim::UserCard> card_;
  kx::sim::PinPad pad_;
};

// Everything the simulated platform is wired to.
struct Simulator {
  platform::sim::SimBackend sim;
  TracedReader line;
  std::shared_ptr<kx::sim::UserCard> user;
  std::unique_ptr<kx::sim::SerialDevice> pad;
};

void Wire(Simulator& s, const Settings& settings, kx::sim::SimProfile profile) {
  const kx::sim::SimOptions& o = settings.options;
  if (o.t0) profile.card.t0 = profile.psam.t0 = true;
  if (o.noMfName) profile.card.mfNameInSelectReply = false;
  s.user = std::make_shared<kx::sim::UserCard>(profile.card);
  auto psam = std::make_shared<kx::sim::Psam>(profile.psam);
  if (!o.savePath.empty()) {
    s.user->SetOnChange([path = o.savePath, psam](const kx::sim::CardProfile& card) {
      std::string error;
      if (!kx::sim::SaveProfile(path, {card, psam->profile()}, &error)) {
        Say("KX_ICCReader simulator build: " + error);
      }
    });
  }
  kx::sim::Reader& reader = s.line.reader;
  if (!o.noCard) reader.Insert(kx::sim::kSlotContact, s.user);
  if (!o.noPsam) reader.Insert(kx::sim::kSlotPsam, psam);
  if (o.contactlessCard) {
    reader.Insert(kx::sim::kSlotContactless, std::make_shared<kx::sim::UserCard>(profile.card));
  }
  reader.faults() = o.faults;
  reader.SetTiming(kx::sim::TimingOf(o));
  s.line.print = o.trace;

  s.sim.Attach(settings.port, &s.line);
  s.sim.SetBaud(settings.port, o.baud);
  if (settings.usb) {
    s.sim.Hid().Attach({platform::sim::kVendor3C4E, platform::sim::kReaderProduct3C4E}, &s.line);
  }
  switch (settings.pad) {
    case PadKeys::kNone:
      return;
    case PadKeys::kConsole:
      s.pad = std::make_unique<ConsolePinPad>(stdin, stderr);
      break;
    case PadKeys::kCardPin:
      s.pad = std::make_unique<CardPinPad>(s.user);
      break;
    case PadKeys::kFixed: {
      auto pad = std::make_unique<kx::sim::PinPad>();
      pad->script().typed = settings.padKeys;
      s.pad = std::move(pad);
      break;
    }
  }
  s.sim.Hid().Attach({platform::sim::kVendor3C4E, platform::sim::kPinPadProduct}, s.pad.get());
}

std::string ProfilePath() {
  return LibraryDirectory() + kProfileName;
}

// The simulated platform with its devices, made on the library's first use
// of the platform: the device models' tables are objects of other files,
// which may not be built yet while this file's objects are.
Simulator* MakeSimulator() {
  // Never deleted: a host may call the library until the process ends, after
  // the static objects are gone.
  auto* s = new Simulator;
  s->sim.UseRealClock();
  Settings settings;
  kx::sim::SimProfile profile = kx::sim::DefaultProfile();
  const std::string path = ProfilePath();
  if (std::ifstream file(path, std::ios::binary); file) {
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    if (std::string error; !ParseProfileFile(text, &settings, &profile, &error)) {
      // A profile that says something else than was meant is no reason to
      // simulate the sample card: the host finds no reader, and this says
      // why.
      Say("KX_ICCReader simulator build: " + path + ": " + error + "; no reader is simulated");
      return s;
    }
  }
  Wire(*s, settings, profile);
  return s;
}

platform::sim::SimBackend& Simulated() {
  static Simulator* const simulator = MakeSimulator();
  return simulator->sim;
}

constinit RealTimeBackend backend{&Simulated};

struct StartAtLoad {
  StartAtLoad() {
    platform::SetBackend(&backend);
    const std::string path = ProfilePath();
    const bool profiled = static_cast<bool>(std::ifstream(path, std::ios::binary));
    Say(std::string(kWarning) + " (" + (profiled ? path : "the built-in sample card") + ")");
  }
};

const StartAtLoad startAtLoad;

}  // namespace

}  // namespace kx::simlib
