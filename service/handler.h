// kx-service's request handling, without sockets: a request as the HTTP
// server read it goes in, the response to send comes out. Every check a
// request must pass (the Host, the Origin, the route, the method, the body,
// each argument) is made here, in that order, before the first call into the
// library; the HTTP server around it (http_server.cpp) only carries bytes.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "service/card_library.h"
#include "service/config.h"

namespace kxservice {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method;  // "GET"
  std::string target;  // "/v1/card/files/3F00/EF05?x=y", as on the request line
  Headers headers;     // names in any case
  std::string body;
};

struct HttpResponse {
  int status = 200;
  Headers headers;
  std::string body;
  // GET /v1/events passed every check: the server streams card events
  // (CardWatcher) with `headers`, and `body` is unused.
  bool eventStream = false;
};

// The largest request body served.
inline constexpr std::size_t kMaxBody = 16 * 1024;

// The service's own failure codes (the library's are -1 and below -15 ... the
// card's status words): each answer carries one with its HTTP status.
enum ServiceError {
  kHostRefused = -100,       // 421: Host names no loopback name with our port
  kOriginRefused = -101,     // 403: an Origin not in the allow-list
  kNotFound = -102,          // 404
  kMethodRefused = -103,     // 405
  kBadRequest = -104,        // 400: JSON, fields, types, identifiers, numbers
  kTooLarge = -105,          // 413 body over 16 KiB, 431 headers too large
  kNotJson = -106,           // 415: a body that is not application/json
  kWritesDisabled = -107,    // 403
  kTypedPinDisabled = -108,  // 403
  kPinNeeded = -109,         // 403: the file is read with the cardholder PIN
  kTimedOut = -110,          // 408: the request did not arrive in time
  kBusy = -111,              // 503: too many connections waiting
  kInternal = -112,          // 500
};

// The JSON error answer for a service failure.
HttpResponse ErrorResponse(int httpStatus, int code, const std::string& message);

class RequestHandler {
 public:
  // `port` is the TCP port the service listens on (the Host check).
  RequestHandler(const Config& config, CardLibrary& library, int port);

  HttpResponse Handle(const HttpRequest& request);

  // For the event stream: whether a card sits in the reader ("present"),
  // not ("absent"), or no reader answers ("no-reader"). Takes the card lock.
  std::string CardState();

 private:
  struct Call;
  HttpResponse Route(const HttpRequest& request, const std::string& origin, Call& call);

  Config config_;
  CardLibrary& library_;
  int port_;
  std::mutex card_;  // one sequence of library calls at a time, its message with it
};

}  // namespace kxservice
