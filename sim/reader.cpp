// The simulated card reader.
//
// Commands (every body starts with the class byte 0x32):
//
//   32 22 00 00 ss   power on (cold reset) the card in slot ss -> its reset answer
//   32 23 ss         power off slot ss
//   32 24 00 00      activate the contactless card (slot 255) -> its reset answer
//   32 25 00 00      deactivate the contactless card
//   32 26 ss apdu    carry one APDU to the card in slot ss -> data, SW1 SW2
//
// Raw control sequences ESC "%I4" (host opened the port) and ESC "%B" (host
// closes it) are taken silently. Anything else outside a frame is noise on the
// line and is dropped.
//
// How the reader answers what it cannot run:
//   - a frame whose digits, length field or check byte are wrong: status 0E01.
//     The reader saw a whole frame, so it answers rather than leave the host
//     waiting for its full time-out;
//   - an unknown class or instruction, or a body of the wrong size: 0E02;
//   - the contact commands 22/23 aimed at slot 255: 3001;
//   - an empty slot: 1002 (contact), 2005 (PSAM slots 16, 17), 3006 (field);
//   - an APDU to a card that is not powered: 1004, 2005 for a PSAM (the host's
//     message for it speaks of a PSAM power-on error), 3004 in the field;
//   - a contactless card with no reset answer: 3005; one that does not answer
//     an APDU: 3006. A contact card without an answer gets 0000 and no data.
// Powering off always succeeds, also on an empty slot: cutting power to an
// empty slot is harmless. Powering on a powered card resets it again.

#include "sim/reader.h"

#include <algorithm>
#include <array>
#include <map>

#include "sim/frame_codec.h"
#include "sim/hex.h"
#include "sim/line_budget.h"

namespace kx::sim {

namespace {

constexpr std::uint8_t kClass = 0x32;
constexpr std::uint8_t kPowerOn = 0x22;
constexpr std::uint8_t kPowerOff = 0x23;
constexpr std::uint8_t kActivate = 0x24;
constexpr std::uint8_t kDeactivate = 0x25;
constexpr std::uint8_t kApdu = 0x26;

// A reader keeps a bounded frame buffer; the library never sends more than
// 1022 digits.
constexpr std::size_t kMaxFrameText = 2048;

const std::array<Bytes, 2> kControlSequences = {
    Bytes{kEsc, '%', 'I', '4'},
    Bytes{kEsc, '%', 'B'},
};

bool IsPsamSlot(int slot) {
  return slot == kSlotPsam || slot == kSlotPsam2;
}

int AbsentStatus(int slot) {
  if (slot == kSlotContactless) return kStatusContactlessTimeout;
  if (IsPsamSlot(slot)) return kStatusPsamAbsent;
  return kStatusContactAbsent;
}

int NotPoweredStatus(int slot) {
  if (slot == kSlotContactless) return kStatusContactlessNotActive;
  if (IsPsamSlot(slot)) return kStatusPsamAbsent;
  return kStatusContactNotPowered;
}

std::string CommandName(const Bytes& body) {
  if (body.size() < 2 || body[0] != kClass) return "unknown";
  switch (body[1]) {
    case kPowerOn:
      return body.size() == 5 ? "power on " + std::to_string(body[4]) : "power on, bad size";
    case kPowerOff:
      return body.size() == 3 ? "power off " + std::to_string(body[2]) : "power off, bad size";
    case kActivate:
      return "activate contactless";
    case kDeactivate:
      return "deactivate contactless";
    case kApdu:
      return body.size() >= 3 ? "APDU to " + std::to_string(body[2]) : "APDU, bad size";
  }
  return "unknown";
}

struct Answer {
  int status = kStatusOk;
  Bytes data;
  bool crypto = false;  // the card ran its key cryptography
};

Answer FrameErrorAnswer() {
  return {kStatusFrameError, {}};
}

}  // namespace

std::string TraceEntry::Describe(bool withLine) const {
  std::string line;
  switch (kind) {
    case Kind::kCommand:
      line = "CMD " + HexText(bytes) + " (" + CommandName(bytes) + ")";
      break;
    case Kind::kReply:
      if (bytes.empty()) {
        line = "RPL none";
      } else if (note.rfind("raw", 0) == 0 || bytes.size() < 2) {
        line = "RPL " + HexText(bytes);
      } else {
        line = "RPL " + HexText(bytes.data(), 2);
        line.erase(6, 1);  // "RPL 10 02" -> "RPL 1002"
        if (bytes.size() > 2) line += " " + HexText(bytes.data() + 2, bytes.size() - 2);
      }
      break;
    case Kind::kControl:
      line = "CTRL " + HexText(bytes);
      if (bytes == kControlSequences[0]) line += " (ESC %I4)";
      if (bytes == kControlSequences[1]) line += " (ESC %B)";
      break;
    case Kind::kApdu:
      line = "APDU>" + std::to_string(slot) + " " + HexText(bytes);
      break;
    case Kind::kResponse:
      line = "APDU<" + std::to_string(slot) + " " + HexText(bytes);
      break;
    case Kind::kGarbage:
      line = "GARBAGE " + HexText(bytes);
      break;
  }
  if (!note.empty()) line += " [" + note + "]";
  if (withLine) line += FormatLineCost(CostOf(*this));
  return line;
}

struct Reader::Impl {
  struct Slot {
    std::shared_ptr<Card> card;
    bool powered = false;
  };
  enum class State { kIdle, kFrame, kEscape };

