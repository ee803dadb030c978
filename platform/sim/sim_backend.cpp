// The simulated platform. Time is a 64-bit virtual millisecond count that
// only moves when the library waits or sleeps (or a test advances it); the
// tick the library sees is its low 32 bits, so wrap-around can be staged.
#include "platform/sim/sim_backend.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <optional>
#include <thread>

#include "platform/posix/posix_backend.h"
#include "sim/reply_schedule.h"

namespace kx::platform::sim {

namespace {

struct PortState {
  kx::sim::SerialDevice* device = nullptr;
  bool open = false;
  int openCount = 0;
  LineSettings line;
  bool rts = false;
  int purgeCount = 0;
  bool stallWrites = false;
  bool failLine = false;
  bool failQueues = false;
  bool lineError = false;
  bool failReads = false;
  int refuseOpen = 0;  // errno value
  std::optional<std::uint64_t> pulledOutAt;
  std::vector<std::vector<std::uint8_t>> writes;
  std::deque<std::uint8_t> arrived;  // the driver's input queue
  kx::sim::ReplySchedule inFlight;   // the device's replies on their way
};

constexpr std::uint64_t kTickSpan = std::uint64_t{1} << 32;

}  // namespace

struct SimBackend::Impl : SimClock {
  std::map<int, PortState> ports;  // nodes are stable: handles point into them
  std::uint64_t now = 0;
  HidBus hid{*this};
  int lastOsError = 0;
  // Notes `code` as the reason of the operation that fails now.
  template <typename T>
  T Failed(int code, T result) {
    lastOsError = code;
    return result;
  }
  // Real-clock mode: `now` follows the monotonic clock from `realOrigin`,
  // which was virtual instant `virtualOrigin`.
  bool realClock = false;
  std::chrono::steady_clock::time_point realOrigin;
  std::uint64_t virtualOrigin = 0;

  std::uint64_t NowMs() override {
    if (realClock) {
      const auto passed = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - realOrigin);
      now = std::max(now, virtualOrigin + static_cast<std::uint64_t>(passed.count()));
    }
    return now;
  }

  void WaitUntilMs(std::uint64_t instant) override {
    if (realClock && instant > NowMs()) {
      std::this_thread::sleep_until(realOrigin +
                                    std::chrono::milliseconds(instant - virtualOrigin));
    }
    now = std::max(now, instant);
  }
  bool escapeKey = true;
  bool escapeDown = false;
  bool escapeLatched = false;
  std::vector<std::uint64_t> escapePresses;
  int waitCalls = 0;
  std::uint32_t longestWait = 0;
  std::uint32_t lastWriteTimeout = 0;
  int sleepCalls = 0;
  std::uint64_t sleptMs = 0;

  static PortState& State(SerialPort* port) { return *reinterpret_cast<PortState*>(port); }

  const PortState* Find(int port) const {
    auto it = ports.find(port);
    return it == ports.end() ? nullptr : &it->second;
  }

  // The line's clock runs in microseconds; virtual time moves in whole
  // milliseconds.
  std::uint64_t NowUs() const { return now * 1000; }

  bool PulledOut(const PortState& state) const {
    return state.pulledOutAt && *state.pulledOutAt <= now;
  }

  void Deliver(PortState& state) {
    const std::vector<std::uint8_t> due = state.inFlight.TakeDue(NowUs());
    state.arrived.insert(state.arrived.end(), due.begin(), due.end());
  }

  // The instant at or after now whose tick is `tick`.
  std::uint64_t NextInstantOf(std::uint32_t tick) const {
    const std::uint32_t ahead = tick - static_cast<std::uint32_t>(now);
    return now + ahead;
  }
};

SimBackend::SimBackend() : impl_(new Impl) {}
SimBackend::~SimBackend() {
  delete impl_;
}

// ---- wiring ----

void SimBackend::Attach(int port, kx::sim::SerialDevice* device) {
  impl_->ports[port].device = device;
  impl_->ports[port].pulledOutAt.reset();
}

