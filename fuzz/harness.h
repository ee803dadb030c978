// What the fuzz targets share: checks that stop the run with a message, the
// library on the simulated platform with a reader on COM1, and devices whose
// every answer comes from the fuzzer's input.
//
// A target is one file: it includes this header and defines
// LLVMFuzzerTestOneInput. The fuzz build instruments the whole library with
// address and undefined-behaviour sanitizers, so an overrun anywhere below
// the call ends the run as a finding.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/sim/sim_backend.h"
#include "sim/card.h"
#include "sim/reader.h"
#include "sim/wire.h"

// An oracle's verdict: a false condition is a finding like a crash.
#define KX_FUZZ_CHECK(condition)                                                         \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

namespace kx::fuzz {

using Bytes = kx::sim::Bytes;

// A buffer of exactly `size` bytes on the heap, so that the sanitizer sees a
// write one byte past it; filled with a pattern the library must not leave
// behind where it promised a terminator.
class ExactBuffer {
 public:
  explicit ExactBuffer(std::size_t size) : bytes_(new std::uint8_t[size]), size_(size) {
    for (std::size_t i = 0; i < size; ++i) bytes_[i] = 0xEE;
  }
  std::uint8_t* bytes() { return bytes_.get(); }
  char* text() { return reinterpret_cast<char*>(bytes_.get()); }
  std::size_t size() const { return size_; }
  // True when a NUL ends a text inside the buffer.
  bool Terminated() const;

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t size_;
};

// Bytes of a record file's whole-file read output (hex items two a byte, raw
// items one): what CombinedData's data holds at least, since raw items are
// read over their whole width. 0 for a file without record items.
std::size_t WholeFileOutput(const char* directory, const char* file);

// A card whose reset answer and replies are taken from the input: each
// reply is a length byte (0 to 255, scaled up to the longest a frame
// carries) and that many bytes. An exhausted input answers 90 00.
class InputCard : public kx::sim::Card {
 public:
  explicit InputCard(FuzzedDataProvider& input) : input_(input) {}
  Bytes PowerOn() override;
  void PowerOff() override {}
  Bytes Transmit(const Bytes& apdu) override;
  int Transmitted() const { return transmitted_; }

 private:
  FuzzedDataProvider& input_;
  int transmitted_ = 0;
};

// A device on the serial line whose answer to every write is a run of
// chunks from the input, each after a delay from the input: a byte stream
// cut at arbitrary points and spread over time.
class InputLine : public kx::sim::SerialDevice {
 public:
  explicit InputLine(FuzzedDataProvider& input) : input_(input) {}
  std::vector<kx::sim::ReplyChunk> OnHostBytes(const std::uint8_t* bytes, std::size_t n) override;

 private:
  FuzzedDataProvider& input_;
};

// The library, reset to its load-time state, on the simulated platform with
// `device` on COM1 and the link opened (KXReaderInitTest). One per input.
class Bench {
 public:
  explicit Bench(kx::sim::SerialDevice* device);
  ~Bench();
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  kx::platform::sim::SimBackend& backend() { return backend_; }
  bool opened() const { return opened_; }

 private:
  kx::platform::sim::SimBackend backend_;
  bool opened_ = false;
};

// A reader on COM1 with the given cards in the contact slot (0) and the PSAM
// slot (16); either may be null.
struct ReaderBench {
  ReaderBench(std::shared_ptr<kx::sim::Card> user, std::shared_ptr<kx::sim::Card> psam);
  kx::sim::Reader reader;
  Bench bench;
};

}  // namespace kx::fuzz
