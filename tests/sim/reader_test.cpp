// The simulated reader through its serial-line interface: framing, commands,
// statuses, faults and trace.
#include "sim/reader.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/card.h"
#include "sim/frame_codec.h"
#include "sim/hex.h"
#include "sim/line_budget.h"
#include "sim/psam.h"
#include "sim/reply_schedule.h"

namespace kx::sim {
namespace {

Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

Bytes Concat(const std::vector<ReplyChunk>& chunks) {
  Bytes all;
  for (const ReplyChunk& c : chunks) all.insert(all.end(), c.bytes.begin(), c.bytes.end());
  return all;
}

// Records what the reader did to it.
class ProbeCard : public Card {
 public:
  explicit ProbeCard(Bytes atr, Bytes answer = {0x90, 0x00})
      : atr(std::move(atr)), answer(std::move(answer)) {}
  Bytes PowerOn() override {
    ++powerOns;
    return atr;
  }
  void PowerOff() override { ++powerOffs; }
  Bytes Transmit(const Bytes& apdu) override {
    apdus.push_back(apdu);
    return answer;
  }
  Bytes atr;
  Bytes answer;
  int powerOns = 0;
  int powerOffs = 0;
  std::vector<Bytes> apdus;
};

const Bytes kPsamAtr = {0x3B, 0x02, 0x14, 0x50};
const Bytes kPowerOn0 = {0x32, 0x22, 0x00, 0x00, 0x00};
const Bytes kPowerOn16 = {0x32, 0x22, 0x00, 0x00, 0x10};
const Bytes kSelectMf = {0x32, 0x26, 0x00, 0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};

class SimReader : public ::testing::Test {
 protected:
  std::vector<ReplyChunk> Feed(const Bytes& bytes) {
    return reader.OnHostBytes(bytes.data(), bytes.size());
  }
  // Sends one command frame and decodes the reply; the frame must be whole.
  DecodedReply Command(const Bytes& body) {
    const Bytes wire = Concat(Feed(EncodeCommandFrame(body)));
    return DecodeReplyFrame(wire);
  }
  int Status(const Bytes& body) {
    DecodedReply r = Command(body);
    EXPECT_EQ(r.error, FrameError::kNone);
    return r.status;
  }

