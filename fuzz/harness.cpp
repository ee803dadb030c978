#include "fuzz/harness.h"

#include <algorithm>
#include <cstring>

#include "KX_ICCReader.h"
#include "dictionary/dictionary.h"
#include "link/reader_port.h"
#include "platform/platform.h"
#include "reader/frame.h"

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

}  // namespace kx::fuzz
