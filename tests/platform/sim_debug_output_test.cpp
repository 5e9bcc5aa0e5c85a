// What a debugger attached to the stand-in's process sees of OutputDebugStringA.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "tarn_sim/debug_sink.h"
#include "test_machine.h"

namespace tarn::test {
namespace {

TEST(SimDebugOutput, KeepsOnlyTheNewestLinesOfALongTrace) {
  TestMachine machine;
  tarn::sim::ClearDebugOutput();
  for (int n = 0; n < 10000; ++n) OutputDebugStringA(("line " + std::to_string(n) + "\n").c_str());
  const auto lines = tarn::sim::DebugOutput();
  ASSERT_GE(lines.size(), 1000u) << "a useful tail survives";
  ASSERT_LT(lines.size(), 10000u) << "the sink is bounded";
  EXPECT_EQ(lines.back(), "line 9999\n");
  EXPECT_EQ(lines.front(), "line " + std::to_string(10000 - lines.size()) + "\n") << "kept in order, none skipped";
}

}  // namespace
}  // namespace tarn::test
