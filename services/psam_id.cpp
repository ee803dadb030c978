#include "services/psam_id.h"

#include <cstring>

#include "card/apdu.h"
#include "core/hex.h"
#include "core/result.h"
#include "core/state.h"

namespace kx {

namespace {

constexpr int kPsamIdBytes = 6;
static_assert(kPsamIdTextSize == 2 * kPsamIdBytes + 1);
constexpr std::uint8_t kTerminalInformationFile[] = {0x00, 0x16};

}  // namespace

int ReadPsamId(Operation& op, char* psamId, char* resetAnswerHex) {
  if (psamId == nullptr || resetAnswerHex == nullptr) return kErrParam;
  SelectInterface(op, kInterfacePsam);
  std::memset(psamId, 0, 4);
  std::memset(resetAnswerHex, 0, 4);
  int r = ResetSelectedCard(op, resetAnswerHex);
  if (r != kOk) return r;
  SelectInterface(op, kInterfacePsam);

  Response reply;
  r = Exchange(op, CommandApdu::WithData(0x00, 0xA4, 0x00, 0x00, kTerminalInformationFile, 2),
               &reply);
  if (r != kOk) {
    op.text.Replace("KXGetPsamID 选择文件0016失败");
    return r;
  }
  r = Exchange(op, CommandApdu::Expecting(0x00, 0xB0, 0x00, 0x00, kPsamIdBytes), &reply);
  if (r != kOk) {
    op.text.Replace("KXGetPsamID 获取PSAM卡终端信息唯一标识号失败");
    return r;
  }
  // The identifier is the 6 bytes asked for; a PSAM that answers more does
  // not get to write past them, one that answers fewer has given none.
  if (reply.dataLength() < kPsamIdBytes) {
    op.text.Replace("KXGetPsamID 获取PSAM卡终端信息唯一标识号失败");
    return kErrComm;
  }
  HexEncode(HexMode::Packed, reply.bytes, psamId, kPsamIdBytes);
  SelectInterface(op, kInterfaceContact);
  return kOk;
}

int ReadPsamId(Operation& op, char* psamId) {
  char resetAnswerHex[2 * kResetAnswerSize + 1] = {};
  return ReadPsamId(op, psamId, resetAnswerHex);
}

}  // namespace kx
