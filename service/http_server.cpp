#include "service/http_server.h"

#include <algorithm>
#include <atomic>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kxservice {

namespace {

namespace http = boost::beast::http;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kWorkers = 16;
constexpr std::size_t kMaxQueued = 1024;     // beyond: accepting waits, the kernel queues
constexpr std::size_t kPressure = kWorkers;  // queued connections that make idle ones refused
constexpr int kPressureGraceMs = 20;         // what a connection then has to start its request
constexpr std::size_t kMaxHeaderBytes = 16 * 1024;
constexpr std::size_t kMaxRequestBytes = kMaxBody + kMaxHeaderBytes;
constexpr int kWriteTimeoutMs = 5000;
constexpr int kAcceptPollMs = 200;  // how soon the accepting thread sees Stop()

// The few socket calls that differ between Winsock and POSIX.
#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
using PollEntry = WSAPOLLFD;
int Poll(PollEntry* entries, std::size_t count, int ms) {
  return WSAPoll(entries, static_cast<ULONG>(count), ms);
}
constexpr int kSendFlags = 0;
void CloseSocket(Socket sock) {
  closesocket(sock);
}
constexpr int kShutWrite = SD_SEND;
bool WouldBlock() {
  return WSAGetLastError() == WSAEWOULDBLOCK;
}
void NonBlocking(Socket sock) {
  u_long on = 1;
  ioctlsocket(sock, FIONBIO, &on);
}
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
using PollEntry = pollfd;
int Poll(PollEntry* entries, std::size_t count, int ms) {
  int r;
  do {
    r = ::poll(entries, count, ms);
  } while (r < 0 && errno == EINTR);
  return r;
}
constexpr int kSendFlags = MSG_NOSIGNAL;
void CloseSocket(Socket sock) {
  ::close(sock);
}
constexpr int kShutWrite = SHUT_WR;
bool WouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}
void NonBlocking(Socket sock) {
  ::fcntl(sock, F_SETFL, ::fcntl(sock, F_GETFL) | O_NONBLOCK);
}
#endif

int PollOne(Socket sock, short events, int ms) {
  PollEntry p{};
  p.fd = sock;
  p.events = events;
  return Poll(&p, 1, ms);
}

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 60000));
}

bool SendAll(Socket sock, const char* data, std::size_t size) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
  while (size > 0) {
    const auto n =
        ::send(sock, data, static_cast<int>(std::min<std::size_t>(size, 1 << 20)), kSendFlags);
    if (n > 0) {
      data += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0 || !WouldBlock()) return false;
    const int left = MillisecondsLeft(deadline);
    if (left == 0 || PollOne(sock, POLLOUT, left) <= 0) return false;
  }
  return true;
}

std::string Reason(int status) {
  const auto text = http::obsolete_reason(static_cast<http::status>(status));
  return std::string(text.data(), text.size());
}

// The status line and headers of a response; the body follows them.
std::string Head(const HttpResponse& response, bool withLength) {
  std::string head =
      "HTTP/1.1 " + std::to_string(response.status) + " " + Reason(response.status) + "\r\n";
  for (const auto& [name, value] : response.headers) head += name + ": " + value + "\r\n";
  if (withLength && response.status != 204) {
    head += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  }
  head += "Connection: close\r\n\r\n";
  return head;
}

// Ends a connection after its answer: closing with unread bytes from the
// client (the rest of a refused body) would reset it, and the client could
// lose the answer, so what it is still sending is read and dropped first
// (for half a second at most, and no longer than it keeps sending).
void Finish(Socket sock) {
  ::shutdown(sock, kShutWrite);
  const auto deadline = Clock::now() + std::chrono::milliseconds(500);
  char sink[4096];
  for (std::size_t drained = 0; drained < 4 * kMaxRequestBytes;) {
    const int left = std::min(MillisecondsLeft(deadline), 50);
    if (left == 0 || PollOne(sock, POLLIN, left) <= 0) break;
    const auto n = ::recv(sock, sink, sizeof sink, 0);
    if (n < 0 && WouldBlock()) continue;
    if (n <= 0) break;
    drained += static_cast<std::size_t>(n);
  }
  CloseSocket(sock);
}

void SendResponse(Socket sock, const HttpResponse& response) {
  const std::string text = Head(response, true) + response.body;
  SendAll(sock, text.data(), text.size());
}

// How reading a request ended.
struct ReadOutcome {
  bool complete = false;  // a whole request is in the parser
  bool answer = false;    // else: whether to answer `refusal` or just close
  HttpResponse refusal;
};

ReadOutcome Refuse(int status, int code, const char* message) {
  return {false, true, ErrorResponse(status, code, message)};
}