  Reader reader;
};

// ---------------------------------------------------------------- codec

TEST(SimFrameCodec, CommandFrameByteForByte) {
  EXPECT_EQ(EncodeCommandFrame(kPowerOn0), Text("\x02"
                                                "0005322200000010"
                                                "\x03"));
  EXPECT_EQ(EncodeCommandFrame({0xAB}), Text("\x02"
                                             "0001:;:;"
                                             "\x03"));
}

TEST(SimFrameCodec, ReplyFrameByteForByte) {
  // 3B ^ 02 ^ 14 ^ 50 = 7D
  EXPECT_EQ(EncodeReplyFrame(0, kPsamAtr), Text("\x02"
                                                "000600003;0214507="
                                                "\x03"));
  EXPECT_EQ(EncodeReplyFrame(0, kPsamAtr, true), Text("\x02"
                                                      "000600003B0214507D"
                                                      "\x03"));
  // The check covers the status bytes, not the length.
  EXPECT_EQ(EncodeReplyFrame(0x1002, {}), Text("\x02"
                                               "00021002"
                                               "12"
                                               "\x03"));
}

TEST(SimFrameCodec, CommandTextErrors) {
  auto error = [](const std::string& text) {
    const Bytes t = Text(text);
    return DecodeCommandText(t.data(), t.size()).error;
  };
  EXPECT_EQ(error("0005322200000010"), FrameError::kNone);
  EXPECT_EQ(error("0005322200000011"), FrameError::kBadCheck);
  EXPECT_EQ(error("0006322200000010"), FrameError::kLengthMismatch);
  EXPECT_EQ(error("000532220000001"), FrameError::kOddDigits);
  EXPECT_EQ(error("00053222000000G0"), FrameError::kBadDigit);
  EXPECT_EQ(error("0000"), FrameError::kTooShort);
  EXPECT_EQ(error(""), FrameError::kEmpty);
  // Letters of either case are digits too, and an empty body is a frame.
  EXPECT_EQ(error("00023a3A00"), FrameError::kNone);
  EXPECT_EQ(error("000000"), FrameError::kNone);
}

TEST(SimFrameCodec, ReplyDecodingFindsTheFrameAndReportsFaults) {
  Bytes wire = Text("noise");
  const Bytes frame = EncodeReplyFrame(0x1003, {0x3B, 0x00});
  wire.insert(wire.end(), frame.begin(), frame.end());
  wire.push_back(0x55);
  DecodedReply r = DecodeReplyFrame(wire);
  EXPECT_EQ(r.error, FrameError::kNone);
  EXPECT_EQ(r.status, 0x1003);
  EXPECT_EQ(r.lengthField, 4);
  EXPECT_EQ(r.data, (Bytes{0x3B, 0x00}));

  EXPECT_EQ(DecodeReplyFrame(Text("\x02"
                                  "0002100213"
                                  "\x03"))
                .error,
            FrameError::kBadCheck);
  EXPECT_EQ(DecodeReplyFrame(Text("\x02"
                                  "0003100212"
                                  "\x03"))
                .error,
            FrameError::kLengthMismatch);
  EXPECT_EQ(DecodeReplyFrame(Text("\x02"
                                  "00021002"))
                .error,
            FrameError::kEmpty);
}

// ---------------------------------------------------------------- framing

TEST_F(SimReader, FrameInSinglePiecesIsAnsweredOnlyAtEtx) {
  reader.Insert(kSlotPsam, std::make_shared<ProbeCard>(kPsamAtr));
  const Bytes frame = EncodeCommandFrame(kPowerOn16);
  for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
    EXPECT_TRUE(Feed({frame[i]}).empty()) << "at byte " << i;
  }
  const std::vector<ReplyChunk> reply = Feed({frame.back()});
  ASSERT_EQ(reply.size(), 1u);
  EXPECT_EQ(reply[0].delayMs, 0u);
  EXPECT_EQ(reply[0].bytes, Text("\x02"
                                 "000600003;0214507="
                                 "\x03"));
}

TEST_F(SimReader, TwoFramesInOneWriteGetTwoReplies) {
  reader.Insert(kSlotPsam, std::make_shared<ProbeCard>(kPsamAtr));
  Bytes both = EncodeCommandFrame(kPowerOn16);
  const Bytes off = EncodeCommandFrame({0x32, 0x23, 0x10});
  both.insert(both.end(), off.begin(), off.end());
  Bytes expected = EncodeReplyFrame(0, kPsamAtr);
  const Bytes second = EncodeReplyFrame(0, {});
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(Concat(Feed(both)), expected);
  EXPECT_EQ(reader.Commands().size(), 2u);
}

TEST_F(SimReader, CommandsInLetterDigitsAreUnderstood) {
  reader.Insert(kSlotPsam, std::make_shared<ProbeCard>(kPsamAtr));
  // 32 22 00 00 10, check 00
  EXPECT_EQ(DecodeReplyFrame(Concat(Feed(Text("\x02"
                                              "0005322200001000"
                                              "\x03"))))
                .data,
            kPsamAtr);
  // 32 26 10 00 A4 00, check A0, in upper and in lower case letters
  EXPECT_EQ(Concat(Feed(Text("\x02"
                             "0006322610"
                             "00A400"
                             "A0"
                             "\x03"))),
            EncodeReplyFrame(0, {0x90, 0x00}));
  EXPECT_EQ(Concat(Feed(Text("\x02"
                             "0006322610"
                             "00a400"
                             "a0"
                             "\x03"))),
            EncodeReplyFrame(0, {0x90, 0x00}));
  EXPECT_EQ(reader.ApdusTo(kSlotPsam),
            (std::vector<Bytes>{{0x00, 0xA4, 0x00}, {0x00, 0xA4, 0x00}}));
}

TEST_F(SimReader, NoiseBeforeStxIsTracedAndTheFrameStillAnswered) {
  reader.Insert(kSlotPsam, std::make_shared<ProbeCard>(kPsamAtr));
  Bytes wire = {0x00, 0x41, 0x03};
  const Bytes frame = EncodeCommandFrame(kPowerOn16);
  wire.insert(wire.end(), frame.begin(), frame.end());
  EXPECT_EQ(DecodeReplyFrame(Concat(Feed(wire))).data, kPsamAtr);
  ASSERT_GE(reader.trace().size(), 2u);
  EXPECT_EQ(reader.trace()[0].kind, TraceEntry::Kind::kGarbage);
  EXPECT_EQ(reader.trace()[0].bytes, (Bytes{0x00, 0x41, 0x03}));
  EXPECT_EQ(reader.trace()[1].kind, TraceEntry::Kind::kCommand);
}

TEST_F(SimReader, ControlSequencesAreRecordedAndNeverAnswered) {
  EXPECT_TRUE(Feed({0x1B, 0x25}).empty());
  EXPECT_TRUE(reader.trace().empty()) << "half a sequence is not yet noise";
  EXPECT_TRUE(Feed({0x49, 0x34, 0x1B, 0x25, 0x42}).empty());
  ASSERT_EQ(reader.trace().size(), 2u);
  EXPECT_EQ(reader.trace()[0].Describe(), "CTRL 1B 25 49 34 (ESC %I4)");
  EXPECT_EQ(reader.trace()[1].Describe(), "CTRL 1B 25 42 (ESC %B)");
}

TEST_F(SimReader, BrokenEscapeIsNoiseAndWhatFollowsStillCounts) {
  Bytes wire = {0x1B, 0x25, 0x58};  // ESC % X
  const Bytes frame = EncodeCommandFrame(kPowerOn0);
  wire.insert(wire.end(), {0x1B});  // an ESC right before STX
  wire.insert(wire.end(), frame.begin(), frame.end());
  EXPECT_EQ(DecodeReplyFrame(Concat(Feed(wire))).status, kStatusContactAbsent);
  ASSERT_EQ(reader.trace().size(), 3u);
  EXPECT_EQ(reader.trace()[0].Describe(), "GARBAGE 1B 25 58 1B");
  EXPECT_EQ(reader.trace()[1].kind, TraceEntry::Kind::kCommand);
}

TEST_F(SimReader, BadFramesGetTheFrameErrorStatus) {
  const Bytes frameError = EncodeReplyFrame(kStatusFrameError, {});
  EXPECT_EQ(Concat(Feed(Text("\x02"
                             "0005322200000011"
                             "\x03"))),
            frameError);
  EXPECT_EQ(Concat(Feed(Text("\x02"
                             "0004322200000010"
                             "\x03"))),
            frameError);
  EXPECT_EQ(Concat(Feed(Text("\x02"
                             "00053222000000 0"
                             "\x03"))),
            frameError);
  EXPECT_EQ(Concat(Feed(Text("\x02\x03"))), frameError);
  EXPECT_TRUE(reader.Commands().empty());
  ASSERT_EQ(reader.trace().size(), 8u);
  EXPECT_EQ(reader.trace()[0].Describe(),
            "GARBAGE 02 30 30 30 35 33 32 32 32 30 30 30 30 30 30 31 31 03 [bad check byte]");
  EXPECT_EQ(reader.trace()[2].note, "length field mismatch");
  EXPECT_EQ(reader.trace()[4].note, "bad digit");
  EXPECT_EQ(reader.trace()[6].note, "empty frame");
  EXPECT_EQ(reader.trace()[7].Describe(), "RPL 0E01");
}

TEST_F(SimReader, FrameCutShortByANewStxIsDropped) {
  Bytes wire = Text(
      "\x02"
      "000532");
  const Bytes frame = EncodeCommandFrame(kPowerOn0);
  wire.insert(wire.end(), frame.begin(), frame.end());
  const std::vector<ReplyChunk> reply = Feed(wire);
  EXPECT_EQ(DecodeReplyFrame(Concat(reply)).status, kStatusContactAbsent);
  EXPECT_EQ(reader.trace()[0].Describe(), "GARBAGE 02 30 30 30 35 33 32 [incomplete frame]");
  EXPECT_EQ(reader.Commands(), std::vector<Bytes>{kPowerOn0});
}

TEST_F(SimReader, OverlongFrameIsRefusedWithoutGrowingWithoutBound) {
  Bytes wire = {kStx};
  wire.insert(wire.end(), 100000, '0');
  wire.push_back(kEtx);
  EXPECT_EQ(Concat(Feed(wire)), EncodeReplyFrame(kStatusFrameError, {}));
  ASSERT_EQ(reader.trace().size(), 2u);
  EXPECT_LE(reader.trace()[0].bytes.size(), 4096u);
  EXPECT_NE(reader.trace()[0].note.find("too long"), std::string::npos);
  // The reader is back in step for the next frame.
  EXPECT_EQ(Status(kPowerOn0), kStatusContactAbsent);
}

// ---------------------------------------------------------------- commands

TEST_F(SimReader, EmptySlotsAnswerWithTheirOwnStatus) {
  EXPECT_EQ(Status(kPowerOn0), kStatusContactAbsent);
  EXPECT_EQ(Status({0x32, 0x22, 0x00, 0x00, 0x01}), kStatusContactAbsent);
  EXPECT_EQ(Status(kPowerOn16), kStatusPsamAbsent);
  EXPECT_EQ(Status({0x32, 0x22, 0x00, 0x00, 0x11}), kStatusPsamAbsent);
  EXPECT_EQ(Status({0x32, 0x24, 0x00, 0x00}), kStatusContactlessTimeout);
  EXPECT_EQ(Status({0x32, 0x26, 0x00, 0x00, 0xA4}), kStatusContactAbsent);
  EXPECT_EQ(Status({0x32, 0x26, 0x10, 0x00, 0xA4}), kStatusPsamAbsent);
  EXPECT_EQ(Status({0x32, 0x26, 0xFF, 0x00, 0xA4}), kStatusContactlessTimeout);
  // Cutting power to an empty slot is harmless.
  EXPECT_EQ(Status({0x32, 0x23, 0x00}), kStatusOk);
  EXPECT_EQ(Status({0x32, 0x25, 0x00, 0x00}), kStatusOk);
}

TEST_F(SimReader, PowerOnAnswersTheResetAnswerAndPowerOffCutsPower) {
  auto card = std::make_shared<ProbeCard>(Bytes{0x3B, 0x6D, 0x00, 0x00});
  reader.Insert(kSlotContact, card);
  EXPECT_FALSE(reader.IsPowered(kSlotContact));
  DecodedReply r = Command(kPowerOn0);
  EXPECT_EQ(r.status, kStatusOk);
  EXPECT_EQ(r.data, card->atr);
  EXPECT_EQ(card->powerOns, 1);
  EXPECT_TRUE(reader.IsPowered(kSlotContact));
  // A second power-on resets the card again.
  EXPECT_EQ(Command(kPowerOn0).data, card->atr);
  EXPECT_EQ(card->powerOns, 2);

  EXPECT_EQ(Status({0x32, 0x23, 0x00}), kStatusOk);
  EXPECT_EQ(card->powerOffs, 1);
  EXPECT_FALSE(reader.IsPowered(kSlotContact));
  // Already off: nothing more to tell the card.
  EXPECT_EQ(Status({0x32, 0x23, 0x00}), kStatusOk);
  EXPECT_EQ(card->powerOffs, 1);
}

TEST_F(SimReader, ApduGoesToAPoweredCardOnly) {
  auto card = std::make_shared<ProbeCard>(Bytes{0x3B, 0x00}, Bytes{0x3F, 0x00, 0x90, 0x00});
  auto psam = std::make_shared<ProbeCard>(kPsamAtr);
  reader.Insert(kSlotContact, card);
  reader.Insert(kSlotPsam, psam);
  EXPECT_EQ(Status(kSelectMf), kStatusContactNotPowered);
  EXPECT_EQ(Status({0x32, 0x26, 0x10, 0x00, 0x84, 0x00, 0x00, 0x08}), kStatusPsamAbsent);
  EXPECT_TRUE(card->apdus.empty());

  Command(kPowerOn0);
  const DecodedReply r = Command(kSelectMf);
  EXPECT_EQ(r.status, kStatusOk);
  EXPECT_EQ(r.data, (Bytes{0x3F, 0x00, 0x90, 0x00}));
  EXPECT_EQ(card->apdus, (std::vector<Bytes>{{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}}));
  EXPECT_TRUE(psam->apdus.empty());

  Command({0x32, 0x23, 0x00});
  EXPECT_EQ(Status(kSelectMf), kStatusContactNotPowered);
  EXPECT_EQ(card->apdus.size(), 1u);
}

TEST_F(SimReader, RemovingAPoweredCardCutsItsPower) {
  auto card = std::make_shared<ProbeCard>(Bytes{0x3B, 0x00});
  reader.Insert(kSlotContact, card);
  Command(kPowerOn0);
  reader.Remove(kSlotContact);
  EXPECT_EQ(card->powerOffs, 1);
  EXPECT_FALSE(reader.IsPowered(kSlotContact));
  EXPECT_EQ(reader.CardIn(kSlotContact), nullptr);
  EXPECT_EQ(Status(kSelectMf), kStatusContactAbsent);
  // Back in, it must be powered on before it answers.
  reader.Insert(kSlotContact, card);
  EXPECT_EQ(Status(kSelectMf), kStatusContactNotPowered);
}

TEST_F(SimReader, ContactlessCardUsesItsOwnCommands) {
  auto card = std::make_shared<ProbeCard>(Bytes{0x3B, 0x81, 0x80, 0x01, 0x80, 0x80});
  reader.Insert(kSlotContactless, card);
  EXPECT_EQ(Status({0x32, 0x26, 0xFF, 0x00, 0x84, 0x00, 0x00, 0x04}), kStatusContactlessNotActive);
  // The contact commands do not reach the field.
  EXPECT_EQ(Status({0x32, 0x22, 0x00, 0x00, 0xFF}), kStatusContactlessUnsupported);
  EXPECT_EQ(card->powerOns, 0);

  EXPECT_EQ(Command({0x32, 0x24, 0x00, 0x00}).data, card->atr);
  EXPECT_EQ(Status({0x32, 0x26, 0xFF, 0x00, 0x84, 0x00, 0x00, 0x04}), kStatusOk);
  EXPECT_EQ(reader.ApdusTo(kSlotContactless).size(), 1u);
  EXPECT_EQ(Status({0x32, 0x23, 0xFF}), kStatusContactlessUnsupported);
  EXPECT_EQ(Status({0x32, 0x25, 0x00, 0x00}), kStatusOk);
  EXPECT_EQ(card->powerOffs, 1);
}

TEST_F(SimReader, ContactlessCardThatDoesNotAnswer) {
  auto card = std::make_shared<ProbeCard>(Bytes{}, Bytes{});
  reader.Insert(kSlotContactless, card);
  EXPECT_EQ(Status({0x32, 0x24, 0x00, 0x00}), kStatusContactlessActivationFailed);
  EXPECT_FALSE(reader.IsPowered(kSlotContactless));
  card->atr = {0x3B, 0x00};
  EXPECT_EQ(Status({0x32, 0x24, 0x00, 0x00}), kStatusOk);
  EXPECT_EQ(Status({0x32, 0x26, 0xFF, 0x00, 0x84, 0x00, 0x00, 0x04}), kStatusContactlessTimeout);
}

TEST_F(SimReader, ContactCardWithoutResetAnswerGetsSuccessWithoutData) {
  reader.Insert(kSlotContact, std::make_shared<ProbeCard>(Bytes{}));
  const DecodedReply r = Command(kPowerOn0);
  EXPECT_EQ(r.status, kStatusOk);
  EXPECT_TRUE(r.data.empty());
  EXPECT_EQ(r.lengthField, 2);
}

TEST_F(SimReader, UnknownCommandsAndWrongSizes) {
  auto card = std::make_shared<ProbeCard>(Bytes{0x3B, 0x00});
  reader.Insert(kSlotContact, card);
  for (const Bytes& body : std::vector<Bytes>{{},
                                              {0x32},
                                              {0x33, 0x22, 0x00, 0x00, 0x00},
                                              {0x32, 0x99},
                                              {0x32, 0x22, 0x00, 0x00},
                                              {0x32, 0x22, 0x00, 0x00, 0x00, 0x00},
                                              {0x32, 0x23},
                                              {0x32, 0x24, 0x00},
                                              {0x32, 0x25},
                                              {0x32, 0x26}}) {
    EXPECT_EQ(Status(body), kStatusUnknownCommand) << HexText(body);
  }
  EXPECT_EQ(card->powerOns, 0);
  EXPECT_EQ(reader.Commands().size(), 10u) << "well-framed commands are traced even if unknown";
}

// ---------------------------------------------------------------- faults

class SimReaderFaults : public SimReader {
 protected:
  void SetUp() override {
    card = std::make_shared<ProbeCard>(kPsamAtr);
    reader.Insert(kSlotContact, card);
  }
  std::shared_ptr<ProbeCard> card;
};

TEST_F(SimReaderFaults, SilentReaderNeitherAnswersNorRuns) {
  reader.faults().silent = true;
  EXPECT_TRUE(Feed(EncodeCommandFrame(kPowerOn0)).empty());
  EXPECT_EQ(card->powerOns, 0);
  EXPECT_FALSE(reader.IsPowered(kSlotContact));
  EXPECT_EQ(reader.TraceText(), "CMD 32 22 00 00 00 (power on 0)\nRPL none [silent]\n");
}

TEST_F(SimReaderFaults, DelayedReplyInPiecesAddsUpToTheSameFrame) {
  reader.faults().delayMs = 300;
  reader.faults().splitInto = 3;
  reader.faults().splitGapMs = 40;
  const std::vector<ReplyChunk> chunks = Feed(EncodeCommandFrame(kPowerOn0));
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0].delayMs, 300u);
  EXPECT_EQ(chunks[1].delayMs, 40u);
  EXPECT_EQ(chunks[2].delayMs, 40u);
  for (const ReplyChunk& c : chunks) EXPECT_FALSE(c.bytes.empty());
  EXPECT_EQ(Concat(chunks), EncodeReplyFrame(0, kPsamAtr));
  EXPECT_EQ(reader.trace().back().note, "delay 300 ms, split 3");
}

