#include "service/http_server.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kxservice {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kWorkers = 16;
constexpr std::size_t kMaxQueued = 1024;     // beyond: accepting waits, the kernel queues
constexpr std::size_t kPressure = kWorkers;  // queued connections that make idle ones refused
constexpr int kPressureGraceMs = 20;         // what a connection then has to start its request
constexpr std::size_t kMaxRequestBytes = kMaxBody + 16 * 1024;  // the body and its headers
constexpr int kWriteTimeoutMs = 5000;

#ifdef _WIN32
int PollOne(socket_t sock, short events, int ms) {
  WSAPOLLFD p{sock, events, 0};
  return WSAPoll(&p, 1, ms);
}
constexpr int kSendFlags = 0;
void CloseSocket(socket_t sock) {
  closesocket(sock);
}
#else
int PollOne(socket_t sock, short events, int ms) {
  pollfd p{sock, events, 0};
  int r;
  do {
    r = poll(&p, 1, ms);
  } while (r < 0 && errno == EINTR);
  return r;
}
constexpr int kSendFlags = MSG_NOSIGNAL;
void CloseSocket(socket_t sock) {
  close(sock);
}
#endif

std::string Peer(socket_t sock, bool local, int* port) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  const int r = local ? getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &len)
                      : getpeername(sock, reinterpret_cast<sockaddr*>(&addr), &len);
  char host[NI_MAXHOST] = {}, service[NI_MAXSERV] = {};
  if (r != 0 || getnameinfo(reinterpret_cast<sockaddr*>(&addr), len, host, sizeof host, service,
                            sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    *port = -1;
    return "";
  }
  *port = std::atoi(service);
  return host;
}

bool SendAll(socket_t sock, const char* data, std::size_t size) {
  while (size > 0) {
    if (PollOne(sock, POLLOUT, kWriteTimeoutMs) <= 0) return false;
    const auto n = send(sock, data, static_cast<int>(size), kSendFlags);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool Ipv6Loopback() {
  const socket_t sock = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (sock == INVALID_SOCKET) return false;
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  const bool ok = ::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  CloseSocket(sock);
  return ok;
}

// A whole response written by the shell itself, for a connection refused
// before the HTTP library read a request from it.
void SendRefusal(socket_t sock, int status, const char* reason, int code, const char* message) {
  const HttpResponse r = ErrorResponse(status, code, message);
  const std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                           "\r\nContent-Type: application/json; charset=utf-8\r\n"
                           "Connection: close\r\nContent-Length: " +
                           std::to_string(r.body.size()) + "\r\n\r\n" + r.body;
  SendAll(sock, text.data(), text.size());
}

// A connection's stream: the whole request must arrive before the deadline
// and within kMaxRequestBytes; a client that trickles or floods headers gets
// a 408 or 431 and the connection ends.
class DeadlineStream final : public httplib::Stream {
 public:
  DeadlineStream(socket_t sock, Clock::time_point deadline) : sock_(sock), deadline_(deadline) {}

  bool is_readable() const override { return begin_ < end_ || Wait() > 0; }
  bool is_writable() const override { return PollOne(sock_, POLLOUT, kWriteTimeoutMs) > 0; }

  ssize_t read(char* ptr, size_t size) override {
    if (begin_ == end_) {
      if (failed_) return -1;
      const int ready = Wait();
      if (ready <= 0) {
        Fail(408, "Request Timeout", kTimedOut, "the request did not arrive in time");
        return -1;
      }
      const auto n = recv(sock_, buffer_, sizeof buffer_, 0);
      if (n <= 0) return n < 0 ? -1 : 0;
      total_ += static_cast<std::size_t>(n);
      if (total_ > kMaxRequestBytes) {
        Fail(431, "Request Header Fields Too Large", kTooLarge, "the request is too large");
        return -1;
      }
      begin_ = 0;
      end_ = static_cast<std::size_t>(n);
    }
    const std::size_t n = std::min(size, end_ - begin_);
    std::memcpy(ptr, buffer_ + begin_, n);
    begin_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (failed_) return -1;
    written_ = true;
    return SendAll(sock_, ptr, size) ? static_cast<ssize_t>(size) : -1;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = Peer(sock_, false, &port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip = Peer(sock_, true, &port);
  }
  socket_t socket() const override { return sock_; }

 private:
  int Wait() const {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
    return left <= 0 ? 0 : PollOne(sock_, POLLIN, static_cast<int>(left));
  }
  void Fail(int status, const char* reason, int code, const char* message) {
    if (!written_) SendRefusal(sock_, status, reason, code, message);
    failed_ = written_ = true;
  }

  socket_t sock_;
  Clock::time_point deadline_;
  char buffer_[4096];
  std::size_t begin_ = 0, end_ = 0, total_ = 0;
  bool failed_ = false, written_ = false;
};

// Workers for the accepted connections, with a bounded queue: when it is
// full, accepting waits (further clients wait in the kernel's queue).
class BoundedPool final : public httplib::TaskQueue {
 public:
  BoundedPool() {
    for (std::size_t i = 0; i < kWorkers; ++i) threads_.emplace_back([this] { Work(); });
  }
  void enqueue(std::function<void()> fn) override {
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [this] { return jobs_.size() < kMaxQueued || stop_; });
    jobs_.push_back(std::move(fn));
    work_.notify_one();
  }
  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    work_.notify_all();
    room_.notify_all();
    for (std::thread& t : threads_) t.join();
  }
  std::size_t queued() {
    std::lock_guard<std::mutex> lock(mutex_);
    return jobs_.size();
  }

 private:
  void Work() {
    for (;;) {
      std::function<void()> fn;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        work_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        fn = std::move(jobs_.front());
        jobs_.pop_front();
        room_.notify_one();
      }
      fn();
    }
  }

  std::mutex mutex_;
  std::condition_variable work_, room_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  bool stop_ = false;
};

