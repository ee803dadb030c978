#include "service/handler.h"

#include <cctype>
#include <cstring>
#include <exception>
#include <nlohmann/json.hpp>

#include "KX_ICCReader.h"
#include "service/items.h"
#include "service/text.h"

namespace kxservice {

using json = nlohmann::json;

namespace {

constexpr int kBaud = 9600;
constexpr int kContactUserCard = 12;
constexpr int kMaxBinaryLength = 2048;
constexpr int kMaxJsonDepth = 4;

std::string Dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The value of header `name` and how often it came.
const std::string* FindHeader(const Headers& headers, const char* name, int* count) {
  const std::string* found = nullptr;
  *count = 0;
  for (const auto& [key, value] : headers) {
    if (Lower(key) == name) {
      found = &value;
      ++*count;
    }
  }
  return found;
}

bool HostAllowed(const std::string& host, int port) {
  const std::string p = ":" + std::to_string(port);
  const std::string h = Lower(host);
  return h == "127.0.0.1" + p || h == "[::1]" + p || h == "localhost" + p;
}

// Deeper nesting than any request of ours has is refused before parsing.
bool ShallowJson(const std::string& text) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      if (++depth > kMaxJsonDepth) return false;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return true;
}

// Six PIN digits, wiped when the request ends.
class PinBuffer {
 public:
  PinBuffer() = default;
  PinBuffer(const PinBuffer&) = delete;
  PinBuffer& operator=(const PinBuffer&) = delete;
  ~PinBuffer() { Wipe(); }
  char* data() { return digits_; }
  void Wipe() {
    volatile char* p = digits_;
    for (std::size_t i = 0; i < sizeof digits_; ++i) p[i] = 0;
  }

