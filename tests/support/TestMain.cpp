// Shared test main: a private temporary home for the XDG folders per test process.
#include "support/TestHome.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Death tests re-run this binary; "threadsafe" forks and execs, which is what the crash
  // tests need when several threads are alive.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  vx::test::TestHome home;
  return RUN_ALL_TESTS();
}