  std::map<int, Slot> slots;
  ReaderFaults faults;
  ReaderTiming timing;
  std::vector<TraceEntry> trace;
  CommandHook hook;
  std::size_t commandIndex = 0;

  State state = State::kIdle;
  Bytes frameText;  // digits after STX
  std::size_t frameDropped = 0;
  Bytes escape;   // a control sequence being matched, ESC included
  Bytes garbage;  // noise not yet in the trace, merged into one entry

  TraceEntry& Add(TraceEntry::Kind kind, int slot, Bytes bytes, std::string note = {},
                  std::size_t lineBytes = 0) {
    FlushGarbage();
    trace.push_back(TraceEntry{kind, slot, std::move(bytes), std::move(note), lineBytes});
    return trace.back();
  }

  void FlushGarbage() {
    if (garbage.empty()) return;
    const std::size_t lineBytes = garbage.size();
    trace.push_back(TraceEntry{TraceEntry::Kind::kGarbage, -1, std::move(garbage), {}, lineBytes});
    garbage.clear();
  }

  // `ended`: the frame's end byte came too, and counts on the line.
  void AbandonFrame(const char* why, bool ended = false) {
    Bytes partial{kStx};
    partial.insert(partial.end(), frameText.begin(), frameText.end());
    const std::size_t lineBytes = partial.size() + frameDropped + (ended ? 1 : 0);
    Add(TraceEntry::Kind::kGarbage, -1, std::move(partial), why, lineBytes);
    frameText.clear();
    frameDropped = 0;
  }

  void Feed(std::uint8_t b, std::vector<ReplyChunk>& out) {
    switch (state) {
      case State::kEscape:
        FeedEscape(b, out);
        return;
      case State::kFrame:
        if (b == kEtx) {
          state = State::kIdle;
          EndOfFrame(out);
        } else if (b == kStx) {
          AbandonFrame("incomplete frame");
        } else if (b == kEsc) {
          AbandonFrame("incomplete frame");
          state = State::kEscape;
          escape = {b};
        } else if (frameText.size() < kMaxFrameText) {
          frameText.push_back(b);
        } else {
          ++frameDropped;
        }
        return;
      case State::kIdle:
        if (b == kStx) {
          FlushGarbage();
          state = State::kFrame;
          frameText.clear();
          frameDropped = 0;
        } else if (b == kEsc) {
          state = State::kEscape;
          escape = {b};
        } else {
          garbage.push_back(b);
        }
        return;
    }
  }

