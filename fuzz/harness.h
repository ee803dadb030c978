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

// The input read front to back, for the end-to-end flows: a byte stream a
// recorded run can be written as (see Recorder), so that a good run of a
// flow is a seed and the fuzzer starts from deep inside it.
class Tape {
 public:
  Tape(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  // 0 once the tape has run out.
  std::uint8_t Byte() { return empty() ? 0 : data_[at_++]; }
  Bytes Take(std::size_t n);
  // A reply: a length (one byte below 0xF0, else two: 0xF0 + high, low; at
  // most 600) and that many bytes.
  Bytes Reply();

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Writes what a Tape reads: the input that replays a recorded run.
class Recorder {
 public:
  void Byte(std::uint8_t b) { bytes_.push_back(b); }
  void Reply(const Bytes& reply);
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

// A card answering from the tape: its reset answer and every reply. An
// exhausted tape answers 6F 00 (and 3B 00 to a reset), so a flow ends.
class TapeCard : public kx::sim::Card {
 public:
  explicit TapeCard(Tape& tape) : tape_(tape) {}
  Bytes PowerOn() override;
  void PowerOff() override {}
  Bytes Transmit(const Bytes& apdu) override;

 private:
  Tape& tape_;
};

// A real simulated card whose answers are also written down as a TapeCard
// would read them.
class RecordingCard : public kx::sim::Card {
 public:
  RecordingCard(std::shared_ptr<kx::sim::Card> card, Recorder& recorder)
      : card_(std::move(card)), recorder_(recorder) {}
  Bytes PowerOn() override;
  void PowerOff() override { card_->PowerOff(); }
  Bytes Transmit(const Bytes& apdu) override;

 private:
  std::shared_ptr<kx::sim::Card> card_;
  Recorder& recorder_;
};

// Before every command the reader runs, one byte of the tape says whether
// and how its reply goes wrong (silence, a bad check byte, noise around the
// frame, a split with a long gap, a reader status, a wrong length field);
// 0 leaves it alone. With a recorder instead, a 0 is written for each.
void ReaderFaultsFromTape(kx::sim::Reader& reader, Tape& tape);
void ReaderFaultsRecorded(kx::sim::Reader& reader, Recorder& recorder);

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

// The end-to-end flows' bench: a reader on COM1 whose user card and PSAM
// answer from the tape and whose every reply the tape may spoil; or, to
// record a seed, the simulated user card and PSAM (their keys and checks
// real) with every answer written down.
std::unique_ptr<ReaderBench> TapeBench(Tape& tape);
std::unique_ptr<ReaderBench> RecordingBench(Recorder& recorder);

// Reader commands with their oracles, for the targets that drive a reader
// link (serial or HID) from the input: a power-on of the user card (the
// reset answer within its buffer) and the status query (status '0' or '2',
// the stored reset answer within its bounds). Results must be the codes the
// reader layers give.
bool ReaderCode(int r);
// A write and a read of the raw reply, into a buffer and with a limit (in
// seconds, returned) from the input: -4, or the bytes terminated inside the
// buffer; -2 too where `portMayFail` (a HID device that turns unusable).
int CheckedRawRead(FuzzedDataProvider& input, bool portMayFail);
void CheckedPowerOn();
void CheckedStatusQuery();

// A flow: runs the calls that `choice` (the tape's first byte) picks on
// the bench and returns the last result.
using FlowRun = int (*)(ReaderBench& bench, std::uint8_t choice);

// For a flow target's LLVMFuzzerInitialize: with KX_FUZZ_WRITE_SEED=FILE in
// the environment, records flow KX_FUZZ_SEED_FLOW (the choice byte, 0 when
// unset) against the simulated cards, writes the tape to FILE and exits;
// otherwise does nothing.
void RecordSeedIfAsked(FlowRun run);

// What each command of a flow may take at most: its 5 s (the longest
// reply limit) and one slice of the readability wait.
inline constexpr std::uint32_t kCommandLimitMs = 5010;

// The oracles every flow ends with, for result `r` of calls that began at
// `start`: 0 or a negative code, the link closed after an all-in-one call,
// no more time than each command's limit, ErrorText within its buffer.
void CheckFlowEnd(ReaderBench& bench, std::uint32_t start, int r, bool allInOne);

// One execution of a flow target: the tape's first byte chooses, the rest
// answers.
int RunFlow(FlowRun run, const std::uint8_t* data, std::size_t size);

}  // namespace kx::fuzz

// A flow target's two entry points, around its FlowRun.
#define KX_FUZZ_FLOW_TARGET(run)                                                      \
  extern "C" int LLVMFuzzerInitialize(int*, char***) {                                \
    kx::fuzz::RecordSeedIfAsked(run);                                                 \
    return 0;                                                                         \
  }                                                                                   \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
    return kx::fuzz::RunFlow(run, data, size);                                        \
  }