void SimBackend::SetBaud(int port, std::uint32_t baud) {
  impl_->ports[port].inFlight.SetBaud(baud);
}

void SimBackend::Detach(int port) {
  auto it = impl_->ports.find(port);
  if (it == impl_->ports.end()) return;
  it->second.device = nullptr;
  it->second.inFlight.Clear();
}

HidBus& SimBackend::Hid() {
  return impl_->hid;
}

// ---- clock and keyboard ----

void SimBackend::UseRealClock() {
  impl_->realClock = true;
  impl_->realOrigin = std::chrono::steady_clock::now();
  impl_->virtualOrigin = impl_->now;
}

std::uint32_t SimBackend::Now() const {
  return static_cast<std::uint32_t>(impl_->now);
}

void SimBackend::Advance(std::uint32_t ms) {
  impl_->now += ms;
}

void SimBackend::SetNow(std::uint32_t tickMs) {
  // Time never runs backwards: go forward to the next instant with that tick.
  impl_->now = impl_->NextInstantOf(tickMs);
}

void SimBackend::PressEscapeAt(std::uint32_t tickMs) {
  // A tick at or just behind now means a press that has already happened.
  const std::uint32_t ahead = tickMs - Now();
  if (ahead == 0 || ahead >= kTickSpan / 2) {
    impl_->escapeLatched = true;
    return;
  }
  impl_->escapePresses.push_back(impl_->now + ahead);
}

void SimBackend::SetEscapeKey(bool present) {
  impl_->escapeKey = present;
}

void SimBackend::SetEscapeDown(bool down) {
  if (down) impl_->escapeLatched = true;
  impl_->escapeDown = down;
}

// ---- what the library did ----

const std::vector<std::vector<std::uint8_t>>& SimBackend::Writes(int port) const {
  static const std::vector<std::vector<std::uint8_t>> none;
  const PortState* state = impl_->Find(port);
  return state ? state->writes : none;
}

void SimBackend::ClearWrites() {
  for (auto& [number, state] : impl_->ports) state.writes.clear();
}

int SimBackend::OpenCount(int port) const {
  const PortState* state = impl_->Find(port);
  return state ? state->openCount : 0;
}

bool SimBackend::IsOpen(int port) const {
  const PortState* state = impl_->Find(port);
  return state && state->open;
}

LineSettings SimBackend::Line(int port) const {
  const PortState* state = impl_->Find(port);
  return state ? state->line : LineSettings{};
}

bool SimBackend::Rts(int port) const {
  const PortState* state = impl_->Find(port);
  return state && state->rts;
}

int SimBackend::PurgeCount(int port) const {
  const PortState* state = impl_->Find(port);
  return state ? state->purgeCount : 0;
}

int SimBackend::WaitCalls() const {
  return impl_->waitCalls;
}
std::uint32_t SimBackend::LongestWaitMs() const {
  return impl_->longestWait;
}

std::size_t SimBackend::PendingBytes(int port) const {
  const PortState* state = impl_->Find(port);
  if (state == nullptr) return 0;
  return state->arrived.size() + state->inFlight.PendingBytes();
}

std::uint32_t SimBackend::LastWriteTimeoutMs() const {
  return impl_->lastWriteTimeout;
}
int SimBackend::SleepCalls() const {
  return impl_->sleepCalls;
}
std::uint64_t SimBackend::SleptMs() const {
  return impl_->sleptMs;
}

// ---- faults ----

void SimBackend::StallWrites(int port, bool stall) {
  impl_->ports[port].stallWrites = stall;
}
void SimBackend::FailLineSettings(int port, bool fail) {
  impl_->ports[port].failLine = fail;
}
void SimBackend::FailQueueSizes(int port, bool fail) {
  impl_->ports[port].failQueues = fail;
}
void SimBackend::RaiseLineError(int port) {
  impl_->ports[port].lineError = true;
}
void SimBackend::FailReads(int port, bool fail) {
  impl_->ports[port].failReads = fail;
}
void SimBackend::PullOutAt(int port, std::uint32_t tickMs) {
  impl_->ports[port].pulledOutAt = impl_->NextInstantOf(tickMs);
}
void SimBackend::RefuseOpen(int port, int osError) {
  impl_->ports[port].refuseOpen = osError;
}

