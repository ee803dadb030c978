#include "platform/sim/sim_hid.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kx::platform::sim {

namespace {

SimHidDevice& Of(HidDevice* device) {
  return *reinterpret_cast<SimHidDevice*>(device);
}

// A non-null token: the bus holds one list at a time and needs no record.
HidDeviceList* ListToken(HidBus* bus) {
  return reinterpret_cast<HidDeviceList*>(bus);
}

}  // namespace

void SimHidDevice::Schedule(std::uint64_t due, std::vector<std::uint8_t> bytes) {
  bytes.resize(static_cast<std::size_t>(std::max(setup.inputReportLength, 1)), 0);
  const auto at =
      std::upper_bound(reports_.begin(), reports_.end(), due,
                       [](std::uint64_t value, const Report& r) { return value < r.due; });
  reports_.insert(at, Report{due, std::move(bytes)});
}

void SimHidDevice::SendReport(const std::vector<std::uint8_t>& report, std::uint32_t delayMs) {
  Schedule(clock_->NowMs() + delayMs, report);
}

void SimHidDevice::Answer(std::uint64_t now, std::vector<kx::sim::ReplyChunk> chunks) {
  std::vector<std::uint8_t> stream;
  std::vector<std::uint64_t> dues;  // when each byte is ready
  std::uint64_t due = now;
  for (const kx::sim::ReplyChunk& chunk : chunks) {
    due += chunk.delayMs;
    stream.insert(stream.end(), chunk.bytes.begin(), chunk.bytes.end());
    dues.insert(dues.end(), chunk.bytes.size(), due);
  }
  if (stream.empty()) return;
  if (setup.answerHeader) {
    const std::uint8_t header[2] = {static_cast<std::uint8_t>(stream.size() >> 8),
                                    static_cast<std::uint8_t>(stream.size())};
    stream.insert(stream.begin(), header, header + 2);
    dues.insert(dues.begin(), 2, dues.front());
  }
  const std::size_t payload = static_cast<std::size_t>(std::max(setup.inputReportLength - 1, 1));
  for (std::size_t at = 0; at < stream.size(); at += payload) {
    const std::size_t end = std::min(at + payload, stream.size());
    std::vector<std::uint8_t> report{0};
    report.insert(report.end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
                  stream.begin() + static_cast<std::ptrdiff_t>(end));
    Schedule(dues[end - 1], std::move(report));
  }
}

SimHidDevice& HidBus::Attach(const HidDeviceSetup& setup, kx::sim::SerialDevice* model) {
  auto device = std::make_unique<SimHidDevice>();
  device->setup = setup;
  device->clock_ = &clock_;
  device->model_ = model;
  device->path_ = "sim-hid-" + std::to_string(devices_.size());
  devices_.push_back(std::move(device));
  return *devices_.back();
}

void HidBus::DetachAll() {
  devices_.clear();
}

HidDeviceList* HidBus::ListOpen() {
  if (listUnavailable) return nullptr;
  ++listsHeld;
  return ListToken(this);
}

HidEntry HidBus::ListEntry(int index, HidInterface* entry) {
  ++listSteps;
  if (index < 0 || static_cast<std::size_t>(index) >= devices_.size()) {
    return endlessList ? HidEntry::kFailed : HidEntry::kEnd;
  }
  const SimHidDevice& device = *devices_[static_cast<std::size_t>(index)];
  if (device.faults.enumerationFails) return HidEntry::kFailed;
  if (device.faults.pathUnreadable) return HidEntry::kNoPath;
  std::snprintf(entry->path, sizeof entry->path, "%s", device.path_.c_str());
  entry->identityKnown = !device.faults.identityUnreadable;
  entry->vendorId = device.setup.vendorId;
  entry->productId = device.setup.productId;
  entry->version = device.setup.version;
  return HidEntry::kFound;
}

void HidBus::ListRelease() {
  --listsHeld;
}

HidDevice* HidBus::Open(const char* path) {
  for (const auto& device : devices_) {
    if (device->path_ != path) continue;
    if (device->faults.openFails) return nullptr;
    // Reports sent while nobody had the device open went nowhere.
    if (device->opens == 0) device->reports_.clear();
    ++device->opens;
    return reinterpret_cast<HidDevice*>(device.get());
  }
  return nullptr;
}

HidCaps HidBus::GetReportLengths(HidDevice* handle, HidReportLengths* lengths) {
  const SimHidDevice& device = Of(handle);
  if (device.faults.noPreparsedData) return HidCaps::kNoPreparsedData;
  if (device.faults.noCapabilities) return HidCaps::kNoCapabilities;
  *lengths = HidReportLengths{device.setup.inputReportLength, device.setup.outputReportLength,
                              !device.faults.outputReportUnsettable};
  return HidCaps::kOk;
}

void HidBus::DiscardInput(HidDevice* handle) {
  SimHidDevice& device = Of(handle);
  ++device.discards;
  const std::uint64_t now = clock_.NowMs();
  while (!device.reports_.empty() && device.reports_.front().due <= now) {
    device.reports_.pop_front();
    ++device.reportsDropped;
  }
}

int HidBus::WriteReport(HidDevice* handle, const std::uint8_t* report, int length,
                        std::uint32_t timeoutMs) {
  SimHidDevice& device = Of(handle);
  if (device.faults.unplugged) return -1;
  const std::uint64_t now = clock_.NowMs();
  if (device.faults.stalledWrites != 0) {
    if (device.faults.stalledWrites > 0) --device.faults.stalledWrites;
    clock_.WaitUntilMs(now + timeoutMs);
    ++device.cancels;
    return 0;
  }
  device.written.emplace_back(report, report + length);
  if (device.model_ != nullptr && length > 1) {
    int end = length;
    while (end > 1 && report[end - 1] == 0) --end;
    if (end > 1) {
      device.Answer(now, device.model_->OnHostBytes(report + 1, static_cast<std::size_t>(end - 1)));
    }
  }
  return length;
}

int HidBus::ReadReport(HidDevice* handle, std::uint8_t* report, int length,
                       std::uint32_t timeoutMs) {
  SimHidDevice& device = Of(handle);
  if (device.faults.unplugged) return -1;
  const std::uint64_t now = clock_.NowMs();
  if (device.reports_.empty() || device.reports_.front().due > now + timeoutMs) {
    clock_.WaitUntilMs(now + timeoutMs);
    return 0;
  }
  clock_.WaitUntilMs(device.reports_.front().due);
  const std::vector<std::uint8_t> bytes = std::move(device.reports_.front().bytes);
  device.reports_.pop_front();
  std::memset(report, 0, static_cast<std::size_t>(length));
  std::memcpy(report, bytes.data(), std::min(bytes.size(), static_cast<std::size_t>(length)));
  return length;
}

void HidBus::Cancel(HidDevice* handle) {
  ++Of(handle).cancels;
}

void HidBus::Close(HidDevice* handle) {
  --Of(handle).opens;
}

}  // namespace kx::platform::sim
