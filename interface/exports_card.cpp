// Exports of raw card access and of the card and PSAM commands.
#include "KX_ICCReader.h"
#include "card/apdu.h"
#include "card/commands.h"
#include "core/result.h"
#include "core/state.h"
#include "interface/export_call.h"
#include "services/psam_id.h"

namespace {

// The sizes the header promises hosts are the ones the library keeps to.
static_assert(KX_APDU_REPLY_SIZE == kx::kMaxApduReply);
static_assert(KX_APDU_HEX_REPLY_SIZE == 2 * kx::kMaxApduReply + 1);
static_assert(KX_RESET_ANSWER_HEX_SIZE == 2 * kx::kResetAnswerSize + 1);
static_assert(KX_PSAM_ID_SIZE == kx::kPsamIdTextSize);
static_assert(KX_RECORD_SIZE == kx::kMaxRecordSize);
static_assert(KX_RECORD_HEX_SIZE == kx::kLastRecordHexSize);

// KXInternalAuth and KXCardLock: one routine under two names. The library
// does no work for them; hosts that call them get success and nothing moves.
int NothingToDo() {
  return kx::kOk;
}

}  // namespace

extern "C" {

KX_API int KX_CALL KXSelectIFD(int /*reserved*/, int code) {
  kx::ExportCall call;
  kx::SelectInterface(call.op(), code);
  return call.Result(kx::kOk);
}

KX_API int KX_CALL KXCpuReset(int /*reserved*/, char* resetAnswerHex) {
  kx::ExportCall call;
  return call.Result(kx::ResetSelectedCard(call.op(), resetAnswerHex));
}

KX_API int KX_CALL KXRunApdu(int /*reserved*/, int length, const unsigned char* command,
                             int* replyLength, unsigned char* reply) {
  kx::ExportCall call;
  return call.Result(kx::ExchangeApdu(call.op(), length, command, replyLength, reply));
}

KX_API int KX_CALL KXRunApduTest(int /*reserved*/, int hexLength, const char* hexCommand,
                                 char* hexReply) {
  kx::ExportCall call;
  int count = 0;
  const int r = kx::ExchangeApduText(call.op(), hexLength, hexCommand, &count, hexReply);
  return call.Result(r < 0 ? r : count);
}

KX_API int KX_CALL GetCurRecordData(char* text) {
  kx::ExportCall call;
  return call.Result(kx::CopyLastRecordHex(call.op(), text));
}

KX_API int KX_CALL KXReadRecord(int /*reserved*/, int recordNumber, int p2, int le,
                                unsigned char* data) {
  kx::ExportCall call;
  int length = 0;
  // The caller's buffer holds the le bytes it asked for (le 0 asks for 256).
  const int capacity = le >= 1 && le <= KX_RECORD_SIZE ? le : KX_RECORD_SIZE;
  return call.Result(kx::ReadRecord(call.op(), recordNumber, p2, le, &length, data, capacity));
}

KX_API int KX_CALL KXUpdateRecord(int /*reserved*/, int recordNumber, int p2, int length,
                                  const unsigned char* data) {
  kx::ExportCall call;
  return call.Result(kx::UpdateRecord(call.op(), recordNumber, p2, length, data));
}

KX_API int KX_CALL KXGetPsamID(int /*reserved*/, char* psamId) {
  kx::ExportCall call;
  return call.Result(kx::ReadPsamId(call.op(), psamId));
}

KX_API int KX_CALL KXGetPsamIDATR(int /*reserved*/, char* psamId, char* resetAnswerHex) {
  kx::ExportCall call;
  return call.Result(kx::ReadPsamId(call.op(), psamId, resetAnswerHex));
}

KX_API int KX_CALL KXInternalAuth(int /*reserved*/) {
  kx::ExportCall call;
  return call.Result(NothingToDo());
}

KX_API int KX_CALL KXCardLock(int /*reserved*/) {
  kx::ExportCall call;
  return call.Result(NothingToDo());
}

}  // extern "C"