TEST_F(SimReaderFaults, SplitIntoMorePiecesThanBytes) {
  reader.faults().rawReply = Bytes{0x02, 0x03};
  reader.faults().splitInto = 10;
  const std::vector<ReplyChunk> chunks = Feed(EncodeCommandFrame(kPowerOn0));
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(Concat(chunks), (Bytes{0x02, 0x03}));
}

TEST_F(SimReaderFaults, BadCheckKeepsStatusAndData) {
  reader.faults().badCheck = true;
  const DecodedReply r = Command(kPowerOn0);
  EXPECT_EQ(r.error, FrameError::kBadCheck);
  EXPECT_EQ(r.status, kStatusOk);
  EXPECT_EQ(r.data, kPsamAtr);
}

TEST_F(SimReaderFaults, LetterDigitsInEitherCase) {
  reader.faults().letterDigits = true;
  EXPECT_EQ(Concat(Feed(EncodeCommandFrame(kPowerOn0))), Text("\x02"
                                                              "000600003B0214507D"
                                                              "\x03"));
  reader.faults().lowerCaseLetters = true;
  EXPECT_EQ(Concat(Feed(EncodeCommandFrame(kPowerOn0))), Text("\x02"
                                                              "000600003b0214507d"
                                                              "\x03"));
}