class Server final : public httplib::Server {
 public:
  // cpp-httplib listens with a backlog of 5: a burst of clients would wait
  // out their SYN retries. Listening again on Linux widens it.
  void WidenBacklog() { ::listen(svr_sock_, SOMAXCONN); }

  explicit Server(int requestTimeoutMs) : timeoutMs_(requestTimeoutMs) {
    new_task_queue = [this] {
      pool_ = new BoundedPool;
      return pool_;
    };
  }

 private:
  bool process_and_close_socket(socket_t sock) override {
    // Under a flood, a connection that has sent nothing yet is turned away
    // at once instead of holding a worker until its deadline.
    if (pool_ != nullptr && pool_->queued() >= kPressure &&
        PollOne(sock, POLLIN, kPressureGraceMs) <= 0) {
      SendRefusal(sock, 503, "Service Unavailable", kBusy, "the service is busy; try again");
    } else {
      DeadlineStream stream(sock, Clock::now() + std::chrono::milliseconds(timeoutMs_));
      bool closed = false;
      process_request(stream, true, closed, [](httplib::Request&) {});
    }
#ifdef _WIN32
    ::shutdown(sock, SD_BOTH);
#else
    ::shutdown(sock, SHUT_RDWR);
#endif
    CloseSocket(sock);
    return true;
  }

  int timeoutMs_;
  BoundedPool* pool_ = nullptr;
};

}  // namespace

struct HttpService::Impl {
  const Config& config;
  RequestHandler& handler;
  CardWatcher& watcher;
  std::vector<std::unique_ptr<Server>> servers;
  std::vector<std::string> addresses;
  std::vector<std::thread> threads;

