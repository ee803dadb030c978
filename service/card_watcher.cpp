#include "service/card_watcher.h"

namespace kxservice {

CardWatcher::CardWatcher(std::function<std::string()> poll, std::chrono::milliseconds interval)
    : poll_(std::move(poll)), interval_(interval), thread_([this] { Run(); }) {}

CardWatcher::~CardWatcher() {
  Stop();
  thread_.join();
}

void CardWatcher::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
}

bool CardWatcher::stopped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stop_;
}

int CardWatcher::listeners() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return listeners_;
}

void CardWatcher::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stop_ || listeners_ > 0; });
    if (stop_) return;
    lock.unlock();
    std::string state = poll_();
    lock.lock();
    if (generation_ == 0 || state != state_) {
      state_ = std::move(state);
      ++generation_;
      changed_.notify_all();
    }
    // The next poll no sooner than `interval_`, and none once nobody listens.
    changed_.wait_for(lock, interval_, [this] { return stop_; });
    if (stop_) return;
    if (listeners_ == 0) generation_ = 0;  // a new listener gets a fresh first poll
  }
}

CardWatcher::Listener::Listener(CardWatcher& watcher) : watcher_(watcher) {
  {
    std::lock_guard<std::mutex> lock(watcher_.mutex_);
    ++watcher_.listeners_;
  }
  watcher_.changed_.notify_all();
}

CardWatcher::Listener::~Listener() {
  std::lock_guard<std::mutex> lock(watcher_.mutex_);
  --watcher_.listeners_;
}

bool CardWatcher::Listener::Next(std::string* state, std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(watcher_.mutex_);
  const bool fresh = watcher_.changed_.wait_for(lock, wait, [this] {
    return watcher_.stop_ || (watcher_.generation_ != 0 && watcher_.generation_ != seen_);
  });
  if (!fresh || watcher_.stop_) return false;
  seen_ = watcher_.generation_;
  *state = watcher_.state_;
  return true;
}

}  // namespace kxservice
