// A test on the recording fake gateway with the port already open.
#pragma once

#include <gtest/gtest.h>

#include "chips/Catalogue.h"
#include "support/Fakes.h"

namespace quillet::test {

class ConnectedTest : public ::testing::Test {
 protected:
  ConnectedTest() {
    DelayValue = 1;
    Fresh();
  }
  ~ConnectedTest() override { DelayValue = 1; }
  // Opens the port again with no scripted answers or failures, and empty records.
  void Fresh() {
    f.port.answers.clear();
    f.port.silent = false;
    f.port.failWriteIndex = -1;
    f.Connect();
    f.port.writes = 0;
  }
  CoreFixture f;
};

}  // namespace quillet::test