  void FeedEscape(std::uint8_t b, std::vector<ReplyChunk>& out) {
    escape.push_back(b);
    bool prefix = false;
    for (const Bytes& sequence : kControlSequences) {
      if (escape.size() > sequence.size() ||
          !std::equal(escape.begin(), escape.end(), sequence.begin())) {
        continue;
      }
      if (escape.size() == sequence.size()) {
        state = State::kIdle;
        const std::size_t lineBytes = escape.size();
        Add(TraceEntry::Kind::kControl, -1, std::move(escape), {}, lineBytes);
        escape.clear();
        return;
      }
      prefix = true;
    }
    if (prefix) return;
    // Not a control sequence: what came before this byte is noise, and this
    // byte may itself start a frame or another sequence.
    garbage.insert(garbage.end(), escape.begin(), escape.end() - 1);
    escape.clear();
    state = State::kIdle;
    Feed(b, out);
  }

  void EndOfFrame(std::vector<ReplyChunk>& out) {
    if (frameDropped > 0) {
      const std::string why = "frame too long, " + std::to_string(frameDropped) + " bytes dropped";
      AbandonFrame(why.c_str(), true);
      Reply(std::nullopt, FrameErrorAnswer, out);
      return;
    }
    DecodedCommand command = DecodeCommandText(frameText.data(), frameText.size());
    if (command.error != FrameError::kNone) {
      Bytes whole{kStx};
      whole.insert(whole.end(), frameText.begin(), frameText.end());
      whole.push_back(kEtx);
      const std::size_t lineBytes = whole.size();
      Add(TraceEntry::Kind::kGarbage, -1, std::move(whole), FrameErrorName(command.error),
          lineBytes);
      frameText.clear();
      Reply(std::nullopt, FrameErrorAnswer, out);
      return;
    }
    const std::size_t lineBytes = frameText.size() + 2;  // with STX and ETX
    frameText.clear();

    const Bytes& body = command.body;
    Add(TraceEntry::Kind::kCommand, -1, body, {}, lineBytes);
    if (hook) hook(commandIndex, body);
    ++commandIndex;

    std::optional<int> instruction;
    if (body.size() >= 2 && body[0] == kClass) instruction = body[1];
    Reply(
        instruction, [&] { return Run(body); }, out);
  }

  // Whether the faults touch the reply to `instruction`; counts `after` down.
  bool FaultsApply(std::optional<int> instruction) {
    if (faults.onlyCommand && instruction != faults.onlyCommand) return false;
    if (faults.after > 0) {
      --faults.after;
      return false;
    }
    return true;
  }

  void ConsumeFault() {
    if (faults.remaining > 0 && --faults.remaining == 0) faults = ReaderFaults{};
  }

  // Runs the command (unless the reader is to keep silent) and sends its
  // answer through the faults.
  void Reply(std::optional<int> instruction, const std::function<Answer()>& run,
             std::vector<ReplyChunk>& out) {
    const bool applies = FaultsApply(instruction);
    const ReaderFaults f = applies ? faults : ReaderFaults{};
    if (applies) ConsumeFault();
    if (f.silent) {
      Add(TraceEntry::Kind::kReply, -1, {}, "silent");
      return;
    }
    Answer answer = run();

    std::vector<std::string> notes;
    if (f.status) {
      answer.status = *f.status;
      answer.data.clear();
      notes.push_back("status forced");
    }
    if (f.replyData) {
      answer.data = *f.replyData;
      notes.push_back("data replaced");
    }
    ReplyEncoding how;
    if (f.letterDigits) {
      how.digits = f.lowerCaseLetters ? DigitStyle::kLowerLetters : DigitStyle::kUpperLetters;
      notes.push_back("letter digits");
    }
    if (f.badCheck) {
      how.flipCheck = true;
      notes.push_back("bad check");
    }
    if (f.lengthField) {
      how.lengthField = *f.lengthField;
      notes.push_back("length field " + std::to_string(*f.lengthField));
    }

    Bytes wire;
    Bytes traced{static_cast<std::uint8_t>(answer.status >> 8 & 0xFF),
                 static_cast<std::uint8_t>(answer.status & 0xFF)};
    traced.insert(traced.end(), answer.data.begin(), answer.data.end());
    if (f.rawReply) {
      wire = *f.rawReply;
      traced = wire;
      notes.insert(notes.begin(), "raw reply");
    } else {
      wire = f.garbageBeforeStx;
      Bytes frame = EncodeReply(answer.status, answer.data, how);
      if (f.damage != WireDamage::kNone) {
        Damage(frame, f.damage, f.damageAt);
        notes.push_back("wire damage");
      }
      wire.insert(wire.end(), frame.begin(), frame.end());
      wire.insert(wire.end(), f.trailingBytes.begin(), f.trailingBytes.end());
      if (!f.garbageBeforeStx.empty()) notes.push_back("garbage before STX");
      if (!f.trailingBytes.empty()) notes.push_back("trailing bytes");
    }
    if (f.delayMs > 0) notes.push_back("delay " + std::to_string(f.delayMs) + " ms");
    if (f.splitInto > 1) notes.push_back("split " + std::to_string(f.splitInto));

    std::string note;
    for (const std::string& n : notes) note += (note.empty() ? "" : ", ") + n;
    const std::uint32_t workMs = answer.crypto ? timing.cryptoMs : timing.commandMs;
    const std::vector<ReplyChunk>::size_type first = out.size();
    Split(wire, f, workMs, out);
    TraceEntry& entry = Add(TraceEntry::Kind::kReply, -1, std::move(traced), std::move(note));
    entry.lineBytes = wire.size();
    for (auto i = first; i < out.size(); ++i) entry.replyDelayMs += out[i].delayMs;
  }

