// A reader on COM1 with scripted cards, the link open and the user card
// powered on, for the card command tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "KX_ICCReader.h"
#include "core/state.h"
#include "tests/support/gbk.h"
#include "tests/support/scripted_card.h"
#include "tests/support/sim_fixture.h"

namespace kx::test {

class CardFixture : public SimFixture {
 protected:
  void SetUp() override {
    SimFixture::SetUp();
    reader.Insert(0, card);
    ASSERT_EQ(KXReaderInitTest(1, 9600), 0);
    char atr[2 * kResetAnswerSize + 1];
    ASSERT_EQ(KXCpuReset(0, atr), 0);
    reader.ClearTrace();
  }

  // The GBK text the last failure left.
  static std::string Text() { return ErrorText; }
  static std::string Message(int code) {
    char text[545];
    KXGetErrMessage(code, text);
    return text;
  }

  std::shared_ptr<ScriptedCard> card = std::make_shared<ScriptedCard>();
};

}  // namespace kx::test
