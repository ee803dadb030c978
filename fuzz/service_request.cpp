// kx-service's request handling (routing, the Host and Origin checks, JSON
// decoding, argument checks, building the answer) on any request, against
// a fake library whose answers come from the input too.
//
// Input: byte 0 the configuration (bit 0 writing allowed, bit 1 typed PIN
// allowed), byte 1 which export fails, byte 2 its code, byte 3 the length of
// what the read exports write, then those bytes; the rest is the request:
// "METHOD TARGET\n", header lines "Name: value\n", an empty line, the body.
//
// Oracle: every answer is JSON with a code (204 and the event stream
// excepted), success only with code 0; a refusal of the service's own
// (-100 to -111) reached no export; a CORS header only for the allowed
// origin; no typed PIN reaches the library unless the configuration allows.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "service/handler.h"
#include "tests/service/fake_library.h"

namespace {

using nlohmann::json;

const char* const kExports[] = {
    "KXReaderInitTest", "GetReaderStatus", "GetReaderInfo",   "KXCpuReset",     "KXReadCardIDAIO",
    "KXReadInfoAIO",    "KXReadBinaryAIO", "KXUpdateInfoAIO", "KXReadPassword", "SetPin",
    "KXCardVerifyPIN",  "KXCardChangePIN", "KXCardUnlockPIN"};
const int kCodes[] = {-1, -2, -4, -5, -6, -11, -12, -15, -27010, -27266, -25537, -1000000};

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  kxservice::Config config;
  config.allowOrigins = {"https://his.example"};
  config.allowWrites = (data[0] & 1) != 0;
  config.allowTypedPin = (data[0] & 2) != 0;
  kxservice::test::FakeLibrary lib;
  lib.results[kExports[data[1] % std::size(kExports)]] = kCodes[data[2] % std::size(kCodes)];
  const std::size_t outputLength = std::min<std::size_t>(data[3], size - 4);
  lib.readOutput.assign(reinterpret_cast<const char*>(data + 4), outputLength);
  lib.readOutput.resize(300, '\0');
  const std::string text(reinterpret_cast<const char*>(data + 4 + outputLength),
                         size - 4 - outputLength);

  kxservice::HttpRequest request;
  std::size_t at = text.find('\n');
  const std::string line = text.substr(0, at);
  const std::size_t space = line.find(' ');
  request.method = line.substr(0, space);
  request.target = space == std::string::npos ? "" : line.substr(space + 1);
  bool originAllowed = false, originGiven = false;
  while (at != std::string::npos) {
    const std::size_t next = text.find('\n', at + 1);
    const std::string header =
        text.substr(at + 1, next == std::string::npos ? next : next - at - 1);
    at = next;
    if (header.empty()) break;
    const std::size_t colon = header.find(": ");
    if (colon == std::string::npos) continue;
    request.headers.emplace_back(header.substr(0, colon), header.substr(colon + 2));
    std::string name = header.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "origin") {
      originGiven = true;
      originAllowed = header.substr(colon + 2) == "https://his.example";
    }
  }
  if (at != std::string::npos) request.body = text.substr(at + 1);

  kxservice::RequestHandler handler(config, lib, 18787);
  const kxservice::HttpResponse response = handler.Handle(request);

  Check(response.status >= 200 && response.status <= 599);
  bool cors = false;
  for (const auto& [name, value] : response.headers) {
    cors = cors || name == "Access-Control-Allow-Origin";
  }
  // Only an origin that normalises to the allowed one (case, a trailing '/').
  if (cors) Check(originGiven);
  if (originAllowed && !cors) Check(response.status == 421 || response.status == 403);
  if (response.status != 204 && !response.eventStream) {
    const json body = json::parse(response.body, nullptr, false);
    Check(body.is_object() && body.contains("code") && body["code"].is_number_integer());
    const int code = body["code"].get<int>();
    Check((response.status == 200) == (code == 0));
    // The service's own refusals (not a library or card code passed on, which
    // may lie below -100 too, nor an internal failure after the card's answer).
    if (code <= kxservice::kHostRefused && code > kxservice::kInternal) Check(lib.calls.empty());
  }
  if (!config.allowTypedPin) {
    for (const std::string& call : lib.calls) {
      // Only the pad's digits (the fake's "123456") or the wipe may reach it.
      if (call.starts_with("SetPin ")) Check(call == "SetPin 123456" || call == "SetPin 000000");
      if (call.starts_with("KXCardVerifyPIN ")) Check(call == "KXCardVerifyPIN 123456");
    }
  }
  return 0;
}
