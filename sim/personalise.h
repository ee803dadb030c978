// Making a card from a profile: its content in line with the card's
// structure, and its keys diversified for this very card.
#pragma once

#include "sim/profile.h"

namespace kx::sim {

// The identification code: the value of record 1 of 3F00 EF05 (empty when
// the record is missing or too short).
Bytes IdentificationCode(const CardProfile& card);

// Diversifies every key the card holds from the issuer's master keys
// with the card's own factors (its reset answer and identification code).
// `onlyMissing` keeps the keys the profile already holds.
void PersonaliseKeys(CardProfile* card, bool onlyMissing = false);

// Brings the content in line with the card's structure: every file and
// record present with its size (missing records: tag, length and
// zero value; wrong sizes cut or zero-padded), nothing else; try counters
// within their bounds.
void NormaliseContent(CardProfile* card);

}  // namespace kx::sim