TEST_F(SimReaderFaults, BytesAroundTheFrame) {
  reader.faults().garbageBeforeStx = {0x41, 0x42};
  reader.faults().trailingBytes = {0x0D, 0x0A};
  Bytes expected = {0x41, 0x42};
  const Bytes frame = EncodeReplyFrame(0, kPsamAtr);
  expected.insert(expected.end(), frame.begin(), frame.end());
  expected.insert(expected.end(), {0x0D, 0x0A});
  const std::vector<ReplyChunk> chunks = Feed(EncodeCommandFrame(kPowerOn0));
  ASSERT_EQ(chunks.size(), 1u) << "trailing bytes come in the same chunk";
  EXPECT_EQ(chunks[0].bytes, expected);
}

TEST_F(SimReaderFaults, ForcedStatusDropsTheDataButTheCommandRuns) {
  reader.faults().status = kStatusContactPowered;
  const DecodedReply r = Command(kPowerOn0);
  EXPECT_EQ(r.status, kStatusContactPowered);
  EXPECT_TRUE(r.data.empty());
  EXPECT_EQ(card->powerOns, 1);
  // With replyData the forced status carries data.
  reader.faults().replyData = Bytes{0x3B, 0x00};
  const DecodedReply withData = Command(kPowerOn0);
  EXPECT_EQ(withData.status, kStatusContactPowered);
  EXPECT_EQ(withData.data, (Bytes{0x3B, 0x00}));
}

