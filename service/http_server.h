// The HTTP shell around RequestHandler: listening sockets on 127.0.0.1 and
// ::1, each connection read under one deadline for its whole request and
// byte limits (Boost.Beast parses it), one request a connection, a bounded
// pool of workers, and the event stream. The same code on Linux and Windows.
// No decision about a request is taken here.
#pragma once

#include <memory>
#include <string>

#include "service/card_watcher.h"
#include "service/config.h"
#include "service/handler.h"

namespace kxservice {

class HttpService {
 public:
  HttpService(const Config& config, RequestHandler& handler, CardWatcher& watcher);
  ~HttpService();

  // Binds 127.0.0.1 and ::1 (where the system has IPv6) at the configured
  // port; false with the reason when the port is taken or cannot be bound.
  bool Bind(std::string* error);
  // Serves until Stop(); returns then.
  void Run();
  void Stop();
  // Where it listens, for the start-up line.
  std::string Addresses() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace kxservice