  void Serve(const httplib::Request& req, httplib::Response& res) {
    HttpRequest request{req.method, req.target, {}, req.body};
    for (const auto& [name, value] : req.headers) {
      // cpp-httplib adds these itself; they did not come from the client.
      if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
          name == "LOCAL_PORT") {
        continue;
      }
      request.headers.emplace_back(name, value);
    }
    const HttpResponse response = handler.Handle(request);
    // The body may hold PIN digits: leave none in the library's buffers.
    auto& body = const_cast<std::string&>(req.body);
    std::fill(body.begin(), body.end(), '\0');
    std::fill(request.body.begin(), request.body.end(), '\0');
    res.status = response.status;
    std::string type = "application/json; charset=utf-8";
    for (const auto& [name, value] : response.headers) {
      if (name == "Content-Type") {
        type = value;
      } else {
        res.set_header(name, value);
      }
    }
    if (!response.eventStream) {
      res.set_content(response.body, type.c_str());
      return;
    }
    auto listener = std::make_shared<CardWatcher::Listener>(watcher);
    res.set_chunked_content_provider(
        type,
        [listener, this](size_t, httplib::DataSink& sink) {
          if (watcher.stopped()) return false;  // the service is stopping
          std::string state;
          std::string event = ": waiting\n\n";
          if (listener->Next(&state, std::chrono::seconds(2))) {
            event = "event: card\ndata: {\"state\":\"" + state + "\"}\n\n";
          }
          return sink.write(event.data(), event.size());
        },
        [listener](bool) mutable { listener.reset(); });
  }

  void Setup(Server& s) {
    auto serve = [this](const httplib::Request& req, httplib::Response& res) { Serve(req, res); };
    s.Get(".*", serve);
    s.Post(".*", serve);
    s.Put(".*", serve);
    s.Patch(".*", serve);
    s.Delete(".*", serve);
    s.Options(".*", serve);
    s.set_payload_max_length(kMaxBody);
    s.set_read_timeout(config.requestTimeoutMs / 1000, (config.requestTimeoutMs % 1000) * 1000);
    s.set_write_timeout(kWriteTimeoutMs / 1000, 0);
    s.set_keep_alive_max_count(1);
    // What cpp-httplib answers by itself (a request line it cannot read, a
    // body over the limit) gets the service's JSON form too.
    // A second kx-service must not share the port (httplib's default,
    // SO_REUSEPORT, would let it).
    s.set_socket_options([](socket_t sock) {
      int yes = 1;
#ifdef _WIN32
      setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char*>(&yes), sizeof yes);
#else
      setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
#endif
    });
    s.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&,
                                                                httplib::Response& res) {
      if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
      const int code = res.status == 413 ? kTooLarge : kBadRequest;
      const char* why =
          res.status == 413 ? "the body is larger than 16 KiB" : "a malformed request";
      res.set_content(ErrorResponse(res.status, code, why).body, "application/json; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    }));
  }
};

HttpService::HttpService(const Config& config, RequestHandler& handler, CardWatcher& watcher)
    : impl_(new Impl{config, handler, watcher, {}, {}, {}}) {}

HttpService::~HttpService() {
  Stop();
}

bool HttpService::Bind(std::string* error) {
  const int port = impl_->config.port;
  for (const char* host : {"127.0.0.1", "::1"}) {
    auto server = std::make_unique<Server>(impl_->config.requestTimeoutMs);
    impl_->Setup(*server);
    const bool v6 = host[0] == ':';
    if (v6) server->set_address_family(AF_INET6);
    if (server->bind_to_port(host, port)) {
      server->WidenBacklog();
      impl_->addresses.push_back(v6 ? "http://[::1]:" + std::to_string(port)
                                    : "http://127.0.0.1:" + std::to_string(port));
      impl_->servers.push_back(std::move(server));
      continue;
    }
    // No IPv6 loopback on this system is no failure; a taken port is.
    if (v6 && !Ipv6Loopback()) continue;
    *error = std::string("port ") + std::to_string(port) + " on " + host +
             " is in use (is kx-service already running?) or cannot be bound; "
             "choose another with --port";
    return false;
  }
  return true;
}

void HttpService::Run() {
  for (auto& s : impl_->servers) {
    Server* server = s.get();
    impl_->threads.emplace_back([server] { server->listen_after_bind(); });
  }
  for (std::thread& t : impl_->threads) t.join();
  impl_->threads.clear();
}

void HttpService::Stop() {
  for (auto& s : impl_->servers) s->stop();
}

std::string HttpService::Addresses() const {
  std::string all;
  for (const std::string& a : impl_->addresses) all += (all.empty() ? "" : " and ") + a;
  return all;
}

}  // namespace kxservice
