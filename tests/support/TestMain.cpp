// Shared main of the test binaries: pauses run scaled down, so protocol
// pauses of seconds take milliseconds.
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
  setenv("QUORVEL_SLEEP_SCALE", "0.001", 0);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
