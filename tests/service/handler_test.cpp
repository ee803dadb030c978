// kx-service's request handling, at its own interface (a request in, a
// response out) against a fake library: every refusal first, each checked
// to have reached no export; then what each endpoint asks of the library
// and how its answer reads.
#include "service/handler.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "dictionary/dictionary.h"
#include "service/config.h"
#include "service/items.h"
#include "service/text.h"
#include "tests/service/fake_library.h"

namespace kxservice {
namespace {

using nlohmann::json;
using test::FakeLibrary;

constexpr int kPort = 18787;
const char kOrigin[] = "https://his.example.org";

struct Setup {
  bool writes = false;
  bool typedPin = false;
};

Config MakeConfig(Setup s) {
  Config c;
  c.allowOrigins = {kOrigin};
  c.allowWrites = s.writes;
  c.allowTypedPin = s.typedPin;
  return c;
}

HttpRequest Request(const std::string& method, const std::string& target,
                    const std::string& body = "", Headers extra = {}) {
  HttpRequest r{method, target, {{"Host", "127.0.0.1:18787"}}, body};
  if (!body.empty()) r.headers.emplace_back("Content-Type", "application/json");
  for (auto& h : extra) r.headers.push_back(h);
  return r;
}

std::string Header(const HttpResponse& r, const std::string& name) {
  for (const auto& [k, v] : r.headers) {
    if (k == name) return v;
  }
  return "";
}

struct Refusal {
  const char* what;
  HttpRequest request;
  Setup setup;
  int status;
  int code;
};

TEST(ServiceRefusals, EachGetsItsStatusAndCodeAndNoExportIsCalled) {
  const std::string big(kMaxBody + 1, ' ');
  const std::string deep = R"({"pin":[[[[[["1"]]]]]]})";
  const Refusal rows[] = {
      {"no Host", {"GET", "/v1/", {}, ""}, {}, 421, kHostRefused},
      {"rebinding Host", Request("GET", "/v1/card/identity", "", {}), {}, 421, kHostRefused},
      {"Host on another port",
       {"GET", "/v1/", {{"Host", "localhost:80"}}, ""},
       {},
       421,
       kHostRefused},
      {"two Hosts",
       {"GET", "/v1/", {{"Host", "localhost:18787"}, {"host", "localhost:18787"}}, ""},
       {},
       421,
       kHostRefused},
      {"origin not allowed",
       Request("GET", "/v1/card/identity", "", {{"Origin", "https://evil.example"}}),
       {},
       403,
       kOriginRefused},
      {"origin null",
       Request("GET", "/v1/reader", "", {{"Origin", "null"}}),
       {},
       403,
       kOriginRefused},
      {"preflight from an origin not allowed",
       Request("OPTIONS", "/v1/pin/verify", "",
               {{"Origin", "http://localhost:9999"},
                {"Access-Control-Request-Private-Network", "true"}}),
       {},
       403,
       kOriginRefused},
      {"unknown path", Request("GET", "/v1/card/apdu"), {}, 404, kNotFound},
      {"no version", Request("GET", "/reader"), {}, 404, kNotFound},
      {"unknown item", Request("GET", "/v1/card/files/3F00/EF05/records/9"), {}, 404, kNotFound},
      {"unknown file", Request("GET", "/v1/card/files/DF09/EF05"), {}, 404, kNotFound},
      {"wrong method", Request("DELETE", "/v1/reader"), {}, 405, kMethodRefused},
      {"read by PUT while writing is off",
       Request("PUT", "/v1/card/files/3F00/EF06/records/2", R"({"value":"x"})"),
       {},
       403,
       kWritesDisabled},
      {"change PIN while writing is off",
       Request("POST", "/v1/pin/change", R"({"pinPad":true})"),
       {},
       403,
       kWritesDisabled},
      {"unlock while writing is off",
       Request("POST", "/v1/pin/unlock", ""),
       {},
       403,
       kWritesDisabled},
      {"directory not hex", Request("GET", "/v1/card/files/3G00/EF05"), {}, 400, kBadRequest},
      {"file of five digits", Request("GET", "/v1/card/files/3F00/EF055"), {}, 400, kBadRequest},
      {"record 0", Request("GET", "/v1/card/files/3F00/EF05/records/0"), {}, 400, kBadRequest},
      {"record 256", Request("GET", "/v1/card/files/3F00/EF05/records/256"), {}, 400, kBadRequest},
      {"record in hex",
       Request("GET", "/v1/card/files/3F00/EF05/records/0x1"),
       {},
       400,
       kBadRequest},
      {"binary without length",
       Request("GET", "/v1/card/files/DF0B/EF0C/binary?offset=0"),
       {},
       400,
       kBadRequest},
      {"binary length 0",
       Request("GET", "/v1/card/files/DF0B/EF0C/binary?offset=0&length=0"),
       {},
       400,
       kBadRequest},
      {"binary length too long",
       Request("GET", "/v1/card/files/DF0B/EF0C/binary?offset=0&length=2049"),
       {},
       400,
       kBadRequest},
      {"binary offset twice",
       Request("GET", "/v1/card/files/DF0B/EF0C/binary?offset=0&offset=1&length=2"),
       {},
       400,
       kBadRequest},
      {"binary offset negative",
       Request("GET", "/v1/card/files/DF0B/EF0C/binary?offset=-1&length=2"),
       {},
       400,
       kBadRequest},
      {"unknown query parameter", Request("GET", "/v1/reader?debug=1"), {}, 400, kBadRequest},
      {"GET with a body", Request("GET", "/v1/reader", "{}"), {}, 400, kBadRequest},
      {"body too large", Request("POST", "/v1/pin/verify", big), {}, 413, kTooLarge},
      {"body not JSON typed",
       {"POST",
        "/v1/pin/verify",
        {{"Host", "localhost:18787"}, {"Content-Type", "text/plain"}},
        R"({"pinPad":true})"},
       {},
       415,
       kNotJson},
      {"malformed JSON",
       Request("POST", "/v1/pin/verify", R"({"pinPad":true)"),
       {},
       400,
       kBadRequest},
      {"JSON not an object", Request("POST", "/v1/pin/verify", "[true]"), {}, 400, kBadRequest},
      {"JSON nested deep", Request("POST", "/v1/pin/verify", deep), {}, 400, kBadRequest},
      {"unknown field",
       Request("POST", "/v1/pin/verify", R"({"pinPad":true,"apdu":"00A4"})"),
       {},
       400,
       kBadRequest},
      {"wrong type",
       Request("POST", "/v1/pin/verify", R"({"pinPad":"yes"})"),
       {},
       400,
       kBadRequest},
      {"PIN as a number",
       Request("POST", "/v1/pin/verify", R"({"pin":123456})"),
       {},
       400,
       kBadRequest},
      {"no PIN at all", Request("POST", "/v1/pin/verify", "{}"), {}, 400, kBadRequest},
      {"PIN and pad at once",
       Request("POST", "/v1/pin/verify", R"({"pin":"123456","pinPad":true})"),
       {.typedPin = true},
       400,
       kBadRequest},
      {"typed PIN while not allowed",
       Request("POST", "/v1/pin/verify", R"({"pin":"123456"})"),
       {},
       403,
       kTypedPinDisabled},
      {"typed PIN of five digits",
       Request("POST", "/v1/pin/verify", R"({"pin":"12345"})"),
       {.typedPin = true},
       400,
       kBadRequest},
      {"typed PIN with a letter",
       Request("POST", "/v1/pin/verify", R"({"pin":"12345a"})"),
       {.typedPin = true},
       400,
       kBadRequest},
      {"PIN file read without a PIN",
       Request("GET", "/v1/card/files/DF01/EF05/records/2"),
       {},
       403,
       kPinNeeded},
      {"PIN file read, typed PIN not allowed",
       Request("POST", "/v1/card/files/DF01/EF05", R"({"pin":"123456"})"),
       {},
       403,
       kTypedPinDisabled},
      {"write: value missing",
       Request("PUT", "/v1/card/files/3F00/EF06/records/2", "{}"),
       {.writes = true},
       400,
       kBadRequest},
      {"write: number for a text",
       Request("PUT", "/v1/card/files/3F00/EF06/records/2", R"({"value":5})"),
       {.writes = true},
       400,
       kBadRequest},
      {"write: text too long",
       Request("PUT", "/v1/card/files/3F00/EF06/records/3", R"({"value":"男女"})"),
       {.writes = true},
       400,
       kBadRequest},
      {"write: hex item of the wrong length",
       Request("PUT", "/v1/card/files/3F00/EF06/records/6", R"({"value":"201201"})"),
       {.writes = true},
       400,
       kBadRequest},
      {"write: hex item not hex",
       Request("PUT", "/v1/card/files/3F00/EF06/records/6", R"({"value":"2012010G"})"),
       {.writes = true},
       400,
       kBadRequest},
      {"unlock with a short PIN",
       Request("POST", "/v1/pin/unlock", R"({"newPin":"1234"})"),
       {.writes = true, .typedPin = true},
       400,
       kBadRequest},
  };
  for (const Refusal& row : rows) {
    HttpRequest request = row.request;
    if (std::string(row.what) == "rebinding Host") request.headers[0].second = "evil.example:18787";
    FakeLibrary lib;
    RequestHandler handler(MakeConfig(row.setup), lib, kPort);
    const HttpResponse r = handler.Handle(request);
    EXPECT_EQ(r.status, row.status) << row.what << ": " << r.body;
    const json body = json::parse(r.body, nullptr, false);
    ASSERT_FALSE(body.is_discarded()) << row.what << ": " << r.body;
    EXPECT_EQ(body.value("code", 0), row.code) << row.what << ": " << r.body;
    EXPECT_FALSE(body.value("message", "").empty()) << row.what;
    EXPECT_TRUE(lib.calls.empty()) << row.what << ": the library saw " << lib.calls.front();
    EXPECT_EQ(Header(r, "Access-Control-Allow-Origin"), "") << row.what;
  }
}

struct Exchange {
  const char* what;
  HttpRequest request;
  Setup setup;
  int status;
  std::vector<std::string> calls;
  const char* answer;  // a JSON value the answer's "data" (or the error) must contain
};

TEST(ServiceEndpoints, EachCallsTheLibraryAsItShouldAndAnswersItsData) {
  const Exchange rows[] = {
      {"reader",
       Request("GET", "/v1/reader"),
       {},
       200,
       {"KXReaderInitTest 1 9600", "KXSelectIFD 12", "GetReaderStatus", "GetReaderInfo",
        "KXReaderPowerOff"},
       R"({"model":"TXR-7700","version":"20111201040014","cardPresent":true})"},
      {"identity",
       Request("GET", "/v1/card/identity"),
       {},
       200,
       {"KXReadCardIDAIO"},
       R"({"cardNumber":"K12345678","organisationNumber":"330329100001000000000001"})"},
      {"PIN file by the pad",
       Request("POST", "/v1/card/files/DF01/EF05/records/1", R"({"pinPad":true})"),
       {},
       200,
       {"KXReadPassword 1", "SetPin 123456", "KXReadInfoAIO DF01 EF05 1", "SetPin 000000"},
       R"({"name":"户口类型","record":1})"},
      {"PIN file by a typed PIN",
       Request("POST", "/v1/card/files/DF01/EF05/records/1", R"({"pin":"654321"})"),
       {.typedPin = true},
       200,
       {"SetPin 654321", "KXReadInfoAIO DF01 EF05 1", "SetPin 000000"},
       R"({"record":1})"},
      {"a free file sends no PIN even when given one",
       Request("POST", "/v1/card/files/3F00/EF05/records/7", R"({"pin":"654321"})"),
       {.typedPin = true},
       200,
       {"KXReadInfoAIO 3F00 EF05 7"},
       R"({"name":"卡号"})"},
      {"lower-case identifiers",
       Request("GET", "/v1/card/files/df0b/ef0c/binary?length=2&offset=3"),
       {},
       200,
       {"KXReadBinaryAIO DF0B EF0C 3 2"},
       R"({"directory":"DF0B","offset":3})"},
      {"transparent file whole",
       Request("GET", "/v1/card/files/DF0B/EF0C"),
       {},
       200,
       {"KXReadBinaryAIO DF0B EF0C 0 256"},
       R"({"directory":"DF0B"})"},
      {"verify by the pad",
       Request("POST", "/v1/pin/verify", R"({"pinPad":true})"),
       {},
       200,
       {"KXReadPassword 1", "KXReaderInitTest 1 9600", "KXSelectIFD 12", "KXCpuReset",
        "KXCardVerifyPIN 123456", "KXReaderPowerOff"},
       R"({"verified":true})"},
      {"change by typed PINs",
       Request("POST", "/v1/pin/change", R"({"oldPin":"123456","newPin":"654321"})"),
       {.writes = true, .typedPin = true},
       200,
       {"KXReaderInitTest 1 9600", "KXSelectIFD 12", "KXCpuReset", "KXCardChangePIN 123456 654321",
        "KXReaderPowerOff"},
       R"({"changed":true})"},
      {"unlock to the default PIN",
       Request("POST", "/v1/pin/unlock", ""),
       {.writes = true},
       200,
       {"KXReaderInitTest 1 9600", "KXSelectIFD 12", "KXCpuReset", "KXCardUnlockPIN ",
        "KXReaderPowerOff"},
       R"({"unlocked":true})"},
      {"write a text item",
       Request("PUT", "/v1/card/files/3F00/EF06/records/2", R"({"value":"张三"})"),
       {.writes = true},
       200,
       {"KXUpdateInfoAIO 3F00 EF06 2"},
       R"({"name":"姓名"})"},
  };
  for (const Exchange& row : rows) {
    FakeLibrary lib;
    lib.readOutput = "1";
    RequestHandler handler(MakeConfig(row.setup), lib, kPort);
    const HttpResponse r = handler.Handle(row.request);
    EXPECT_EQ(r.status, row.status) << row.what << ": " << r.body;
    EXPECT_EQ(lib.calls, row.calls) << row.what;
    const json body = json::parse(r.body);
    EXPECT_EQ(body["code"], 0) << row.what;
    const json expected = json::parse(row.answer);
    for (const auto& [key, value] : expected.items()) {
      EXPECT_EQ(body["data"][key], value) << row.what << ": " << key << " in " << r.body;
    }
  }
}

TEST(ServiceEndpoints, AWholeFileIsSplitIntoItsNamedItemsAsTheCardHoldsThem) {
  FakeLibrary lib;
  // 3F00 EF05: code (32 hex), type (1 text), version (4 text), organisation
  // (24 hex), two dates (8 hex each), card number (9 text, GBK).
  lib.readOutput = std::string("330329D15600000500006074BD3D5A3F") + "1" + "2.00" +
                   "330329100001000000000001" + "20120101" + "20220101" + "K123456\xd5\xc5";
  RequestHandler handler(MakeConfig({}), lib, kPort);
  const json body = json::parse(handler.Handle(Request("GET", "/v1/card/files/3F00/EF05")).body);
  const json items = body["data"]["items"];
  ASSERT_EQ(items.size(), 7u) << body;
  EXPECT_EQ(items[0]["name"], "卡的识别码");
  EXPECT_EQ(items[0]["value"], "330329D15600000500006074BD3D5A3F");
  EXPECT_EQ(items[2]["value"], "2.00");
  EXPECT_EQ(items[5]["value"], "20220101");
  EXPECT_EQ(items[6]["record"], 7);
  EXPECT_EQ(items[6]["value"], "K123456张") << "GBK text comes out as UTF-8";
  EXPECT_EQ(lib.calls, std::vector<std::string>{"KXReadInfoAIO 3F00 EF05 0"});
}

TEST(ServiceEndpoints, ALibraryFailureCarriesItsCodeItsUtf8MessageAndAFittingStatus) {
  const struct {
    const char* failing;
    int code;
    HttpRequest request;
    int status;
  } rows[] = {
      {"KXReadCardIDAIO", -1, Request("GET", "/v1/card/identity"), 503},
      {"KXReadCardIDAIO", -6, Request("GET", "/v1/card/identity"), 409},
      {"KXReadInfoAIO", -27010, Request("GET", "/v1/card/files/3F00/EF05"), 403},  // 6982
      {"KXReadInfoAIO", -27266, Request("GET", "/v1/card/files/3F00/EF05"), 404},  // 6A82
      {"KXReaderInitTest", -2, Request("GET", "/v1/reader"), 503},
      {"KXCardVerifyPIN", -11, Request("POST", "/v1/pin/verify", R"({"pinPad":true})"), 403},
      {"KXReadPassword", -4, Request("POST", "/v1/pin/verify", R"({"pinPad":true})"), 503},
      {"KXUpdateInfoAIO", -27013,
       Request("PUT", "/v1/card/files/3F00/EF06/records/2", R"({"value":"A"})"), 502},
  };
  for (const auto& row : rows) {
    FakeLibrary lib;
    lib.results[row.failing] = row.code;
    RequestHandler handler(MakeConfig({.writes = true}), lib, kPort);
    const HttpResponse r = handler.Handle(row.request);
    const json body = json::parse(r.body);
    EXPECT_EQ(r.status, row.status) << row.failing << " " << row.code;
    EXPECT_EQ(body["code"], row.code) << r.body;
    EXPECT_EQ(body["message"], "参数错误") << r.body;
    if (row.code == -11) {
      EXPECT_EQ(body["triesLeft"], 2) << r.body;
    }
    // An opened reader is closed again whatever failed after the opening.
    bool opened = false, closed = false;
    for (const std::string& c : lib.calls) {
      opened = opened || (c.starts_with("KXReaderInitTest") && row.code != -2);
      closed = closed || c == "KXReaderPowerOff";
    }
    EXPECT_EQ(opened, closed) << row.failing;
  }
}

TEST(ServiceCors, AnAllowedOriginGetsItsPreflightAndItsHeadersOnEveryAnswer) {
  FakeLibrary lib;
  RequestHandler handler(MakeConfig({}), lib, kPort);
  const HttpResponse preflight = handler.Handle(
      Request("OPTIONS", "/v1/pin/verify", "",
              {{"Origin", kOrigin}, {"Access-Control-Request-Private-Network", "true"}}));
  EXPECT_EQ(preflight.status, 204);
  EXPECT_EQ(Header(preflight, "Access-Control-Allow-Origin"), kOrigin);
  EXPECT_EQ(Header(preflight, "Access-Control-Allow-Private-Network"), "true");
  EXPECT_EQ(Header(preflight, "Access-Control-Allow-Methods"), "POST");
  const HttpResponse plain = handler.Handle(
      Request("OPTIONS", "/v1/reader", "", {{"Origin", "HTTPS://His.Example.org/"}}));
  EXPECT_EQ(Header(plain, "Access-Control-Allow-Private-Network"), "");
  const HttpResponse read = handler.Handle(Request("GET", "/v1/reader", "", {{"Origin", kOrigin}}));
  EXPECT_EQ(read.status, 200);
  EXPECT_EQ(Header(read, "Access-Control-Allow-Origin"), kOrigin);
  EXPECT_EQ(Header(read, "Vary"), "Origin");
  const HttpResponse local = handler.Handle(Request("GET", "/v1/"));
  EXPECT_EQ(local.status, 200) << "a request without Origin, a local program's, is served";
  EXPECT_EQ(Header(local, "Access-Control-Allow-Origin"), "");
  for (const char* host : {"localhost:18787", "LOCALHOST:18787", "[::1]:18787"}) {
    EXPECT_EQ(handler.Handle({"GET", "/v1/", {{"Host", host}}, ""}).status, 200) << host;
  }
  const HttpResponse events = handler.Handle(Request("GET", "/v1/events"));
  EXPECT_TRUE(events.eventStream);
}

TEST(ServiceConfig, FilesAndTheCommandLineSetWhatTheyName) {
  Config c;
  std::string error;
  ASSERT_TRUE(
      ApplyConfigText("# a comment\nallow_origin = https://A.example:8443/\n"
                      "allow_writes = yes\nport=19000\ncom_port = 3\n",
                      "f", &c, &error))
      << error;
  EXPECT_EQ(c.allowOrigins, std::vector<std::string>{"https://a.example:8443"});
  EXPECT_TRUE(c.allowWrites);
  EXPECT_FALSE(c.allowTypedPin);
  EXPECT_EQ(c.port, 19000);
  EXPECT_EQ(c.comPort, 3);
  for (const char* bad : {"allow_origin = https://a.example/path", "allow_writes = maybe",
                          "port = 70000", "pin = 123456", "just words"}) {
    Config d;
    EXPECT_FALSE(ApplyConfigText(bad, "f", &d, &error)) << bad;
    EXPECT_NE(error.find("f:1:"), std::string::npos) << error;
  }
  const char* argv[] = {
      "kx-service",        "--port",   "18800",    "--allow-origin", "http://localhost:8000",
      "--allow-typed-pin", "--config", "/dev/null"};
  Config e;
  EXPECT_EQ(LoadConfig(8, const_cast<char**>(argv), &e, &error), 0) << error;
  EXPECT_EQ(e.port, 18800);
  EXPECT_TRUE(e.allowTypedPin);
  EXPECT_EQ(e.allowOrigins.size(), 1u);
}

// The service's table of items and PIN files against the library's dictionary.
TEST(ServiceItems, TheTableAgreesWithTheLibrarysDictionaryRowByRow) {
  const auto& items = Items();
  ASSERT_EQ(items.size(), static_cast<std::size_t>(kx::kRecordItemCount));
  for (std::size_t i = 0; i < items.size(); ++i) {
    const kx::TagCardRecordInfoRow& row = kx::TagCardRecordInfo[i];
    const Item& item = items[i];
    EXPECT_STREQ(item.directory, row.directory) << i;
    EXPECT_STREQ(item.file, row.file) << i;
    EXPECT_EQ(item.fileKind, row.fileKind) << i;
    EXPECT_EQ(item.record, row.recordNumber) << i;
    std::string name;  // the library holds its names in GBK
    EXPECT_TRUE(GbkToUtf8(row.itemName, &name)) << i;
    EXPECT_EQ(item.name, name) << i;
    EXPECT_EQ(item.length, row.length) << i;
    const ItemKind kinds[] = {ItemKind::kNumber, ItemKind::kText, ItemKind::kBytes,
                              ItemKind::kBytes, ItemKind::kHexBytes};
    EXPECT_EQ(item.kind, kinds[row.dataType]) << i;
  }
  for (int i = 0; i < kx::kFileCount; ++i) {
    const kx::FileKeyRelationRow& f = kx::FileKeyRelation[i];
    const kx::AccessKind kind = kx::ParseAccessCondition(f.readCondition).kind;
    EXPECT_EQ(ReadNeedsPin(f.directory, f.file),
              kind == kx::AccessKind::PinOnly || kind == kx::AccessKind::PinAndKey)
        << f.directory << " " << f.file;
  }
}

}  // namespace
}  // namespace kxservice