// Reads one request into `parser`: all of it before `deadline` and within
// kMaxRequestBytes, its headers within kMaxHeaderBytes and its body within
// kMaxBody. A client that trickles gets a 408, one that floods a 431 or 413,
// one that sends no HTTP a 400.
ReadOutcome ReadRequest(Socket sock, Clock::time_point deadline,
                        http::request_parser<http::string_body>& parser) {
  parser.header_limit(kMaxHeaderBytes);
  parser.body_limit(kMaxBody);
  parser.eager(true);
  std::string pending;
  std::size_t total = 0;
  bool continued = false;
  char buffer[4096];
  for (;;) {
    const int left = MillisecondsLeft(deadline);
    const int ready = left == 0 ? 0 : PollOne(sock, POLLIN, left);
    if (ready <= 0) {
      if (total == 0 && ready < 0) return {};
      return Refuse(408, kTimedOut, "the request did not arrive in time");
    }
    const auto n = ::recv(sock, buffer, sizeof buffer, 0);
    if (n < 0 && WouldBlock()) continue;
    if (n <= 0) return {};  // the client closed (or broke) the connection before a request
    total += static_cast<std::size_t>(n);
    if (total > kMaxRequestBytes) return Refuse(431, kTooLarge, "the request is too large");
    pending.append(buffer, static_cast<std::size_t>(n));
    while (!pending.empty()) {
      boost::beast::error_code ec;
      const std::size_t used = parser.put(boost::asio::buffer(pending.data(), pending.size()), ec);
      pending.erase(0, used);
      if (ec == http::error::need_more) break;
      if (ec == http::error::header_limit) {
        return Refuse(431, kTooLarge, "the request's headers are too large");
      }
      if (ec == http::error::body_limit) {
        return Refuse(413, kTooLarge, "the body is larger than 16 KiB");
      }
      if (ec) return Refuse(400, kBadRequest, "a malformed request");
      if (parser.is_done()) return {true, false, {}};
      if (used == 0) break;
    }
    // A client that waits for leave to send its body (curl does for larger
    // ones) is told to go on; an over-long body has been refused by now.
    if (!continued && parser.is_header_done() && !parser.is_done()) {
      continued = true;
      const auto expect = parser.get()[http::field::expect];
      if (boost::beast::iequals(expect, "100-continue")) {
        static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
        if (!SendAll(sock, kContinue, sizeof kContinue - 1)) return {};
      }
    }
  }
}

// Workers for the accepted connections, with a bounded queue: when it is
// full, accepting waits (further clients wait in the kernel's queue).
class BoundedPool {
 public:
  explicit BoundedPool(std::function<void(Socket)> work) : work_(std::move(work)) {
    for (std::size_t i = 0; i < kWorkers; ++i) threads_.emplace_back([this] { Work(); });
  }
  ~BoundedPool() { Shutdown(); }

  // False when the pool is stopping (the socket is then the caller's).
  bool Enqueue(Socket sock) {
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [this] { return jobs_.size() < kMaxQueued || stop_; });
    if (stop_) return false;
    jobs_.push_back(sock);
    ready_.notify_one();
    return true;
  }
  std::size_t Queued() {
    std::lock_guard<std::mutex> lock(mutex_);
    return jobs_.size();
  }
  // Finishes the connections being served, closes the ones still queued.
  void Shutdown() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_ && threads_.empty()) return;
      stop_ = true;
    }
    ready_.notify_all();
    room_.notify_all();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
    for (Socket sock : jobs_) CloseSocket(sock);
    jobs_.clear();
  }

 private:
  void Work() {
    for (;;) {
      Socket sock;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
        if (stop_) return;
        sock = jobs_.front();
        jobs_.pop_front();
        room_.notify_one();
      }
      work_(sock);
    }
  }

  std::function<void(Socket)> work_;
  std::mutex mutex_;
  std::condition_variable ready_, room_;
  std::deque<Socket> jobs_;
  std::vector<std::thread> threads_;
  bool stop_ = false;
};

#ifdef _WIN32
struct Winsock {
  Winsock() {
    WSADATA data;
    ok = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~Winsock() {
    if (ok) WSACleanup();
  }
  bool ok = false;
};
#endif

}  // namespace

struct HttpService::Impl {
  const Config& config;
  RequestHandler& handler;
  CardWatcher& watcher;
#ifdef _WIN32
  Winsock winsock;
#endif
  std::vector<Socket> listeners;
  std::vector<std::string> addresses;
  std::atomic<bool> stopping{false};
  std::unique_ptr<BoundedPool> pool;

  Impl(const Config& c, RequestHandler& h, CardWatcher& w) : config(c), handler(h), watcher(w) {}
  ~Impl() {
    for (Socket s : listeners) CloseSocket(s);
  }