  static void Damage(Bytes& frame, WireDamage damage, std::size_t at) {
    if (damage == WireDamage::kNoEtx) {
      if (!frame.empty()) frame.pop_back();
      return;
    }
    if (at >= frame.size()) return;
    const auto it = frame.begin() + static_cast<std::ptrdiff_t>(at);
    switch (damage) {
      case WireDamage::kDrop:
        frame.erase(it);
        break;
      case WireDamage::kDuplicate:
        frame.insert(it, *it);
        break;
      case WireDamage::kFlip:
        *it ^= 0x01;
        break;
      case WireDamage::kEarlyEtx:
        frame.insert(it, kEtx);
        break;
      default:
        break;
    }
  }

  static void Split(const Bytes& wire, const ReaderFaults& f, std::uint32_t workMs,
                    std::vector<ReplyChunk>& out) {
    if (wire.empty()) return;
    const std::size_t pieces =
        std::clamp<std::size_t>(static_cast<std::size_t>(std::max(f.splitInto, 1)), 1, wire.size());
    std::size_t start = 0;
    for (std::size_t i = 0; i < pieces; ++i) {
      const std::size_t end = wire.size() * (i + 1) / pieces;
      ReplyChunk chunk;
      chunk.delayMs = i == 0 ? workMs + f.delayMs : f.splitGapMs;
      chunk.bytes.assign(wire.begin() + static_cast<std::ptrdiff_t>(start),
                         wire.begin() + static_cast<std::ptrdiff_t>(end));
      out.push_back(std::move(chunk));
      start = end;
    }
  }

  Answer Run(const Bytes& body) {
    if (body.size() < 2 || body[0] != kClass) return {kStatusUnknownCommand, {}};
    switch (body[1]) {
      case kPowerOn:
        if (body.size() != 5) break;
        if (body[4] == kSlotContactless) return {kStatusContactlessUnsupported, {}};
        return PowerOn(body[4]);
      case kActivate:
        if (body.size() != 4) break;
        return PowerOn(kSlotContactless);
      case kPowerOff:
        if (body.size() != 3) break;
        if (body[2] == kSlotContactless) return {kStatusContactlessUnsupported, {}};
        return PowerOff(body[2]);
      case kDeactivate:
        if (body.size() != 4) break;
        return PowerOff(kSlotContactless);
      case kApdu:
        if (body.size() < 3) break;
        return Transmit(body[2], Bytes(body.begin() + 3, body.end()));
    }
    return {kStatusUnknownCommand, {}};
  }

  Answer PowerOn(int slot) {
    auto it = slots.find(slot);
    if (it == slots.end() || !it->second.card) return {AbsentStatus(slot), {}};
    Slot& s = it->second;
    Bytes atr = s.card->PowerOn();
    s.powered = true;
    if (atr.empty() && slot == kSlotContactless) {
      s.card->PowerOff();
      s.powered = false;
      return {kStatusContactlessActivationFailed, {}};
    }
    return {kStatusOk, std::move(atr)};
  }

