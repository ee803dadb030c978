// Writes that fail part-way: a whole file of records, and transparent files
// in 128-byte pieces, with a fault at each piece in turn. Whatever happens,
// the card holds every piece either as it was or as the caller wrote it,
// never a mix and never anything else, and the call reports success only
// when every piece is new.
#include <functional>
#include <string>

#include "tests/integration/services_fixture.h"

namespace kx {
namespace {

using test::HexBytes;

enum class PieceFault {
  kRefused,       // the card answers 65 81 and writes nothing
  kWrongLength,   // the card answers 6C 10 and writes nothing
  kMoreData,      // the card writes, then answers 61 10
  kReplyLost,     // the reader hangs before running the command
  kReplyDamaged,  // the card writes; its answer reaches the host with a bad check byte
  kCardRemoved,
  kLinkClosed,  // the serial adapter pulled after the command went out
};

const char* const kPieceFaultNames[] = {"refused",       "6C 10",        "61 10",      "reply lost",
                                        "reply damaged", "card removed", "link closed"};

bool IsUpdate(const sim::Bytes& apdu) {
  return apdu.size() > 4 && apdu[0] == 0x00 && (apdu[1] == 0xDC || apdu[1] == 0xD6);
}

// The simulated card, answering its `faultAt`-th update command (counted
// from 1) as the fault says.
class FaultyCard : public sim::UserCard {
 public:
  int faultAt = 0;
  PieceFault fault = PieceFault::kRefused;

  sim::Bytes Transmit(const sim::Bytes& apdu) override {
    if (!IsUpdate(apdu) || ++updates_ != faultAt) return UserCard::Transmit(apdu);
    switch (fault) {
      case PieceFault::kRefused:
        return {0x65, 0x81};
      case PieceFault::kWrongLength:
        return {0x6C, 0x10};
      case PieceFault::kMoreData:
        UserCard::Transmit(apdu);
        return {0x61, 0x10};
      default:
        return UserCard::Transmit(apdu);
    }
  }

 private:
  int updates_ = 0;
};

class WriteIntegrity : public test::ServicesFixture {
 protected:
  // A fresh library and reader with a FaultyCard, the fault armed on the
  // piece-th update the card or the reader sees.
  FaultyCard& Prepare(int piece, PieceFault fault) {
    Restart();
    auto faulty = std::make_shared<FaultyCard>();
    faulty->SeedChallenges(7);
    faulty->faultAt = piece;
    faulty->fault = fault;
    card = faulty;
    reader.Insert(0, card);
    int seen = 0;
    reader.SetCommandHook([this, piece, fault, seen](std::size_t, const sim::Bytes& body) mutable {
      if (body.size() < 4 || body[1] != 0x26 || !IsUpdate(sim::Bytes(body.begin() + 3, body.end())))
        return;
      if (++seen != piece) return;
      sim::ReaderFaults f;
      f.remaining = 1;
      if (fault == PieceFault::kReplyLost) f.silent = true;
      if (fault == PieceFault::kReplyDamaged) f.badCheck = true;
      if (fault == PieceFault::kCardRemoved) reader.Remove(0);
      if (fault == PieceFault::kLinkClosed) backend.PullOutAt(1, backend.Now());
      reader.faults() = f;
    });
    return *faulty;
  }