TEST_F(SimReaderFaults, ReplacedDataMayBeFarLongerThanAnyReaderSends) {
  reader.faults().replyData = Bytes(320, 0x5A);
  const DecodedReply r = Command(kPowerOn0);
  EXPECT_EQ(r.error, FrameError::kNone);
  EXPECT_EQ(r.lengthField, 322);
  EXPECT_EQ(r.data.size(), 320u);
  EXPECT_EQ(reader.trace().back().bytes.size(), 322u);
}

TEST_F(SimReaderFaults, ForcedLengthField) {
  reader.faults().lengthField = 0x0100;
  const DecodedReply r = Command(kPowerOn0);
  EXPECT_EQ(r.error, FrameError::kLengthMismatch);
  EXPECT_EQ(r.lengthField, 0x0100);
  EXPECT_EQ(r.data, kPsamAtr);
  reader.faults().lengthField = 0;
  EXPECT_EQ(Command(kPowerOn0).lengthField, 0);
}

TEST_F(SimReaderFaults, RawReplyIsSentExactly) {
  reader.faults().rawReply = Text(
      "\x02"
      "0002000000");                          // no ETX
  reader.faults().garbageBeforeStx = {0x41};  // not added to a raw reply
  EXPECT_EQ(Concat(Feed(EncodeCommandFrame(kPowerOn0))), Text("\x02"
                                                              "0002000000"));
  EXPECT_EQ(reader.trace().back().Describe(), "RPL 02 30 30 30 32 30 30 30 30 30 30 [raw reply]");
}