// ---- Backend ----

SerialPort* SimBackend::SerialOpen(int port) {
  auto it = impl_->ports.find(port);
  if (it == impl_->ports.end()) return impl_->Failed(ENOENT, nullptr);
  PortState& state = it->second;
  if (state.device == nullptr || impl_->PulledOut(state)) return impl_->Failed(ENOENT, nullptr);
  if (state.refuseOpen != 0) return impl_->Failed(state.refuseOpen, nullptr);
  if (state.open) return impl_->Failed(EBUSY, nullptr);
  state.open = true;
  ++state.openCount;
  state.arrived.clear();
  state.inFlight.Clear();
  return reinterpret_cast<SerialPort*>(&state);
}

bool SimBackend::SerialSetLine(SerialPort* port, int baud, int byteSize, int parity) {
  PortState& state = Impl::State(port);
  if (state.failLine) return impl_->Failed(EINVAL, false);
  state.line = LineSettings{baud, byteSize, parity};
  return true;
}

bool SimBackend::SerialSetQueues(SerialPort* port, int /*inputBytes*/, int /*outputBytes*/) {
  return Impl::State(port).failQueues ? impl_->Failed(ENOMEM, false) : true;
}

bool SimBackend::SerialSetRts(SerialPort* port, bool raised) {
  Impl::State(port).rts = raised;
  return true;
}

void SimBackend::SerialPurge(SerialPort* port) {
  PortState& state = Impl::State(port);
  ++state.purgeCount;
  impl_->Deliver(state);
  state.arrived.clear();
}

int SimBackend::SerialWrite(SerialPort* port, const std::uint8_t* bytes, int count,
                            std::uint32_t timeoutMs) {
  PortState& state = Impl::State(port);
  impl_->lastWriteTimeout = timeoutMs;
  if (impl_->PulledOut(state)) return impl_->Failed(EIO, -1);
  if (state.stallWrites) {
    impl_->now += timeoutMs;
    return 0;
  }
  if (count <= 0) return 0;
  state.writes.emplace_back(bytes, bytes + count);
  if (state.device != nullptr) {
    const std::uint64_t arrived =
        state.inFlight.HostBytes(impl_->NowUs(), static_cast<std::size_t>(count));
    state.inFlight.Add(arrived, state.device->OnHostBytes(bytes, static_cast<std::size_t>(count)));
  }
  return count;
}

int SimBackend::SerialBytesWaiting(SerialPort* port) {
  PortState& state = Impl::State(port);
  if (impl_->PulledOut(state)) return impl_->Failed(EIO, -1);
  impl_->Deliver(state);
  state.lineError = false;
  return static_cast<int>(state.arrived.size());
}

int SimBackend::SerialRead(SerialPort* port, std::uint8_t* buffer, int maxBytes) {
  PortState& state = Impl::State(port);
  if (state.lineError || state.failReads || impl_->PulledOut(state)) return impl_->Failed(EIO, -1);
  impl_->Deliver(state);
  const int n = std::min<int>(std::max(maxBytes, 0), static_cast<int>(state.arrived.size()));
  std::copy_n(state.arrived.begin(), n, buffer);
  state.arrived.erase(state.arrived.begin(), state.arrived.begin() + n);
  return n;
}

