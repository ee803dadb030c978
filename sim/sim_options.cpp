#include "sim/sim_options.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "sim/hex.h"

namespace kx::sim {

namespace {

bool ParseUnsigned(const std::string& text, std::uint64_t max, std::uint64_t& value,
                   int base = 10) {
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    begin += 2;
  }
  if (begin == end) return false;
  const auto [ptr, ec] = std::from_chars(begin, end, value, base);
  return ec == std::errc() && ptr == end && value <= max;
}

std::string Milliseconds(const std::string& value, std::uint32_t& out) {
  std::uint64_t v = 0;
  if (!ParseUnsigned(value, 600000, v)) return "expects milliseconds, 0 to 600000";
  out = static_cast<std::uint32_t>(v);
  return {};
}

std::string OptionalMilliseconds(const std::string& value, std::optional<std::uint32_t>& out) {
  std::uint32_t ms = 0;
  std::string error = Milliseconds(value, ms);
  if (error.empty()) out = ms;
  return error;
}

std::string HexBytes(const std::string& value, Bytes& out) {
  const std::optional<Bytes> bytes = ParseHex(value);
  if (!bytes) return "expects hexadecimal bytes, e.g. 3B6D00 or \"3B 6D 00\"";
  out = *bytes;
  return {};
}

std::string Status(const std::string& value, std::optional<int>& out) {
  std::uint64_t v = 0;
  if (!ParseUnsigned(value, 0xFFFF, v, 16)) return "expects a reader status, 4 hex digits";
  out = static_cast<int>(v);
  return {};
}

const std::vector<SimOptionEntry> kTable = {
    {"--no-card", nullptr, "leave the contact user card slot (0) empty",
     [](SimOptions& o, const std::string&) {
       o.noCard = true;
       return std::string();
     }},
    {"--no-psam", nullptr, "leave the PSAM slot (16) empty",
     [](SimOptions& o, const std::string&) {
       o.noPsam = true;
       return std::string();
     }},
    {"--contactless-card", nullptr, "put a user card in the contactless field (slot 255) too",
     [](SimOptions& o, const std::string&) {
       o.contactlessCard = true;
       return std::string();
     }},
    {"--profile", "FILE", "load the user card and the PSAM from a profile file",
     [](SimOptions& o, const std::string& v) {
       if (v.empty()) return std::string("expects a file name");
       o.profilePath = v;
       return std::string();
     }},
    {"--save", "FILE", "save the cards' profile to FILE after every card write and at exit",
     [](SimOptions& o, const std::string& v) {
       if (v.empty()) return std::string("expects a file name");
       o.savePath = v;
       return std::string();
     }},
    {"--t0", nullptr, "cards answer as T=0 cards: 61xx then GET RESPONSE, 6Cxx for a wrong Le",
     [](SimOptions& o, const std::string&) {
       o.t0 = true;
       return std::string();
     }},
    {"--no-mf-name", nullptr, "the user card's master file reply does not carry its name",
     [](SimOptions& o, const std::string&) {
       o.noMfName = true;
       return std::string();
     }},
    {"--silent", nullptr, "never answer a command (the reader hangs)",
     [](SimOptions& o, const std::string&) {
       o.faults.silent = true;
       return std::string();
     }},
    {"--delay", "MS", "wait MS milliseconds before every reply",
     [](SimOptions& o, const std::string& v) { return Milliseconds(v, o.faults.delayMs); }},
    {"--split", "N", "send every reply in N pieces",
     [](SimOptions& o, const std::string& v) {
       std::uint64_t n = 0;
       if (!ParseUnsigned(v, 4096, n) || n == 0) return std::string("expects 1 to 4096");
       o.faults.splitInto = static_cast<int>(n);
       return std::string();
     }},
    {"--split-gap", "MS", "pause between the pieces of a split reply",
     [](SimOptions& o, const std::string& v) { return Milliseconds(v, o.faults.splitGapMs); }},
    {"--bad-check", nullptr, "send a wrong check byte",
     [](SimOptions& o, const std::string&) {
       o.faults.badCheck = true;
       return std::string();
     }},
    {"--letter-digits", nullptr, "write replies with 0-9A-F instead of 0-9:;<=>?",
     [](SimOptions& o, const std::string&) {
       o.faults.letterDigits = true;
       return std::string();
     }},
    {"--lower-case", nullptr, "write replies with 0-9a-f",
     [](SimOptions& o, const std::string&) {
       o.faults.letterDigits = true;
       o.faults.lowerCaseLetters = true;
       return std::string();
     }},
    {"--garbage", "HEX", "send these bytes before STX",
     [](SimOptions& o, const std::string& v) { return HexBytes(v, o.faults.garbageBeforeStx); }},
    {"--trailing", "HEX", "send these bytes after ETX",
     [](SimOptions& o, const std::string& v) { return HexBytes(v, o.faults.trailingBytes); }},
    {"--status", "HEX", "answer with this reader status (e.g. 1002) and no data",
     [](SimOptions& o, const std::string& v) { return Status(v, o.faults.status); }},
    {"--reply-data", "HEX", "answer with these data instead of the card's",
     [](SimOptions& o, const std::string& v) {
       Bytes data;
       std::string error = HexBytes(v, data);
       if (error.empty()) o.faults.replyData = data;
       return error;
     }},
    {"--length-field", "N", "put N in the reply's length field",
     [](SimOptions& o, const std::string& v) {
       std::uint64_t n = 0;
       if (!ParseUnsigned(v, 0xFFFF, n)) return std::string("expects 0 to 65535");
       o.faults.lengthField = static_cast<int>(n);
       return std::string();
     }},
    {"--damage", "KIND",
     "damage each reply frame on the wire: drop, duplicate, flip (a byte), early-etx, no-etx",
     [](SimOptions& o, const std::string& v) {
       static const std::pair<const char*, WireDamage> kKinds[] = {
           {"drop", WireDamage::kDrop},
           {"duplicate", WireDamage::kDuplicate},
           {"flip", WireDamage::kFlip},
           {"early-etx", WireDamage::kEarlyEtx},
           {"no-etx", WireDamage::kNoEtx}};
       for (const auto& [name, kind] : kKinds) {
         if (v == name) {
           o.faults.damage = kind;
           return std::string();
         }
       }
       return std::string("expects drop, duplicate, flip, early-etx or no-etx");
     }},
    {"--damage-at", "N", "the damaged byte, counted from STX (default 5, the first status digit)",
     [](SimOptions& o, const std::string& v) {
       std::uint64_t n = 0;
       if (!ParseUnsigned(v, 4096, n)) return std::string("expects 0 to 4096");
       o.faults.damageAt = static_cast<std::size_t>(n);
       return std::string();
     }},
    {"--pin-tries", "N", "the user card starts with N PIN tries left (0: the PIN is blocked)",
     [](SimOptions& o, const std::string& v) {
       std::uint64_t n = 0;
       if (!ParseUnsigned(v, 15, n)) return std::string("expects 0 to 15");
       o.pinTries = static_cast<int>(n);
       return std::string();
     }},
    {"--pull-card-after", "N",
     "take the user card out of slot 0 after the reader's first N commands",
     [](SimOptions& o, const std::string& v) {
       std::uint64_t n = 0;
       if (!ParseUnsigned(v, 1000000, n)) return std::string("expects a count");
       o.pullCardAt = static_cast<std::size_t>(n);
       return std::string();
     }},
    {"--only-command", "HEX", "limit the faults to one command: 22, 23, 24, 25 or 26",
     [](SimOptions& o, const std::string& v) {
       std::uint64_t n = 0;
       if (!ParseUnsigned(v, 0xFF, n, 16)) return std::string("expects one hex byte");
       o.faults.onlyCommand = static_cast<int>(n);
       return std::string();
     }},
    {"--after", "N", "let the first N replies the faults apply to pass untouched",
     [](SimOptions& o, const std::string& v) {
       std::uint64_t n = 0;
       if (!ParseUnsigned(v, 1000000, n)) return std::string("expects a count");
       o.faults.after = static_cast<int>(n);
       return std::string();
     }},
    {"--times", "N", "misbehave on N replies only, then answer normally",
     [](SimOptions& o, const std::string& v) {
       std::uint64_t n = 0;
       if (!ParseUnsigned(v, 1000000, n) || n == 0) return std::string("expects a count above 0");
       o.faults.remaining = static_cast<int>(n);
       return std::string();
     }},
    {"--baud", "N", "pace the line at N baud both ways (10 bit times a byte)",
     [](SimOptions& o, const std::string& v) {
       std::uint64_t n = 0;
       if (!ParseUnsigned(v, 4000000, n) || n < 50) return std::string("expects 50 to 4000000");
       o.baud = static_cast<std::uint32_t>(n);
       return std::string();
     }},
    {"--card-time", "MS", "each command takes the cards MS ms (default 3 with --baud, else 0)",
     [](SimOptions& o, const std::string& v) { return OptionalMilliseconds(v, o.cardTimeMs); }},
    {"--crypto-time", "MS",
     "the PSAM's key diversification and encryption take MS ms (default 15 with --baud)",
     [](SimOptions& o, const std::string& v) { return OptionalMilliseconds(v, o.cryptoTimeMs); }},
    {"--replay", "FILE",
     "play the device side of a capture (.kxcap): answer each frame with the recorded reply, "
     "stop at the first difference",
     [](SimOptions& o, const std::string& v) {
       o.replayPath = v;
       return std::string();
     }},
    {"--replay-speed", "recorded|fast", "replies at the recorded pace (default) or at once",
     [](SimOptions& o, const std::string& v) {
       if (v != "recorded" && v != "fast") return std::string("--replay-speed: recorded or fast");
       o.replayFast = v == "fast";
       return std::string();
     }},
    {"--trace", nullptr,
     "print every frame and APDU, decoded, on stderr (with --baud: and each one's share of the "
     "line)",
     [](SimOptions& o, const std::string&) {
       o.trace = true;
       return std::string();
     }},
    {"--console", nullptr, "read commands on stdin (type \"help\")",
     [](SimOptions& o, const std::string&) {
       o.console = true;
       return std::string();
     }},
    {"--print-path-only", nullptr, "first stdout line is just the device path",
     [](SimOptions& o, const std::string&) {
       o.printPathOnly = true;
       return std::string();
     }},
    {"--path-file", "FILE", "write the device path to FILE once the reader serves",
     [](SimOptions& o, const std::string& v) {
       if (v.empty()) return std::string("expects a file name");
       o.pathFile = v;
       return std::string();
     }},
    {"--exit-after-idle", "SECONDS", "stop after SECONDS without host bytes (fractions allowed)",
     [](SimOptions& o, const std::string& v) {
       char* end = nullptr;
       const double seconds = std::strtod(v.c_str(), &end);
       if (v.empty() || end != v.c_str() + v.size() || !std::isfinite(seconds) || seconds <= 0 ||
           seconds > 1e7) {
         return std::string("expects a number of seconds above 0");
       }
       o.exitAfterIdleMs = static_cast<std::uint64_t>(std::llround(seconds * 1000));
       if (o.exitAfterIdleMs == 0) o.exitAfterIdleMs = 1;
       return std::string();
     }},
    {"--check-bytes", "CODE",
     "print the PSAM's check bytes for identification code CODE\n"
     "                            (its first 24 hex digits) on this user card, and exit;\n"
     "                            with 32 digits, exit 1 when the last 8 differ",
     [](SimOptions& o, const std::string& v) {
       const std::optional<Bytes> code = ParseHex(v);
       if (!code || v.find_first_of(" \t") != std::string::npos ||
           (code->size() != 12 && code->size() != 16)) {
         return std::string("expects 24 or 32 hex digits");
       }
       o.checkBytesCode = v;
       return std::string();
     }},
    {"--help", nullptr, "show this text",
     [](SimOptions& o, const std::string&) {
       o.help = true;
       return std::string();
     }},
};

}  // namespace

