// The capture parser on any bytes: a capture comes from outside (a clinic's
// machine, a mail). Oracles: a capture it takes can be played (the replay
// device and the replay's arguments are built from it without a fault), and
// a refusal always names its line.
#include <cstring>
#include <string>
#include <string_view>

#include "capture/calls.h"
#include "capture/kxcap.h"
#include "fuzz/harness.h"
#include "sim/replay_device.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kx;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  capture::Capture parsed;
  std::string error;
  if (!capture::ParseCapture(text, &parsed, &error)) {
    KX_FUZZ_CHECK(error.rfind("line ", 0) == 0);
    return 0;
  }
  for (const capture::Event& e : parsed.events) {
    if (e.kind != capture::Kind::kCall) continue;
    const char* shape = capture::ShapeOf(e.name.c_str());
    if (shape == nullptr) continue;
    capture::ReplayArgs args;
    if (args.Build(shape, e.values, &error)) {
      // The outputs as the replay writes them, from the zeroed buffers.
      std::string line;
      capture::AppendReturnValues(line, shape, args.args().data(),
                                  static_cast<int>(args.args().size()), 0);
    }
  }
  sim::ReplayDevice device(parsed, true);
  // The host sends the first recorded bytes, then junk.
  const std::uint8_t junk[] = {0x02, 0x30, 0x30, 0x1B, 0x25, 0x49, 0x34, 0x03};
  device.OnHostBytes(junk, sizeof junk);
  device.OnHostBytes(data, size < 64 ? size : 64);
  return 0;
}
