// Whether a card sits in the reader, for the event stream: one thread polls
// the reader's status, at most every 500 ms and only while a client listens;
// with no listener it sleeps and the reader sees no command.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kxservice {

class CardWatcher {
 public:
  // `poll` answers the card's state ("present", "absent", "no-reader").
  explicit CardWatcher(std::function<std::string()> poll,
                       std::chrono::milliseconds interval = std::chrono::milliseconds(500));
  ~CardWatcher();
  CardWatcher(const CardWatcher&) = delete;
  CardWatcher& operator=(const CardWatcher&) = delete;

  // One client of the stream: polling runs while any Listener exists.
  class Listener {
   public:
    explicit Listener(CardWatcher& watcher);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    // The state when it is new to this listener (the first poll's, then each
    // change); false when nothing changed within `wait`.
    bool Next(std::string* state, std::chrono::milliseconds wait);

   private:
    CardWatcher& watcher_;
    std::uint64_t seen_ = 0;
  };

  int listeners() const;
  // Ends the polling and every listener's wait (the service is stopping).
  void Stop();
  bool stopped() const;

 private:
  void Run();

  std::function<std::string()> poll_;
  std::chrono::milliseconds interval_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int listeners_ = 0;
  bool stop_ = false;
  std::string state_;
  std::uint64_t generation_ = 0;  // bumped at each change of state_
  std::thread thread_;
};

}  // namespace kxservice