  Answer PowerOff(int slot) {
    auto it = slots.find(slot);
    if (it != slots.end() && it->second.card && it->second.powered) {
      it->second.card->PowerOff();
      it->second.powered = false;
    }
    return {kStatusOk, {}};
  }

  Answer Transmit(int slot, const Bytes& apdu) {
    auto it = slots.find(slot);
    if (it == slots.end() || !it->second.card) return {AbsentStatus(slot), {}};
    if (!it->second.powered) return {NotPoweredStatus(slot), {}};
    std::shared_ptr<Card> card = it->second.card;
    Add(TraceEntry::Kind::kApdu, slot, apdu);
    const bool crypto = card->IsCryptoCommand(apdu);
    Bytes response = card->Transmit(apdu);
    Add(TraceEntry::Kind::kResponse, slot, response);
    if (response.empty() && slot == kSlotContactless)
      return {kStatusContactlessTimeout, {}, crypto};
    return {kStatusOk, std::move(response), crypto};
  }
};

Reader::Reader() : impl_(std::make_unique<Impl>()) {}
Reader::~Reader() = default;

void Reader::Insert(int slot, std::shared_ptr<Card> card) {
  if (slot < 0 || slot > 255) return;
  Remove(slot);
  impl_->slots[slot] = Impl::Slot{std::move(card), false};
}

void Reader::Remove(int slot) {
  auto it = impl_->slots.find(slot);
  if (it == impl_->slots.end()) return;
  if (it->second.card && it->second.powered) it->second.card->PowerOff();
  impl_->slots.erase(it);
}

std::shared_ptr<Card> Reader::CardIn(int slot) const {
  auto it = impl_->slots.find(slot);
  return it == impl_->slots.end() ? nullptr : it->second.card;
}

bool Reader::IsPowered(int slot) const {
  auto it = impl_->slots.find(slot);
  return it != impl_->slots.end() && it->second.powered;
}

void Reader::SetCommandHook(CommandHook hook) {
  impl_->hook = std::move(hook);
}

ReaderFaults& Reader::faults() {
  return impl_->faults;
}
void Reader::ClearFaults() {
  impl_->faults = ReaderFaults{};
}

void Reader::SetTiming(const ReaderTiming& timing) {
  impl_->timing = timing;
}

const std::vector<TraceEntry>& Reader::trace() const {
  return impl_->trace;
}

void Reader::ClearTrace() {
  impl_->trace.clear();
  impl_->commandIndex = 0;
}

std::vector<Bytes> Reader::ApdusTo(int slot) const {
  std::vector<Bytes> apdus;
  for (const TraceEntry& e : impl_->trace) {
    if (e.kind == TraceEntry::Kind::kApdu && e.slot == slot) apdus.push_back(e.bytes);
  }
  return apdus;
}

std::vector<Bytes> Reader::Commands() const {
  std::vector<Bytes> commands;
  for (const TraceEntry& e : impl_->trace) {
    if (e.kind == TraceEntry::Kind::kCommand) commands.push_back(e.bytes);
  }
  return commands;
}

std::string Reader::TraceText() const {
  std::string text;
  for (const TraceEntry& e : impl_->trace) text += e.Describe() + "\n";
  return text;
}

std::vector<ReplyChunk> Reader::OnHostBytes(const std::uint8_t* bytes, std::size_t n) {
  std::vector<ReplyChunk> out;
  for (std::size_t i = 0; i < n; ++i) impl_->Feed(bytes[i], out);
  impl_->FlushGarbage();
  return out;
}

Bytes EncodeReplyFrame(int status, const Bytes& data, bool letterDigits) {
  ReplyEncoding how;
  if (letterDigits) how.digits = DigitStyle::kUpperLetters;
  return EncodeReply(status, data, how);
}

Bytes EncodeCommandFrame(const Bytes& body) {
  return EncodeCommand(body);
}

}  // namespace kx::sim