  // Checks the pieces read back against their old and new bytes.
  void ExpectWholePieces(const std::vector<sim::Bytes>& now, const std::vector<sim::Bytes>& old,
                         const std::vector<sim::Bytes>& wanted, int r, const std::string& what) {
    bool allNew = true;
    for (std::size_t i = 0; i < now.size(); ++i) {
      EXPECT_TRUE(now[i] == old[i] || now[i] == wanted[i])
          << what << ", piece " << i + 1 << ": " << test::HexText(now[i]);
      allNew = allNew && now[i] == wanted[i];
    }
    if (r == 0) {
      EXPECT_TRUE(allNew) << what << ": success with a piece not written";
    }
  }
};

sim::Bytes Pattern(std::size_t n, int seed) {
  sim::Bytes bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(seed + 7 * i);
  return bytes;
}

TEST_F(WriteIntegrity, AWholeRecordFileFailingAtEachRecordKeepsEveryRecordWhole) {
  const sim::Bytes data = Pattern(83, 0x31);
  // The four records as the clean write leaves them.
  OpenReader();
  std::vector<sim::Bytes> old, wanted;
  for (int r = 1; r <= 4; ++r) old.push_back(Record(0xDF01, 0xEF05, r));
  ASSERT_EQ(KXUpdateInfo(0, "DF01", "EF05", 0, data.data()), 0) << Message(-12);
  for (int r = 1; r <= 4; ++r) wanted.push_back(Record(0xDF01, 0xEF05, r));

  for (int piece = 1; piece <= 4; ++piece) {
    for (int f = 0; f < 7; ++f) {
      const std::string what =
          std::string(kPieceFaultNames[f]) + " at record " + std::to_string(piece);
      Prepare(piece, static_cast<PieceFault>(f));
      OpenReader();
      const int r = KXUpdateInfo(0, "DF01", "EF05", 0, data.data());
      reader.SetCommandHook(nullptr);
      EXPECT_NE(r, 0) << what;
      std::vector<sim::Bytes> now;
      for (int k = 1; k <= 4; ++k) now.push_back(Record(0xDF01, 0xEF05, k));
      ExpectWholePieces(now, old, wanted, r, what);
      for (int k = 1; k < piece; ++k) EXPECT_EQ(now[k - 1], wanted[k - 1]) << what << ", " << k;
      for (int k = piece + 1; k <= 4; ++k) EXPECT_EQ(now[k - 1], old[k - 1]) << what << ", " << k;
    }
  }
}

TEST_F(WriteIntegrity, ABinaryWriteFailingAtEachPieceKeepsEveryPieceWhole) {
  struct Case {
    const char* name;
    std::uint16_t directory, file;
    int length;
    std::function<void()> prepare;
    std::function<int(const sim::Bytes&)> call;
  };
  const Case cases[] = {
      {"KXUpdateBinary 3F00 EF07", 0x3F00, 0xEF07, 300,
       [this] {
         OpenReader();
         ASSERT_EQ(KXCheckKey(0, "UKMF"), 0);
         const sim::Bytes select = HexBytes("00 A4 02 00 02 EF 07");
         unsigned char reply[KX_APDU_REPLY_SIZE];
         int length = 0;
         ASSERT_EQ(KXRunApdu(0, 7, select.data(), &length, reply), 0);
       },
       [](const sim::Bytes& d) { return KXUpdateBinary(0, 0, 300, d.data()); }},
      {"KXUpdateBinaryAIO DF0B EF0C", 0xDF0B, 0xEF0C, 256, [] {},
       [](const sim::Bytes& d) { return KXUpdateBinaryAIO("DF0B", "EF0C", 0, 256, d.data()); }},
  };
  for (const Case& c : cases) {
    const sim::Bytes data = Pattern(static_cast<std::size_t>(c.length), 0x52);
    const int pieces = (c.length + 127) / 128;
    Restart();
    const sim::Bytes before = Binary(c.directory, c.file);
    std::vector<sim::Bytes> old, wanted;
    for (int p = 0; p < pieces; ++p) {
      const auto from = static_cast<std::ptrdiff_t>(128 * p);
      const auto to = static_cast<std::ptrdiff_t>(std::min(128 * (p + 1), c.length));
      old.emplace_back(before.begin() + from, before.begin() + to);
      wanted.emplace_back(data.begin() + from, data.begin() + to);
    }
    for (int piece = 1; piece <= pieces; ++piece) {
      for (int f = 0; f < 7; ++f) {
        const std::string what =
            std::string(c.name) + ", " + kPieceFaultNames[f] + " at piece " + std::to_string(piece);
        Prepare(piece, static_cast<PieceFault>(f));
        c.prepare();
        const int r = c.call(data);
        reader.SetCommandHook(nullptr);
        EXPECT_NE(r, 0) << what;
        const sim::Bytes& after = Binary(c.directory, c.file);
        std::vector<sim::Bytes> now;
        for (int p = 0; p < pieces; ++p) {
          const auto from = static_cast<std::ptrdiff_t>(128 * p);
          const auto to = static_cast<std::ptrdiff_t>(std::min(128 * (p + 1), c.length));
          now.emplace_back(after.begin() + from, after.begin() + to);
        }
        ExpectWholePieces(now, old, wanted, r, what);
        EXPECT_EQ(std::vector<sim::Bytes>(now.begin() + piece, now.end()),
                  std::vector<sim::Bytes>(old.begin() + piece, old.end()))
            << what << ": a piece after the fault was written";
      }
    }
    // And without a fault, every piece is new.
    Restart();
    c.prepare();
    ASSERT_EQ(c.call(data), 0) << c.name << ": " << Message(-12);
    EXPECT_EQ(sim::Bytes(Binary(c.directory, c.file).begin(),
                         Binary(c.directory, c.file).begin() + c.length),
              data)
        << c.name;
  }
}

}  // namespace
}  // namespace kx
