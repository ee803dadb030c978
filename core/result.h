// Result codes, the one convention every layer from the reader frames up
// speaks: 0 is success, a negative value is a failure. -1 to -15 are the
// library's own codes; a card status word SW1 SW2 other than 90 00 is
// -(SW1 * 256 + SW2). Lengths and counts travel in out-parameters, never in
// the result. (The link below the frames gives its own result, a status and
// a byte count, link/link_result.h; the frame layer turns it into codes.)
#pragma once

namespace kx {

enum ResultCode : int {
  kOk = 0,
  kErrUnknown = -1,           // unknown reader status; identity search found nothing
  kErrPort = -2,              // port not opened, frame not sent, empty answer
  kErrReaderVersion = -3,     // never returned
  kErrComm = -4,              // time-out, Escape, bad frame, bad check byte
  kErrSam = -5,               // no PSAM, or the PSAM did not power on
  kErrNoUserCard = -6,        // contact user card not in place
  kErrUserCardPower = -7,     // user card not powered / not activated
  kErrUserCardPowerOff = -8,  // never returned
  kErrNoCardResponse = -9,    // never returned
  kErrVerify = -11,           // PIN refused with 63xx
  kErrParam = -12,            // caller argument out of range or wrong length
  kErrUnsupported = -13,      // reader does not support the card type
  kErrCloseReader = -14,      // never returned
  kErrPinLength = -15,        // PIN of the wrong length
};

// Code of a card status word other than 90 00.
constexpr int StatusWordCode(int sw1, int sw2) {
  return -((sw1 & 0xFF) * 256 + (sw2 & 0xFF));
}

}  // namespace kx