TEST_F(SimReaderFaults, RemainingLimitsTheFaultThenClearsIt) {
  reader.faults().status = kStatusContactAbsent;
  reader.faults().remaining = 2;
  EXPECT_EQ(Status(kPowerOn0), kStatusContactAbsent);
  EXPECT_EQ(reader.faults().remaining, 1);
  EXPECT_EQ(Status(kPowerOn0), kStatusContactAbsent);
  EXPECT_FALSE(reader.faults().status.has_value());
  EXPECT_EQ(Status(kPowerOn0), kStatusOk);
}

TEST_F(SimReaderFaults, OnlyTheChosenCommandAfterSomeMatches) {
  reader.faults().onlyCommand = 0x26;
  reader.faults().after = 2;
  reader.faults().remaining = 1;
  reader.faults().status = 0x6A82;
  EXPECT_EQ(Status(kPowerOn0), kStatusOk);
  EXPECT_EQ(Status(kSelectMf), kStatusOk);
  EXPECT_EQ(Status(kPowerOn0), kStatusOk);
  EXPECT_EQ(Status(kSelectMf), kStatusOk);
  EXPECT_EQ(Status(kSelectMf), 0x6A82);
  EXPECT_EQ(Status(kSelectMf), kStatusOk);
  EXPECT_EQ(card->apdus.size(), 4u) << "a forced status does not stop the card's work";
}

