// Test fixture: the library on the simulated platform, with a simulated
// reader on COM1 and the process-wide state back at its load-time values.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "core/state.h"
#include "link/reader_port.h"
#include "platform/platform.h"
#include "platform/sim/sim_backend.h"
#include "sim/reader.h"

namespace kx::test {

class SimFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLibraryForTests();
    platform::SetBackend(&backend);
    backend.Attach(1, &reader);
  }
  void TearDown() override { ResetLibraryForTests(); }

  platform::sim::SimBackend backend;
  kx::sim::Reader reader;
};

}  // namespace kx::test
