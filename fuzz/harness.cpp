#include "fuzz/harness.h"

#include <algorithm>
#include <cstring>

#include "KX_ICCReader.h"
#include "core/state.h"
#include "dictionary/dictionary.h"
#include "link/reader_port.h"
#include "platform/platform.h"
#include "reader/commands.h"
#include "reader/frame.h"
#include "sim/psam.h"
#include "sim/user_card.h"

namespace kx::fuzz {

bool ExactBuffer::Terminated() const {
  return std::memchr(bytes_.get(), 0, size_) != nullptr;
}

std::size_t WholeFileOutput(const char* directory, const char* file) {
  std::uint8_t positions[kMaxRecordItemsPerFile];
  const int count = ListRecordRows(directory, file, positions);
  std::size_t size = 0;
  for (int i = 0; i < count; ++i) {
    const TagCardRecordInfoRow& row = TagCardRecordInfo[positions[i]];
    size += row.dataType == 0 || row.dataType == 4 ? 2u * row.length : row.length;
  }
  return size;
}

namespace {

// Replies up to one byte past what a frame carries, so that the refusal of an
// overlong one is reached too.
Bytes Reply(FuzzedDataProvider& input) {
  const int code = input.ConsumeIntegral<std::uint8_t>();
  const std::size_t length = code < 250 ? static_cast<std::size_t>(code)
                                        : static_cast<std::size_t>(kMaxReplyData + code - 249);
  return input.ConsumeBytes<std::uint8_t>(length);
}

}  // namespace

Bytes InputCard::PowerOn() {
  if (input_.remaining_bytes() == 0) return {0x3B, 0x00};
  return Reply(input_);
}

Bytes InputCard::Transmit(const Bytes&) {
  ++transmitted_;
  if (input_.remaining_bytes() == 0) return {0x90, 0x00};
  return Reply(input_);
}

std::vector<kx::sim::ReplyChunk> InputLine::OnHostBytes(const std::uint8_t*, std::size_t) {
  std::vector<kx::sim::ReplyChunk> chunks;
  const int count = input_.ConsumeIntegralInRange<int>(0, 8);
  for (int i = 0; i < count && input_.remaining_bytes() > 0; ++i) {
    kx::sim::ReplyChunk chunk;
    // Mostly short gaps, now and then one past the idle rule or the limit.
    const std::uint8_t gap = input_.ConsumeIntegral<std::uint8_t>();
    chunk.delayMs = gap < 200 ? gap : 100u * (gap - 199u);
    chunk.bytes =
        input_.ConsumeBytes<std::uint8_t>(input_.ConsumeIntegralInRange<std::size_t>(0, 1100));
    chunks.push_back(std::move(chunk));
  }
  return chunks;
}

Bytes Tape::Take(std::size_t n) {
  const std::size_t count = std::min(n, size_ - std::min(at_, size_));
  Bytes bytes(data_ + at_, data_ + at_ + count);
  at_ += count;
  return bytes;
}

Bytes Tape::Reply() {
  std::size_t length = Byte();
  if (length >= 0xF0) length = std::min<std::size_t>((length - 0xF0) * 256 + Byte(), 600);
  return Take(length);
}

void Recorder::Reply(const Bytes& reply) {
  if (reply.size() < 0xF0) {
    Byte(static_cast<std::uint8_t>(reply.size()));
  } else {
    Byte(static_cast<std::uint8_t>(0xF0 + reply.size() / 256));
    Byte(static_cast<std::uint8_t>(reply.size() % 256));
  }
  bytes_.insert(bytes_.end(), reply.begin(), reply.end());
}

Bytes TapeCard::PowerOn() {
  if (tape_.empty()) return {0x3B, 0x00};
  return tape_.Reply();
}

Bytes TapeCard::Transmit(const Bytes&) {
  if (tape_.empty()) return {0x6F, 0x00};
  return tape_.Reply();
}

Bytes RecordingCard::PowerOn() {
  Bytes atr = card_->PowerOn();
  recorder_.Reply(atr);
  return atr;
}

Bytes RecordingCard::Transmit(const Bytes& apdu) {
  Bytes reply = card_->Transmit(apdu);
  recorder_.Reply(reply);
  return reply;
}

void ReaderFaultsFromTape(kx::sim::Reader& reader, Tape& tape) {
  reader.SetCommandHook([&reader, &tape](std::size_t, const Bytes&) {
    const std::uint8_t choice = tape.Byte();
    if (choice == 0) return;
    static const int kStatuses[] = {0x1002, 0x1004, 0x2005, 0x0E01, 0x6581, 0x0000};
    kx::sim::ReaderFaults& f = reader.faults();
    f = kx::sim::ReaderFaults{};
    f.remaining = 1;
    switch (choice % 8) {
      case 0:
        f.silent = true;
        break;
      case 1:
        f.badCheck = true;
        break;
      case 2:
        f.garbageBeforeStx = tape.Take(tape.Byte() % 8);
        break;
      case 3:
        f.trailingBytes = tape.Take(tape.Byte() % 8);
        break;
      case 4:
        f.splitInto = 2 + tape.Byte() % 3;
        f.splitGapMs = 20u * tape.Byte();
        break;
      case 5:
        f.status = kStatuses[tape.Byte() % 6];
        break;
      case 6:
        f.lengthField = tape.Byte();
        break;
      default:
        f.letterDigits = true;
        f.lowerCaseLetters = (choice & 0x80) != 0;
        break;
    }
  });
}

void ReaderFaultsRecorded(kx::sim::Reader& reader, Recorder& recorder) {
  reader.SetCommandHook([&recorder](std::size_t, const Bytes&) { recorder.Byte(0); });
}

Bench::Bench(kx::sim::SerialDevice* device) {
  ResetLibraryForTests();
  platform::SetBackend(&backend_);
  backend_.Attach(1, device);
  opened_ = KXReaderInitTest(1, 9600) == 0;
}

Bench::~Bench() {
  ResetLibraryForTests();
}

ReaderBench::ReaderBench(std::shared_ptr<kx::sim::Card> user, std::shared_ptr<kx::sim::Card> psam)
    : bench(&reader) {
  if (user) reader.Insert(0, std::move(user));
  if (psam) reader.Insert(16, std::move(psam));
}

bool ReaderCode(int r) {
  return r == 0 || r == -1 || r == -2 || r == -4 || r == -5 || r == -6 || r == -7 || r == -13;
}

int CheckedRawRead(FuzzedDataProvider& input, bool portMayFail) {
  const int capacity = input.ConsumeIntegralInRange(1, kReceiveBufferSize);
  const int seconds = input.ConsumeIntegralInRange(0, 5);
  ExactBuffer buffer(static_cast<std::size_t>(capacity));
  ReaderPort.Write(reinterpret_cast<const std::uint8_t*>("?"), 1);
  const LinkResult read = ReaderPort.Read(buffer.bytes(), capacity, kEtx, seconds);
  const int n = read.ok() ? read.count : LinkReadCode(read.status, LinkKind);
  KX_FUZZ_CHECK(n == -4 || (portMayFail && n == -2) ||
                (n >= 0 && n < capacity && buffer.bytes()[n] == 0));
  return seconds;
}

void CheckedPowerOn() {
  ExactBuffer answer(kResetAnswerSize);
  int length = -1;
  const int r = PowerOnSlot(0, answer.bytes(), kResetAnswerSize, &length);
  KX_FUZZ_CHECK(ReaderCode(r));
  KX_FUZZ_CHECK(r != 0 || (length >= 0 && length <= kResetAnswerSize));
}

void CheckedStatusQuery() {
  char status = 'x';
  const int r = GetReaderStatus(0, &status);
  KX_FUZZ_CHECK(ReaderCode(r) && (status == '0' || status == '2'));
  KX_FUZZ_CHECK(ResetAnswerLength >= 0 && ResetAnswerLength <= kResetAnswerSize);
}

std::unique_ptr<ReaderBench> TapeBench(Tape& tape) {
  auto bench = std::make_unique<ReaderBench>(std::make_shared<TapeCard>(tape),
                                             std::make_shared<TapeCard>(tape));
  ReaderFaultsFromTape(bench->reader, tape);
  return bench;
}

std::unique_ptr<ReaderBench> RecordingBench(Recorder& recorder) {
  auto user = std::make_shared<kx::sim::UserCard>();
  user->SeedChallenges(7);
  auto bench = std::make_unique<ReaderBench>(
      std::make_shared<RecordingCard>(user, recorder),
      std::make_shared<RecordingCard>(std::make_shared<kx::sim::Psam>(), recorder));
  ReaderFaultsRecorded(bench->reader, recorder);
  return bench;
}

void CheckFlowEnd(ReaderBench& bench, std::uint32_t start, int r, bool allInOne) {
  KX_FUZZ_CHECK(r <= 0);
  if (allInOne) KX_FUZZ_CHECK(!SerialPortOpen);
  const std::size_t commands = bench.reader.Commands().size();
  KX_FUZZ_CHECK(bench.bench.backend().Now() - start <= (commands + 1) * kCommandLimitMs);
  KX_FUZZ_CHECK(std::strlen(ErrorText) < static_cast<std::size_t>(kErrorTextSize));
}

int RunFlow(FlowRun run, const std::uint8_t* data, std::size_t size) {
  Tape tape(data, size);
  const std::uint8_t choice = tape.Byte();
  auto bench = TapeBench(tape);
  if (bench->bench.opened()) run(*bench, choice);
  return 0;
}

void RecordSeedIfAsked(FlowRun run) {
  const char* path = std::getenv("KX_FUZZ_WRITE_SEED");
  if (path == nullptr || *path == '\0') return;
  const char* flow = std::getenv("KX_FUZZ_SEED_FLOW");
  const auto choice = static_cast<std::uint8_t>(flow != nullptr ? std::atoi(flow) : 0);
  Recorder recorder;
  recorder.Byte(choice);
  int r = 0;
  {
    auto bench = RecordingBench(recorder);
    r = run(*bench, choice);
  }
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) std::exit(1);
  std::fwrite(recorder.bytes().data(), 1, recorder.bytes().size(), file);
  std::fclose(file);
  std::fprintf(stderr, "flow %d: result %d, %zu bytes written to %s\n", choice, r,
               recorder.bytes().size(), path);
  std::exit(r == 0 ? 0 : 1);
}

}  // namespace kx::fuzz