const std::vector<SimOptionEntry>& SimOptionTable() {
  return kTable;
}

ReaderTiming TimingOf(const SimOptions& options) {
  const bool paced = options.baud != 0;
  ReaderTiming timing;
  timing.commandMs = options.cardTimeMs.value_or(paced ? kPacedCardTimeMs : 0);
  timing.cryptoMs = options.cryptoTimeMs.value_or(paced ? kPacedCryptoTimeMs : timing.commandMs);
  return timing;
}

std::string ParseSimOptions(int argc, const char* const* argv, SimOptions& options) {
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    std::string value;
    bool inlineValue = false;
    if (const std::size_t eq = word.find('=');
        word.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = word.substr(eq + 1);
      word.resize(eq);
      inlineValue = true;
    }
    if (word == "-h") word = "--help";
    const SimOptionEntry* entry = nullptr;
    for (const SimOptionEntry& s : kTable) {
      if (word == s.name) entry = &s;
    }
    if (entry == nullptr) return "unknown option " + word;
    if (entry->argument == nullptr && inlineValue) return word + " takes no value";
    if (entry->argument != nullptr && !inlineValue) {
      if (i + 1 >= argc) return word + " needs " + entry->argument;
      value = argv[++i];
    }
    if (std::string error = entry->apply(options, value); !error.empty()) {
      return word + " " + value + ": " + error;
    }
  }
  return {};
}

std::string SimUsage(const std::string& program) {
  std::string text = "usage: " + program +
                     " [options]\n"
                     "Serves a simulated card reader (user card in slot 0, PSAM in slot 16) on a\n"
                     "pseudo-terminal. The first line on stdout is\n"
                     "  kx-sim: reader on /dev/pts/N\n"
                     "(or just the path with --print-path-only). Stop with SIGINT or SIGTERM.\n\n"
                     "options:\n";
  for (const SimOptionEntry& s : kTable) {
    std::string left = std::string("  ") + s.name;
    if (s.argument != nullptr) left += std::string(" ") + s.argument;
    if (left.size() < 28)
      left.resize(28, ' ');
    else
      left += "  ";
    text += left + s.help + "\n";
  }
  return text;
}

}  // namespace kx::sim