bool SimBackend::SerialWaitReadable(SerialPort* port, std::uint32_t timeoutMs) {
  PortState& state = Impl::State(port);
  ++impl_->waitCalls;
  impl_->longestWait = std::max(impl_->longestWait, timeoutMs);
  impl_->Deliver(state);
  if (!state.arrived.empty()) return true;
  const std::uint64_t until = impl_->now + timeoutMs;
  const std::optional<std::uint64_t> nextUs = state.inFlight.NextDue();
  std::uint64_t next = nextUs ? (*nextUs + 999) / 1000 : until + 1;
  if (state.pulledOutAt) next = std::min(next, std::max(impl_->now, *state.pulledOutAt));
  if (next <= until) {
    impl_->now = std::max(impl_->now, next);
    impl_->Deliver(state);
    return true;
  }
  impl_->now = until;
  return false;
}

std::uint32_t SimBackend::SerialNativeHandle(SerialPort* port) {
  for (const auto& [number, state] : impl_->ports) {
    if (&state == &Impl::State(port)) return 0x1000u + static_cast<std::uint32_t>(number);
  }
  return 0;
}

void SimBackend::SerialClose(SerialPort* port) {
  PortState& state = Impl::State(port);
  state.open = false;
  state.arrived.clear();
  state.inFlight.Clear();
}

int SimBackend::LastOsError() {
  return impl_->lastOsError;
}

// The simulated platform fails with errno values, as the POSIX one does.
const char* SimBackend::OsErrorReason(int code) {
  return posix::ErrnoReason(code);
}

std::uint32_t SimBackend::TickMs() {
  return static_cast<std::uint32_t>(impl_->NowMs());
}

void SimBackend::SleepMs(std::uint32_t ms) {
  ++impl_->sleepCalls;
  impl_->sleptMs += ms;
  impl_->WaitUntilMs(impl_->NowMs() + ms);
}

bool SimBackend::HasEscapeKey() {
  return impl_->escapeKey;
}

bool SimBackend::EscapePressed() {
  if (!impl_->escapeKey) return false;
  auto& presses = impl_->escapePresses;
  const auto due = std::remove_if(presses.begin(), presses.end(),
                                  [this](std::uint64_t at) { return at <= impl_->now; });
  if (due != presses.end()) impl_->escapeLatched = true;
  presses.erase(due, presses.end());
  const bool pressed = impl_->escapeDown || impl_->escapeLatched;
  impl_->escapeLatched = false;
  return pressed;
}

// ---- HID: the bus does the work ----

HidDeviceList* SimBackend::HidListOpen() {
  HidDeviceList* list = impl_->hid.ListOpen();
  return list != nullptr ? list : impl_->Failed(EIO, list);
}
HidEntry SimBackend::HidListEntry(HidDeviceList*, int index, HidInterface* entry) {
  return impl_->hid.ListEntry(index, entry);
}
void SimBackend::HidListRelease(HidDeviceList*) {
  impl_->hid.ListRelease();
}
HidDevice* SimBackend::HidOpen(const char* path) {
  HidDevice* device = impl_->hid.Open(path);
  return device != nullptr ? device : impl_->Failed(EACCES, device);
}
HidCaps SimBackend::HidGetReportLengths(HidDevice* device, HidReportLengths* lengths) {
  return impl_->hid.GetReportLengths(device, lengths);
}
void SimBackend::HidDiscardInput(HidDevice* device) {
  impl_->hid.DiscardInput(device);
}
int SimBackend::HidWriteReport(HidDevice* device, const std::uint8_t* report, int length,
                               std::uint32_t timeoutMs) {
  const int written = impl_->hid.WriteReport(device, report, length, timeoutMs);
  return written >= 0 ? written : impl_->Failed(ENODEV, written);
}
int SimBackend::HidReadReport(HidDevice* device, std::uint8_t* report, int length,
                              std::uint32_t timeoutMs) {
  const int got = impl_->hid.ReadReport(device, report, length, timeoutMs);
  return got >= 0 ? got : impl_->Failed(ENODEV, got);
}
void SimBackend::HidCancel(HidDevice* device) {
  impl_->hid.Cancel(device);
}
void SimBackend::HidClose(HidDevice* device) {
  impl_->hid.Close(device);
}

}  // namespace kx::platform::sim
