// Exports of the secure card services: the key check, the data items and
// transparent files read and written with their access conditions met, the
// card's identity, the PIN unlock and the application lock.
#include "KX_ICCReader.h"
#include "core/result.h"
#include "interface/export_call.h"
#include "services/card_identity.h"
#include "services/data_items.h"
#include "services/key_authentication.h"
#include "services/secured_commands.h"

static_assert(KX_CARD_NUMBER_SIZE == kx::kCardNumberTextSize);
static_assert(KX_IDENTIFICATION_CODE_SIZE == kx::kIdentificationCodeTextSize);
static_assert(KX_ORGANISATION_NUMBER_SIZE == kx::kOrganisationNumberTextSize);

namespace {

// KXReadInfoAIO and testKXReadInfoAIO: one routine under two names. The DLL
// binds the second name to the first's code; the shared object gives each
// name a symbol of its own.
int ReadInfoAllInOne(kx::ExportCall& call, const char* directory, const char* file,
                     int recordNumber, unsigned char* out) {
  if (out == nullptr)
    return kx::RefuseMissingBuffer(call.op(), "KXReadInfoAIO 输出缓冲区为空", true);
  return kx::ReadInfoAllInOne(call.op(), directory, file, recordNumber,
                              reinterpret_cast<char*>(out));
}

}  // namespace

extern "C" {

KX_API int KX_CALL KXCheckKey(int /*reserved*/, const char* keyName) {
  kx::ExportCall call;
  return call.Result(kx::CheckKey(call.op(), keyName));
}

KX_API int KX_CALL KXReadInfo(int /*reserved*/, const char* directory, const char* file,
                              int recordNumber, unsigned char* out) {
  kx::ExportCall call;
  if (out == nullptr)
    return call.Result(kx::RefuseMissingBuffer(call.op(), "KXReadInfo 输出缓冲区为空", false));
  return call.Result(
      kx::ReadInfo(call.op(), directory, file, recordNumber, reinterpret_cast<char*>(out)));
}

KX_API int KX_CALL KXReadInfoAIO(const char* directory, const char* file, int recordNumber,
                                 unsigned char* out) {
  kx::ExportCall call;
  return call.Result(ReadInfoAllInOne(call, directory, file, recordNumber, out));
}

KX_API int KX_CALL testKXReadInfoAIO(const char* directory, const char* file, int recordNumber,
                                     unsigned char* out) {
  kx::ExportCall call;
  return call.Result(ReadInfoAllInOne(call, directory, file, recordNumber, out));
}

KX_API int KX_CALL KXReadBinary(int /*reserved*/, int offset, int length, unsigned char* out) {
  kx::ExportCall call;
  if (out == nullptr)
    return call.Result(kx::RefuseMissingBuffer(call.op(), "KXReadBinary 输出缓冲区为空", false));
  return call.Result(kx::ReadBinaryFile(call.op(), offset, length, out));
}

KX_API int KX_CALL KXReadBinaryAIO(const char* directory, const char* file, int offset, int length,
                                   char* out) {
  kx::ExportCall call;
  if (out == nullptr) {
    return call.Result(kx::RefuseMissingBuffer(call.op(), "KXReadBinaryAIO 输出缓冲区为空", true));
  }
  return call.Result(kx::ReadBinaryAllInOne(call.op(), directory, file, offset, length, out));
}

KX_API int KX_CALL KXUpdateInfo(int /*reserved*/, const char* directory, const char* file,
                                int recordNumber, const unsigned char* data) {
  kx::ExportCall call;
  if (data == nullptr)
    return call.Result(kx::RefuseMissingBuffer(call.op(), "KXUpdateInfo 写入数据为空", false));
  return call.Result(kx::UpdateInfo(call.op(), directory, file, recordNumber, data));
}

KX_API int KX_CALL KXUpdateInfoAIO(const char* directory, const char* file, int recordNumber,
                                   const unsigned char* data) {
  kx::ExportCall call;
  if (data == nullptr) {
    return call.Result(kx::RefuseMissingBuffer(call.op(), "KXUpdateInfoAIO 写入数据为空", true));
  }
  return call.Result(kx::UpdateInfoAllInOne(call.op(), directory, file, recordNumber, data));
}

KX_API int KX_CALL KXUpdateBinary(int /*reserved*/, int offset, int length,
                                  const unsigned char* data) {
  kx::ExportCall call;
  if (data == nullptr) {
    return call.Result(kx::RefuseMissingBuffer(call.op(), "KXUpdateBinary 写入数据为空", false));
  }
  return call.Result(kx::UpdateBinaryFile(call.op(), offset, length, data));
}

KX_API int KX_CALL KXUpdateBinaryAIO(const char* directory, const char* file, int offset,
                                     int length, const unsigned char* data) {
  kx::ExportCall call;
  if (data == nullptr) {
    return call.Result(kx::RefuseMissingBuffer(call.op(), "KXUpdateBinaryAIO 写入数据为空", true));
  }
  return call.Result(kx::UpdateBinaryAllInOne(call.op(), directory, file, offset, length, data));
}

KX_API int KX_CALL KXTest(char* message) {
  kx::ExportCall call;
  kx::WriteTestRecord(call.op(), message);
  return call.Result(kx::kOk);
}

KX_API int KX_CALL KXReadCardID(int /*reserved*/, char* cardNumber, char* identificationCode,
                                char* organisationNumber) {
  kx::ExportCall call;
  if (cardNumber == nullptr || identificationCode == nullptr || organisationNumber == nullptr) {
    return call.Result(kx::RefuseMissingBuffer(call.op(), "KXReadCardID 输出缓冲区为空", true));
  }
  return call.Result(
      kx::ReadCardIdentity(call.op(), cardNumber, identificationCode, organisationNumber));
}

KX_API int KX_CALL KXReadCardIDAIO(char* cardNumber, char* identificationCode,
                                   char* organisationNumber) {
  kx::ExportCall call;
  if (cardNumber == nullptr || identificationCode == nullptr || organisationNumber == nullptr) {
    return call.Result(kx::RefuseMissingBuffer(call.op(), "KXReadCardIDAIO 输出缓冲区为空", true));
  }
  return call.Result(
      kx::ReadCardIdentityAllInOne(call.op(), cardNumber, identificationCode, organisationNumber));
}

KX_API int KX_CALL KXUpdateCardIDAIO(const char* regionCode, const char* serialPart,
                                     char* newIdentificationCode) {
  kx::ExportCall call;
  if (newIdentificationCode == nullptr) {
    return call.Result(
        kx::RefuseMissingBuffer(call.op(), "KXUpdateCardIDAIO 输出缓冲区为空", true));
  }
  return call.Result(kx::RewriteIdentificationCodeAllInOne(call.op(), regionCode, serialPart,
                                                           newIdentificationCode));
}

KX_API int KX_CALL KXCardUnlockPIN(int /*reserved*/, const char* newPin) {
  kx::ExportCall call;
  // A null PIN is no PIN at all, not the empty text that asks for the default.
  if (newPin == nullptr)
    return call.Result(kx::RefuseMissingBuffer(call.op(), "KXCardUnlockPIN 新密码为空", false));
  return call.Result(kx::UnlockPin(call.op(), newPin));
}

KX_API int KX_CALL KXAppLock(int /*reserved*/, const char* directory) {
  kx::ExportCall call;
  return call.Result(kx::LockApplication(call.op(), directory));
}

}  // extern "C"
