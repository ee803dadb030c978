#include "tools/kxcard_identity.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <utility>

#include "KX_ICCReader.h"
#include "tools/platform_tools.h"

namespace kxcard {

const char kIdentityUsage[] =
    "  id                     the card number, identification code and\n"
    "                         organisation number\n"
    "  set-id REGION SERIAL   write a new identification code: REGION (6 hex\n"
    "                         digits), the card's own middle part, SERIAL (8 hex\n"
    "                         digits) and the PSAM's check bytes (asks first\n"
    "                         unless --yes)\n"
    "  unlock-pin [NEWPIN]    reset the cardholder PIN without the old one\n"
    "                         (to 258147 when NEWPIN is not given)\n"
    "  lock-app DFxx          lock an application directory for good (asks\n"
    "                         first unless --yes)\n";

namespace {

bool HexDigits(const std::string& text, std::size_t count) {
  if (text.size() != count) return false;
  for (const char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool Digits(const std::string& text, std::size_t count) {
  return text.size() == count && text.find_first_not_of("0123456789") == std::string::npos;
}

// Asks on the terminal; true for "y" or "yes".
bool Confirmed(const ItemOptions& o, const std::string& question) {
  if (o.yes) return true;
  if (!JsonErrors() || StdinIsTerminal()) {
    std::fprintf(stderr, "%s [y/N] ", question.c_str());
    std::fflush(stderr);
  }
  std::string answer;
  if (!std::getline(std::cin, answer)) answer.clear();
  for (char& c : answer) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (answer == "y" || answer == "yes") return true;
  Usage("not confirmed, the card is left as it was");
  return false;
}

void Report(const ItemOptions& o, const std::string& json, const std::string& text) {
  std::printf("%s\n", o.json ? json.c_str() : text.c_str());
}

int ReadIdentity(const std::vector<std::string>& args, const ItemOptions& o) {
  if (!args.empty()) return Usage("id takes no arguments");
  RememberPort(o);
  char number[KX_CARD_NUMBER_SIZE] = {};
  char code[KX_IDENTIFICATION_CODE_SIZE] = {};
  char organisation[KX_ORGANISATION_NUMBER_SIZE] = {};
  const int r = KXReadCardIDAIO(number, code, organisation);
  if (r != 0) return Failed(o, "KXReadCardIDAIO", r);
  // The card number is characters, as the card holds them.
  const std::string card = GbkToUtf8(std::string(number, strnlen(number, KX_CARD_NUMBER_SIZE - 1)));
  Report(o,
         "{\"cardNumber\": " + Json(card) + ", \"identificationCode\": " + Json(code) +
             ", \"organisationNumber\": " + Json(organisation) + "}",
         "card number:          " + card + "\nidentification code:  " + code +
             "\norganisation number:  " + organisation);
  return kExitOk;
}

int SetIdentity(const std::vector<std::string>& args, const ItemOptions& o) {
  if (args.size() != 2 || !HexDigits(args[0], 6) || !HexDigits(args[1], 8)) {
    return Usage("set-id takes REGION (6 hex digits) and SERIAL (8 hex digits)");
  }
  if (!Confirmed(o, "Rewrite the card's identification code with region " + args[0] +
                        " and serial " + args[1] + "?")) {
    return kExitUsage;
  }
  RememberPort(o);
  char code[KX_IDENTIFICATION_CODE_SIZE] = {};
  const int r = KXUpdateCardIDAIO(args[0].c_str(), args[1].c_str(), code);
  if (r != 0) return Failed(o, "KXUpdateCardIDAIO", r);
  Report(o, std::string("{\"identificationCode\": ") + Json(code) + "}",
         std::string("identification code written: ") + code);
  return kExitOk;
}

int UnlockPin(const std::vector<std::string>& args, const ItemOptions& o) {
  if (args.size() > 1 || (args.size() == 1 && !Digits(args[0], 6))) {
    return Usage("unlock-pin takes a new PIN of 6 digits, or none for the default 258147");
  }
  std::string pin = args.empty() ? std::string() : args[0];
  const int rc =
      OnOpenReader(o, "KXCardUnlockPIN", [&] { return KXCardUnlockPIN(0, pin.c_str()); });
  Wipe(pin);
  if (rc != kExitOk) return rc;
  Report(
      o,
      std::string("{\"pinReset\": true, \"default\": ") + (args.empty() ? "true" : "false") + "}",
      args.empty() ? "PIN reset to the default 258147" : "PIN reset to the given PIN");
  return kExitOk;
}

int LockApplication(const std::vector<std::string>& args, const ItemOptions& o) {
  if (args.size() != 1 || !HexDigits(args[0], 4)) {
    return Usage("lock-app takes an application directory, 4 hex digits, e.g. DF03");
  }
  std::string directory = args[0];
  for (char& c : directory) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (!Confirmed(o, "Lock application " + directory + " for good? The card cannot undo it.")) {
    return kExitUsage;
  }
  const int rc = OnOpenReader(o, "KXAppLock", [&] { return KXAppLock(0, directory.c_str()); });
  if (rc != kExitOk) return rc;
  Report(o, "{\"locked\": " + Json(directory) + "}", "application " + directory + " locked");
  return kExitOk;
}

}  // namespace

int RunIdentityCommand(const std::string& command, const std::vector<std::string>& args,
                       const ItemOptions& options) {
  using Command = int (*)(const std::vector<std::string>&, const ItemOptions&);
  static const std::pair<const char*, Command> kCommands[] = {
      {"id", ReadIdentity},
      {"set-id", SetIdentity},
      {"unlock-pin", UnlockPin},
      {"lock-app", LockApplication},
  };
  for (const auto& [name, run] : kCommands) {
    if (command == name) return run(args, options);
  }
  return -1;
}

}  // namespace kxcard