TEST_F(SimReaderFaults, FaultsLimitedToACommandLeaveFrameErrorsAlone) {
  reader.faults().onlyCommand = 0x22;
  reader.faults().silent = true;
  EXPECT_EQ(Concat(Feed(Text("\x02"
                             "00"
                             "\x03"))),
            EncodeReplyFrame(kStatusFrameError, {}));
}

TEST_F(SimReaderFaults, HookRemovesTheCardAtAChosenStep) {
  reader.SetCommandHook([&](std::size_t index, const Bytes&) {
    if (index == 2) reader.Remove(kSlotContact);
  });
  EXPECT_EQ(Status(kPowerOn0), kStatusOk);
  EXPECT_EQ(Status(kSelectMf), kStatusOk);
  EXPECT_EQ(Status(kSelectMf), kStatusContactAbsent);
  EXPECT_EQ(card->powerOffs, 1);
  // The count starts again with the trace.
  reader.Insert(kSlotContact, card);
  reader.ClearTrace();
  Status(kPowerOn0);
  Status(kPowerOn0);
  EXPECT_EQ(Status(kPowerOn0), kStatusContactAbsent);
}

// ---------------------------------------------------------------- trace

// What the benchmarks compute a lower bound from: every byte that crossed the
// line is in some entry's share, and each reply carries the reader's time.
TEST_F(SimReader, TheTraceAccountsForEveryByteOnTheLineAndTheReadersTime) {
  reader.SetTiming({.commandMs = 3, .cryptoMs = 15});
  reader.Insert(kSlotPsam, std::make_shared<Psam>());
  struct Step {
    Bytes wire;
    ReaderFaults faults;
    std::uint32_t replyDelayMs;
  };
  Bytes opening = {kEsc, '%', 'I', '4', 0x00, 0x41};
  const Bytes powerOn = EncodeCommandFrame(kPowerOn16);
  opening.insert(opening.end(), powerOn.begin(), powerOn.end());
  ReaderFaults slow;
  slow.delayMs = 7;
  slow.splitInto = 2;
  slow.splitGapMs = 4;
  const Step steps[] = {
      {opening, {}, 3},
      {EncodeCommandFrame({0x32, 0x26, 0x10, 0x80, 0xFA, 0x00, 0x00, 0x08, 1, 2, 3, 4, 5, 6, 7, 8}),
       {},
       15},
      {EncodeCommandFrame(kSelectMf), slow, 14},
      {Text("\x02"
            "0005322200000011"
            "\x03"),
       {},
       3},
      {{kEsc, '%', 'B'}, {}, 0},
  };
  std::size_t sent = 0, received = 0;
  std::vector<std::uint32_t> delays;
  for (const Step& step : steps) {
    reader.faults() = step.faults;
    const std::vector<ReplyChunk> reply = Feed(step.wire);
    sent += step.wire.size();
    received += Concat(reply).size();
    std::uint32_t delay = 0;
    for (const ReplyChunk& chunk : reply) delay += chunk.delayMs;
    if (!reply.empty()) delays.push_back(delay);
  }

  std::size_t hostBytes = 0, replyBytes = 0;
  std::vector<std::uint32_t> traced;
  LowerBound bound;
  for (const TraceEntry& entry : reader.trace()) {
    const LineCost cost = CostOf(entry);
    (cost.reply ? replyBytes : hostBytes) += cost.bytes;
    if (cost.reply) traced.push_back(cost.delayMs);
    const std::optional<LineCost> parsed = ParseLineCost(entry.Describe(true));
    ASSERT_EQ(parsed.has_value(), cost.bytes > 0) << entry.Describe(true);
    if (parsed) {
      EXPECT_EQ(parsed->reply, cost.reply);
      EXPECT_EQ(parsed->bytes, cost.bytes);
      EXPECT_EQ(parsed->delayMs, cost.delayMs);
    }
    bound.Add(entry);
  }
  EXPECT_EQ(hostBytes, sent);
  EXPECT_EQ(replyBytes, received);
  EXPECT_EQ(traced, (std::vector<std::uint32_t>{3, 15, 14, 3}));
  EXPECT_EQ(traced, delays);
  // The closing sequence after the last reply is nobody's wait.
  EXPECT_EQ(bound.Microseconds(9600), LineTimeUs(sent - 3 + received, 9600) + 35000u);
}

