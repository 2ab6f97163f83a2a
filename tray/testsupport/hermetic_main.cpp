// The main of every tray test program: GoogleTest's, with the temporary home made before
// anything reads the environment and the shared state reset around each test.
#include <gtest/gtest.h>

#include "hermetic.h"

namespace {

class SharedStateReset final : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { traytest::ResetSharedState(); }
  void OnTestEnd(const ::testing::TestInfo&) override { traytest::ResetSharedState(); }
};

}  // namespace

int main(int argc, char** argv) {
  traytest::UseTemporaryHome();
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new SharedStateReset);
  return RUN_ALL_TESTS();
}