 private:
  char digits_[KX_PIN_SIZE] = {};
};

void WipeString(std::string& s) {
  volatile char* p = s.data();
  for (std::size_t i = 0; i < s.size(); ++i) p[i] = 0;
}

bool SixDigits(const std::string& s) {
  if (s.size() != 6) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool FileId(const std::string& text, std::string* id) {
  if (text.size() != 4) return false;
  id->clear();
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    *id += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return true;
}

bool Decimal(const std::string& text, int low, int high, int* value) {
  if (text.empty() || text.size() > 5) return false;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

int HttpStatusOf(int code) {
  switch (code) {
    case -1:
    case -2:
    case -3:
    case -4:
      return 503;
    case -5:
    case -6:
    case -7:
    case -13:
      return 409;
    case -11:
      return 403;
    case -12:
    case -15:
      return 400;
    default:
      break;
  }
  const int sw = -code;
  if (sw == 0x6982 || sw == 0x6983 || sw == 0x6984 || (sw & 0xFFF0) == 0x63C0) return 403;
  if (sw == 0x6A82 || sw == 0x6A83) return 404;
  if (sw == 0x6A81) return 409;
  return 502;
}

HttpResponse JsonResponse(int status, const json& body) {
  HttpResponse r;
  r.status = status;
  r.headers = {{"Content-Type", "application/json; charset=utf-8"}};
  r.body = Dump(body);
  return r;
}

HttpResponse Ok(json data) {
  return JsonResponse(200, json{{"code", 0}, {"data", std::move(data)}});
}

HttpResponse BadRequest(const std::string& why) {
  return ErrorResponse(400, kBadRequest, why);
}

struct Endpoint {
  const char* method;
  const char* path;
  const char* does;
};

const Endpoint kEndpoints[] = {
    {"GET", "/v1/", "this list"},
    {"GET", "/v1/reader", "the reader's model and version, and whether a card is in it"},
    {"GET", "/v1/card/identity", "card number, identification code, organisation number"},
    {"GET", "/v1/card/files/{dir}/{file}", "every item of a file (POST: with a PIN)"},
    {"GET", "/v1/card/files/{dir}/{file}/records/{n}", "one item (POST: with a PIN)"},
    {"GET", "/v1/card/files/{dir}/{file}/binary?offset=O&length=L", "bytes of a transparent file"},
    {"POST", "/v1/pin/verify", "verify the cardholder PIN: {\"pinPad\":true} or {\"pin\":\"...\"}"},
    {"GET", "/v1/events", "server-sent events: card inserted or removed"},
    {"PUT", "/v1/card/files/{dir}/{file}/records/{n}", "write one item: {\"value\":\"...\"}"},
    {"POST", "/v1/pin/change", "change the PIN: {\"oldPin\",\"newPin\"} or {\"pinPad\":true}"},
    {"POST", "/v1/pin/unlock", "reset the PIN without the old one: {\"newPin\":\"...\"}"},
};
constexpr std::size_t kFirstWriteEndpoint = 8;

}  // namespace

HttpResponse ErrorResponse(int httpStatus, int code, const std::string& message) {
  return JsonResponse(httpStatus, json{{"code", code}, {"message", message}});
}

// One request's library work: the card lock, and a failure's message taken
// right after the call that failed, before anything else can replace it.
struct RequestHandler::Call {
  RequestHandler& handler;
  CardLibrary& lib;
  json body = json::object();
  std::string directory, file;
  int record = 0;

  HttpResponse Failure(int code, int triesLeft = -1) {
    char text[KX_ERR_MESSAGE_SIZE] = {};
    lib.KXGetErrMessage(code, text);
    json answer{{"code", code},
                {"message", MessageToUtf8(std::string(text, strnlen(text, sizeof text)))}};
    if (triesLeft >= 0) answer["triesLeft"] = triesLeft;
    return JsonResponse(HttpStatusOf(code), answer);
  }

  // Checks the body's fields against `allowed` (name and JSON type).
  bool Fields(std::initializer_list<std::pair<const char*, json::value_t>> allowed,
              HttpResponse* refusal) {
    for (auto it = body.begin(); it != body.end(); ++it) {
      bool known = false;
      for (const auto& [name, type] : allowed) {
        if (it.key() != name) continue;
        known = true;
        if (it.value().type() != type) {
          *refusal = BadRequest(std::string("field \"") + name + "\" must be a " +
                                (type == json::value_t::boolean ? "boolean" : "string"));
          return false;
        }
      }
      if (!known) {
        *refusal = BadRequest("unknown field \"" + it.key() + "\"");
        return false;
      }
    }
    return true;
  }

  // A typed PIN (field `name`) into *pin: only where the configuration allows.
  bool TypedPin(const char* name, PinBuffer* pin, HttpResponse* refusal) {
    if (!body.contains(name)) {
      *refusal = BadRequest(std::string("field \"") + name + "\" is missing");
      return false;
    }
    std::string& typed = body[name].get_ref<std::string&>();
    if (!handler.config_.allowTypedPin) {
      WipeString(typed);
      *refusal =
          ErrorResponse(403, kTypedPinDisabled,
                        "a typed PIN is not accepted here (allow_typed_pin); use the PIN pad");
      return false;
    }
    const bool ok = SixDigits(typed);
    if (ok) std::memcpy(pin->data(), typed.data(), 6);
    WipeString(typed);
    if (!ok) *refusal = BadRequest(std::string("field \"") + name + "\" must be six digits");
    return ok;
  }

  bool PinPad() const { return body.contains("pinPad") && body["pinPad"].get<bool>(); }

  // Opens the reader and powers the contact user card on; 0 or a code.
  int OpenCard() {
    int rc = lib.KXReaderInitTest(handler.config_.comPort, kBaud);
    if (rc != 0) return rc;
    lib.KXSelectIFD(kContactUserCard);
    char atr[KX_RESET_ANSWER_HEX_SIZE] = {};
    return lib.KXCpuReset(atr);
  }
};

RequestHandler::RequestHandler(const Config& config, CardLibrary& library, int port)
    : config_(config), library_(library), port_(port) {}

std::string RequestHandler::CardState() {
  std::lock_guard<std::mutex> lock(card_);
  if (library_.KXReaderInitTest(config_.comPort, kBaud) != 0) return "no-reader";
  library_.KXSelectIFD(kContactUserCard);
  char status = '0';
  const int rc = library_.GetReaderStatus(&status);
  library_.KXReaderPowerOff();
  if (rc == -2 || rc == -4) return "no-reader";
  return rc == 0 && status == '2' ? "present" : "absent";
}

HttpResponse RequestHandler::Handle(const HttpRequest& request) {
  int count = 0;
  const std::string* host = FindHeader(request.headers, "host", &count);
  if (host == nullptr || count != 1 || !HostAllowed(*host, port_)) {
    return ErrorResponse(421, kHostRefused,
                         "the Host header must name 127.0.0.1, [::1] or localhost with port " +
                             std::to_string(port_));
  }
  const std::string* originHeader = FindHeader(request.headers, "origin", &count);
  std::string origin;
  if (originHeader != nullptr) {
    origin = NormalOrigin(*originHeader);
    bool allowed = count == 1 && !origin.empty();
    if (allowed) {
      allowed = false;
      for (const std::string& o : config_.allowOrigins) allowed = allowed || o == origin;
    }
    if (!allowed) {
      return ErrorResponse(403, kOriginRefused,
                           "this web page's origin is not allowed to use the card service "
                           "(allow_origin)");
    }
  }
  HttpResponse response;
  try {
    Call call{*this, library_, json::object(), {}, {}, 0};
    response = Route(request, origin, call);
  } catch (const std::exception&) {
    response = ErrorResponse(500, kInternal, "the service failed to handle the request");
  }
  response.headers.emplace_back("Cache-Control", "no-store");
  response.headers.emplace_back("X-Content-Type-Options", "nosniff");
  if (!origin.empty()) {
    response.headers.emplace_back("Access-Control-Allow-Origin", *originHeader);
    response.headers.emplace_back("Vary", "Origin");
  }
  return response;
}

HttpResponse RequestHandler::Route(const HttpRequest& request, const std::string& origin,
                                   Call& call) {
  const std::size_t question = request.target.find('?');
  const std::string path = request.target.substr(0, question);
  const std::string query =
      question == std::string::npos ? "" : request.target.substr(question + 1);
  const std::vector<std::string> s = Split(path, '/');
  const std::size_t n = s.size();
  const std::string& method = request.method;

  // The route: which methods it takes, and whether it writes.
  std::vector<std::string> methods;
  enum class Route {
    kIndex,
    kReader,
    kIdentity,
    kFile,
    kRecord,
    kBinary,
    kVerify,
    kChange,
    kUnlock,
    kEvents
  } route;
  auto at = [&](std::size_t i, const char* text) { return i < n && s[i] == text; };
  if (n < 2 || !s[0].empty() || s[1] != "v1") {
    return ErrorResponse(404, kNotFound, "no such endpoint; GET /v1/ lists them");
  }
  if (n == 3 && s[2].empty()) {
    route = Route::kIndex, methods = {"GET"};
  } else if (n == 3 && at(2, "reader")) {
    route = Route::kReader, methods = {"GET"};
  } else if (n == 3 && at(2, "events")) {
    route = Route::kEvents, methods = {"GET"};
  } else if (n == 4 && at(2, "card") && at(3, "identity")) {
    route = Route::kIdentity, methods = {"GET"};
  } else if (n == 4 && at(2, "pin") && (at(3, "verify") || at(3, "change") || at(3, "unlock"))) {
    route = at(3, "verify") ? Route::kVerify : at(3, "change") ? Route::kChange : Route::kUnlock;
    methods = {"POST"};
  } else if (n >= 6 && at(2, "card") && at(3, "files") &&
             (n == 6 || (n == 7 && at(6, "binary")) || (n == 8 && at(6, "records")))) {
    route = n == 6 ? Route::kFile : n == 7 ? Route::kBinary : Route::kRecord;
    methods = n == 6   ? std::vector<std::string>{"GET", "POST"}
              : n == 7 ? std::vector<std::string>{"GET"}
                       : std::vector<std::string>{"GET", "POST", "PUT"};
  } else {
    return ErrorResponse(404, kNotFound, "no such endpoint; GET /v1/ lists them");
  }
  std::string allow;
  for (const std::string& m : methods) allow += (allow.empty() ? "" : ", ") + m;

  if (method == "OPTIONS") {
    // A CORS preflight (the Origin was checked already); a local program's
    // OPTIONS learns the methods.
    HttpResponse r;
    r.status = 204;
    r.headers = {{"Allow", allow + ", OPTIONS"}};
    if (!origin.empty()) {
      r.headers.emplace_back("Access-Control-Allow-Methods", allow);
      r.headers.emplace_back("Access-Control-Allow-Headers", "Content-Type");
      r.headers.emplace_back("Access-Control-Max-Age", "600");
      int count = 0;
      const std::string* pna =
          FindHeader(request.headers, "access-control-request-private-network", &count);
      if (pna != nullptr && Lower(*pna) == "true") {
        r.headers.emplace_back("Access-Control-Allow-Private-Network", "true");
      }
    }
    return r;
  }
  bool methodOk = false;
  for (const std::string& m : methods) methodOk = methodOk || m == method;
  if (!methodOk) {
    HttpResponse r = ErrorResponse(405, kMethodRefused,
                                   method.substr(0, 16) + " is not taken here; " + allow + " is");
    r.headers.emplace_back("Allow", allow + ", OPTIONS");
    return r;
  }
  const bool writes = route == Route::kChange || route == Route::kUnlock ||
                      (route == Route::kRecord && method == "PUT");
  if (writes && !config_.allowWrites) {
    return ErrorResponse(403, kWritesDisabled, "writing to the card is disabled (allow_writes)");
  }

  // Arguments in the path and the query.
  if (route == Route::kFile || route == Route::kBinary || route == Route::kRecord) {
    if (!FileId(s[4], &call.directory) || !FileId(s[5], &call.file)) {
      return BadRequest("directory and file are four hex digits each, e.g. 3F00 and EF05");
    }
    if (route == Route::kRecord && !Decimal(s[7], 1, 255, &call.record)) {
      return BadRequest("the record is a number from 1 to 255");
    }
  }
  int offset = -1, length = -1;
  if (route == Route::kBinary) {
    for (const std::string& pair : Split(query, '&')) {
      const std::size_t eq = pair.find('=');
      const std::string key = pair.substr(0, eq);
      const std::string value = eq == std::string::npos ? "" : pair.substr(eq + 1);
      int* target = key == "offset" ? &offset : key == "length" ? &length : nullptr;
      if (target == nullptr || *target != -1 ||
          !Decimal(value, key == "offset" ? 0 : 1, key == "offset" ? 32767 : kMaxBinaryLength,
                   target)) {
        return BadRequest("binary takes offset=0..32767 and length=1.." +
                          std::to_string(kMaxBinaryLength) + ", once each");
      }
    }
    if (offset < 0 || length < 0) return BadRequest("binary takes offset and length");
  } else if (!query.empty()) {
    return BadRequest("this endpoint takes no query parameters");
  }

  // The body.
  if (request.body.size() > kMaxBody) {
    return ErrorResponse(413, kTooLarge, "the body is larger than 16 KiB");
  }
  if (method == "GET") {
    if (!request.body.empty()) return BadRequest("a GET takes no body");
  } else if (!request.body.empty()) {
    int count = 0;
    const std::string* type = FindHeader(request.headers, "content-type", &count);
    if (type == nullptr || count != 1 || Lower(type->substr(0, 16)) != "application/json") {
      return ErrorResponse(415, kNotJson, "the body must be application/json");
    }
    if (!ShallowJson(request.body)) return BadRequest("the JSON is nested too deeply");
    call.body = json::parse(request.body, nullptr, false);
    if (call.body.is_discarded()) return BadRequest("the body is not valid JSON");
    if (!call.body.is_object()) return BadRequest("the body must be a JSON object");
  }
  using T = json::value_t;
  HttpResponse refusal;
  CardLibrary& lib = library_;

  switch (route) {
    case Route::kIndex: {
      json list = json::array();
      for (std::size_t i = 0; i < std::size(kEndpoints); ++i) {
        if (i >= kFirstWriteEndpoint && !config_.allowWrites) break;
        list.push_back({{"method", kEndpoints[i].method},
                        {"path", kEndpoints[i].path},
                        {"does", kEndpoints[i].does}});
      }
      return Ok({{"service", "kx-service"},
                 {"version", KX_VERSION_TEXT},
                 {"allowWrites", config_.allowWrites},
                 {"allowTypedPin", config_.allowTypedPin},
                 {"endpoints", list}});
    }
    case Route::kEvents: {
      HttpResponse r;
      r.eventStream = true;
      r.headers = {{"Content-Type", "text/event-stream"}};
      return r;
    }
    case Route::kReader: {
      std::lock_guard<std::mutex> lock(card_);
      int rc = lib.KXReaderInitTest(config_.comPort, kBaud);
      if (rc != 0) return call.Failure(rc);
      lib.KXSelectIFD(kContactUserCard);
      char status = '0';
      char model[KX_READER_MODEL_SIZE] = {}, version[KX_READER_VERSION_SIZE] = {};
      rc = lib.GetReaderStatus(&status);
      if (rc == -2 || rc == -4) {
        HttpResponse failed = call.Failure(rc);
        lib.KXReaderPowerOff();
        return failed;
      }
      const bool present = rc == 0 && status == '2';
      rc = lib.GetReaderInfo(model, version);
      HttpResponse failed = rc != 0 ? call.Failure(rc) : HttpResponse{};
      lib.KXReaderPowerOff();
      if (rc != 0) return failed;
      return Ok({{"model", MessageToUtf8(std::string(model, strnlen(model, sizeof model)))},
                 {"version", MessageToUtf8(std::string(version, strnlen(version, sizeof version)))},
                 {"comPort", config_.comPort},
                 {"cardPresent", present}});
    }
    case Route::kIdentity: {
      std::lock_guard<std::mutex> lock(card_);
      char number[KX_CARD_NUMBER_SIZE] = {}, code[KX_IDENTIFICATION_CODE_SIZE] = {},
           organisation[KX_ORGANISATION_NUMBER_SIZE] = {};
      const int rc = lib.KXReadCardIDAIO(number, code, organisation);
      if (rc != 0) return call.Failure(rc);
      return Ok({{"cardNumber", MessageToUtf8(std::string(number, strnlen(number, sizeof number)))},
                 {"identificationCode", std::string(code, strnlen(code, sizeof code))},
                 {"organisationNumber",
                  std::string(organisation, strnlen(organisation, sizeof organisation))}});
    }
    case Route::kBinary: {
      std::lock_guard<std::mutex> lock(card_);
      std::string out(KX_READ_BINARY_AIO_SIZE(length), '\0');
      const int rc = lib.KXReadBinaryAIO(call.directory.c_str(), call.file.c_str(), offset, length,
                                         out.data());
      if (rc != 0) return call.Failure(rc);
      out.resize(strnlen(out.data(), out.size()));
      return Ok({{"directory", call.directory},
                 {"file", call.file},
                 {"offset", offset},
                 {"length", length},
                 {"hex", MessageToUtf8(out)}});
    }
    case Route::kFile:
    case Route::kRecord: {
      if (method == "PUT") {
        if (!call.Fields({{"value", T::string}}, &refusal)) return refusal;
        if (!call.body.contains("value")) return BadRequest("field \"value\" is missing");
        const Item* item = FindItem(call.directory, call.file, call.record);
        if (item == nullptr) return ErrorResponse(404, kNotFound, "the card has no such item");
        std::string bytes, why;
        if (!EncodeValue(*item, call.body["value"].get<std::string>(), &bytes, &why)) {
          return BadRequest(why);
        }
        std::lock_guard<std::mutex> lock(card_);
        const int rc = lib.KXUpdateInfoAIO(call.directory.c_str(), call.file.c_str(), call.record,
                                           reinterpret_cast<const unsigned char*>(bytes.data()));
        if (rc != 0) return call.Failure(rc);
        return Ok({{"directory", call.directory},
                   {"file", call.file},
                   {"record", call.record},
                   {"name", item->name},
                   {"written", true}});
      }
      if (!call.Fields({{"pin", T::string}, {"pinPad", T::boolean}}, &refusal)) return refusal;
      std::vector<const Item*> items;
      if (route == Route::kRecord) {
        if (const Item* item = FindItem(call.directory, call.file, call.record)) items = {item};
      } else {
        items = FileItems(call.directory, call.file);
      }
      if (items.empty()) return ErrorResponse(404, kNotFound, "the card has no such file or item");
      const bool typed = call.body.contains("pin"), pad = call.PinPad();
      if (typed && pad) return BadRequest("give either \"pin\" or \"pinPad\", not both");
      const bool needsPin = ReadNeedsPin(call.directory, call.file);
      if (needsPin && !typed && !pad) {
        return ErrorResponse(403, kPinNeeded,
                             "this file is read with the cardholder PIN: POST {\"pinPad\":true}" +
                                 std::string(config_.allowTypedPin ? " or {\"pin\":\"...\"}" : ""));
      }
      PinBuffer pin;
      if (typed && !call.TypedPin("pin", &pin, &refusal)) return refusal;

      std::lock_guard<std::mutex> lock(card_);
      const bool usePin = needsPin;  // a PIN given for a free file is not sent
      if (usePin && pad) {
        const int rc = lib.KXReadPassword(1, pin.data());
        if (rc != 0) return call.Failure(rc);
      }
      if (usePin) {
        const int rc = lib.SetPin(pin.data());
        if (rc < 0) return call.Failure(-12);
      }
      const Item& first = *items.front();
      std::string out;
      int rc = 0;
      if (first.fileKind == 2) {
        out.assign(KX_READ_BINARY_AIO_SIZE(first.length), '\0');
        rc = lib.KXReadBinaryAIO(call.directory.c_str(), call.file.c_str(), 0, first.length,
                                 out.data());
      } else {
        out.assign(KX_READ_INFO_SIZE, '\0');
        rc = lib.KXReadInfoAIO(call.directory.c_str(), call.file.c_str(), call.record,
                               reinterpret_cast<unsigned char*>(out.data()));
      }
      HttpResponse failed = rc != 0 ? call.Failure(rc) : HttpResponse{};
      // The library keeps a preset PIN for the process: leave it no digit.
      if (usePin) lib.SetPin("000000");
      pin.Wipe();
      if (rc != 0) return failed;
      json list = json::array();
      std::size_t at = 0;
      for (const Item* item : items) {
        std::string value;
        std::size_t width = 0;
        if (item->fileKind == 2) {
          value = MessageToUtf8(out.substr(0, strnlen(out.data(), out.size())));
        } else if (!DecodeValue(*item, reinterpret_cast<const unsigned char*>(out.data()) + at,
                                out.size() - at, &value, &width)) {
          return ErrorResponse(502, kInternal, "the library's output is shorter than the file");
        }
        at += width;
        list.push_back({{"record", item->record}, {"name", item->name}, {"value", value}});
      }
      if (route == Route::kRecord) {
        json one = list.front();
        one["directory"] = call.directory;
        one["file"] = call.file;
        return Ok(one);
      }
      return Ok({{"directory", call.directory}, {"file", call.file}, {"items", list}});
    }
    case Route::kVerify:
    case Route::kChange:
    case Route::kUnlock: {
      if (route == Route::kUnlock) {
        if (!call.Fields({{"newPin", T::string}}, &refusal)) return refusal;
      } else if (route == Route::kChange) {
        if (!call.Fields({{"oldPin", T::string}, {"newPin", T::string}, {"pinPad", T::boolean}},
                         &refusal)) {
          return refusal;
        }
      } else if (!call.Fields({{"pin", T::string}, {"pinPad", T::boolean}}, &refusal)) {
        return refusal;
      }
      const bool pad = call.PinPad();
      const bool typed = route == Route::kVerify
                             ? call.body.contains("pin")
                             : call.body.contains("newPin") || call.body.contains("oldPin");
      if (pad && typed) return BadRequest("give either typed PINs or \"pinPad\", not both");
      if (!pad && !typed && route != Route::kUnlock) {
        return BadRequest("give the PIN: {\"pinPad\":true}" +
                          std::string(config_.allowTypedPin ? " or the typed digits" : ""));
      }
      PinBuffer first, second;
      if (typed) {
        const char* firstName = route == Route::kVerify   ? "pin"
                                : route == Route::kChange ? "oldPin"
                                                          : "newPin";
        if (!call.TypedPin(firstName, &first, &refusal)) return refusal;
        if (route == Route::kChange && !call.TypedPin("newPin", &second, &refusal)) return refusal;
      }
      std::lock_guard<std::mutex> lock(card_);
      if (pad) {
        int rc = lib.KXReadPassword(1, first.data());
        if (rc == 0 && route == Route::kChange) rc = lib.KXReadPassword(2, second.data());
        if (rc != 0) return call.Failure(rc);
      }
      int rc = call.OpenCard();
      if (rc != 0) {
        HttpResponse failed = call.Failure(rc);
        if (rc != -2 && rc != -4) lib.KXReaderPowerOff();
        return failed;
      }
      int tries = -1;
      rc = route == Route::kVerify   ? lib.KXCardVerifyPIN(first.data(), &tries)
           : route == Route::kChange ? lib.KXCardChangePIN(first.data(), second.data(), &tries)
                                     : lib.KXCardUnlockPIN(first.data());
      first.Wipe();
      second.Wipe();
      HttpResponse failed = rc != 0 ? call.Failure(rc, rc == -11 ? tries : -1) : HttpResponse{};
      lib.KXReaderPowerOff();
      if (rc != 0) return failed;
      return Ok({{route == Route::kVerify   ? "verified"
                  : route == Route::kChange ? "changed"
                                            : "unlocked",
                  true}});
    }
  }
  return ErrorResponse(500, kInternal, "unrouted");
}

}  // namespace kxservice