TEST_F(SimReader, TraceOfASession) {
  reader.Insert(kSlotContact, std::make_shared<ProbeCard>(Bytes{0x3B, 0x00}, Bytes{0x6A, 0x82}));
  reader.Insert(kSlotPsam, std::make_shared<ProbeCard>(kPsamAtr));
  Feed({0x1B, 0x25, 0x49, 0x34});
  Command(kPowerOn0);
  Command(kSelectMf);
  Command(kPowerOn16);
  Command({0x32, 0x26, 0x10, 0x00, 0xB0, 0x96, 0x00, 0x06});
  Command({0x32, 0x23, 0x10});
  Feed({0x1B, 0x25, 0x42});
  EXPECT_EQ(reader.TraceText(),
            "CTRL 1B 25 49 34 (ESC %I4)\n"
            "CMD 32 22 00 00 00 (power on 0)\n"
            "RPL 0000 3B 00\n"
            "CMD 32 26 00 00 A4 00 00 02 3F 00 (APDU to 0)\n"
            "APDU>0 00 A4 00 00 02 3F 00\n"
            "APDU<0 6A 82\n"
            "RPL 0000 6A 82\n"
            "CMD 32 22 00 00 10 (power on 16)\n"
            "RPL 0000 3B 02 14 50\n"
            "CMD 32 26 10 00 B0 96 00 06 (APDU to 16)\n"
            "APDU>16 00 B0 96 00 06\n"
            "APDU<16 90 00\n"
            "RPL 0000 90 00\n"
            "CMD 32 23 10 (power off 16)\n"
            "RPL 0000\n"
            "CTRL 1B 25 42 (ESC %B)\n");
  EXPECT_EQ(reader.ApdusTo(kSlotContact),
            (std::vector<Bytes>{{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}}));
  EXPECT_EQ(reader.ApdusTo(kSlotPsam), (std::vector<Bytes>{{0x00, 0xB0, 0x96, 0x00, 0x06}}));
  EXPECT_EQ(reader.Commands().size(), 5u);
  reader.ClearTrace();
  EXPECT_EQ(reader.TraceText(), "");
}

TEST_F(SimReaderFaults, TraceNotesTheFaultsOfAReply) {
  reader.faults().badCheck = true;
  reader.faults().letterDigits = true;
  reader.faults().status = kStatusContactNotPowered;
  Command(kPowerOn0);
  EXPECT_EQ(reader.trace().back().Describe(), "RPL 1004 [status forced, letter digits, bad check]");
}

}  // namespace
}  // namespace kx::sim
