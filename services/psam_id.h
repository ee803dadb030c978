// The PSAM's terminal identifier (file 0016), for KXGetPsamID and
// KXGetPsamIDATR. Results follow core/result.h.
#pragma once

#include "card/operation.h"

namespace kx {

// The identifier's text: 12 hex characters and a NUL.
inline constexpr int kPsamIdTextSize = 13;

// Selects the PSAM, resets it (its reset answer as hex into resetAnswerHex,
// 2 * kResetAnswerSize + 1 bytes at most), reads the terminal identifier from
// file 0016 into psamId (kPsamIdTextSize bytes) and selects the contact user
// card again. A PSAM that answers fewer than 6 identifier bytes gives -4.
// After a failure the PSAM stays selected.
int ReadPsamId(Operation& op, char* psamId, char* resetAnswerHex);
// The same, the reset answer discarded.
int ReadPsamId(Operation& op, char* psamId);

}  // namespace kx
