// Exports of the PIN: the pad dialogue, the preset PIN, verify and change.
#include "KX_ICCReader.h"
#include "card/pin.h"
#include "core/result.h"
#include "core/state.h"
#include "interface/export_call.h"
#include "reader/pin_pad.h"

namespace {

// The test variants give the tries left where the plain ones give -11.
int TriesInsteadOfRefusal(int result, int tries) {
  return result == kx::kErrVerify ? tries : result;
}

}  // namespace

extern "C" {

KX_API int KX_CALL KXReadPassword(int mode, char* pin) {
  kx::ExportCall call;
  return call.Result(kx::ReadPinFromPad(mode, pin));
}

KX_API int KX_CALL SetPin(const char* pinText) {
  kx::ExportCall call;
  const int count = kx::PresetPinFromText(pinText, kx::PresetPin);
  // From now on a PIN-guarded read presents this PIN rather than asking the pad.
  if (count > 0) kx::State.presetPinStored = true;
  return call.Result(count);
}

KX_API int KX_CALL KXCardVerifyPIN(int /*reserved*/, const char* pin, int* retries) {
  kx::ExportCall call;
  return call.Result(kx::VerifyPin(call.op(), pin, retries));
}

KX_API int KX_CALL KXCardChangePIN(int /*reserved*/, const char* oldPin, const char* newPin,
                                   int* retries) {
  kx::ExportCall call;
  return call.Result(kx::ChangePin(call.op(), oldPin, newPin, retries));
}

KX_API int KX_CALL testKXCardVerifyPIN(const char* pin) {
  kx::ExportCall call;
  int tries = 0;
  const int result = kx::VerifyPin(call.op(), pin, &tries);
  return call.Result(TriesInsteadOfRefusal(result, tries));
}

KX_API int KX_CALL testKXCardChangePIN(const char* oldPin, const char* newPin) {
  kx::ExportCall call;
  int tries = 0;
  const int result = kx::ChangePin(call.op(), oldPin, newPin, &tries);
  return call.Result(TriesInsteadOfRefusal(result, tries));
}

}  // extern "C"