  // Binds one loopback address; kNoSocket with errno/WSAGetLastError set when
  // it cannot.
  Socket Listen(bool v6, int port) {
    const Socket sock = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (sock == kNoSocket) return kNoSocket;
    int yes = 1;
    // A second kx-service must not share the port.
#ifdef _WIN32
    setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char*>(&yes), sizeof yes);
#else
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
#endif
    int bound;
    if (v6) {
      setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<char*>(&yes), sizeof yes);
      sockaddr_in6 addr{};
      addr.sin6_family = AF_INET6;
      addr.sin6_addr = in6addr_loopback;
      addr.sin6_port = htons(static_cast<unsigned short>(port));
      bound = ::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } else {
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      addr.sin_port = htons(static_cast<unsigned short>(port));
      bound = ::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    if (bound != 0 || ::listen(sock, SOMAXCONN) != 0) {
      CloseSocket(sock);
      return kNoSocket;
    }
    NonBlocking(sock);
    return sock;
  }

  // One connection: one request, its answer (or the event stream), closed.
  void Serve(Socket sock) {
    // Under a flood, a connection that has sent nothing yet is turned away
    // at once instead of holding a worker until its deadline.
    if (pool->Queued() >= kPressure && PollOne(sock, POLLIN, kPressureGraceMs) <= 0) {
      SendResponse(sock, ErrorResponse(503, kBusy, "the service is busy; try again"));
      CloseSocket(sock);
      return;
    }
    http::request_parser<http::string_body> parser;
    const ReadOutcome read = ReadRequest(
        sock, Clock::now() + std::chrono::milliseconds(config.requestTimeoutMs), parser);
    if (!read.complete) {
      if (read.answer) SendResponse(sock, read.refusal);
      Finish(sock);
      return;
    }
    auto& message = parser.get();
    HttpRequest request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    for (const auto& field : message) {
      request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    request.body.swap(message.body());
    const HttpResponse response = handler.Handle(request);
    // The body may hold PIN digits: leave none behind.
    std::fill(request.body.begin(), request.body.end(), '\0');
    if (!response.eventStream) {
      SendResponse(sock, response);
    } else {
      Stream(sock, response);
    }
    Finish(sock);
  }

  // The event stream: the card's state when it changes, a comment every 2 s
  // otherwise (so a client that left is noticed), until the client or the
  // service ends it.
  void Stream(Socket sock, const HttpResponse& response) {
    const std::string head = Head(response, false);
    if (!SendAll(sock, head.data(), head.size())) return;
    CardWatcher::Listener listener(watcher);
    while (!watcher.stopped() && !stopping) {
      std::string state;
      std::string event = ": waiting\n\n";
      if (listener.Next(&state, std::chrono::seconds(2))) {
        event = "event: card\ndata: {\"state\":\"" + state + "\"}\n\n";
      }
      if (!SendAll(sock, event.data(), event.size())) return;
    }
  }

  void Accept() {
    std::vector<PollEntry> entries(listeners.size());
    for (std::size_t i = 0; i < listeners.size(); ++i) {
      entries[i].fd = listeners[i];
      entries[i].events = POLLIN;
    }
    while (!stopping) {
      for (PollEntry& e : entries) e.revents = 0;
      if (Poll(entries.data(), entries.size(), kAcceptPollMs) <= 0) continue;
      for (const PollEntry& e : entries) {
        if ((e.revents & POLLIN) == 0) continue;
        const Socket sock = ::accept(e.fd, nullptr, nullptr);
        if (sock == kNoSocket) {
          // Gone already, or out of descriptors for now: the listening
          // socket stays readable, so give the workers a moment to free
          // some instead of spinning on it.
          if (!WouldBlock()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
          continue;
        }
        NonBlocking(sock);
        if (!pool->Enqueue(sock)) CloseSocket(sock);
      }
    }
  }
};

HttpService::HttpService(const Config& config, RequestHandler& handler, CardWatcher& watcher)
    : impl_(new Impl(config, handler, watcher)) {}

HttpService::~HttpService() {
  Stop();
}

bool HttpService::Bind(std::string* error) {
  const int port = impl_->config.port;
  for (const bool v6 : {false, true}) {
    const Socket sock = impl_->Listen(v6, port);
    if (sock != kNoSocket) {
      impl_->listeners.push_back(sock);
      impl_->addresses.push_back((v6 ? "http://[::1]:" : "http://127.0.0.1:") +
                                 std::to_string(port));
      continue;
    }
    // No IPv6 loopback on this system is no failure; a taken port is.
    if (v6) {
      const Socket probe = impl_->Listen(true, 0);
      if (probe == kNoSocket) continue;
      CloseSocket(probe);
    }
    *error = std::string("port ") + std::to_string(port) + " on " + (v6 ? "::1" : "127.0.0.1") +
             " is in use (is kx-service already running?) or cannot be bound; "
             "choose another with --port";
    return false;
  }
  return true;
}

void HttpService::Run() {
  impl_->pool = std::make_unique<BoundedPool>([this](Socket sock) { impl_->Serve(sock); });
  impl_->Accept();
  impl_->pool->Shutdown();
}

void HttpService::Stop() {
  impl_->stopping = true;
}

std::string HttpService::Addresses() const {
  std::string all;
  for (const std::string& a : impl_->addresses) all += (all.empty() ? "" : " and ") + a;
  return all;
}

}  // namespace kxservice
