// The diagnostic trace's line format, bounds, switch and last-error guarantee.
#include <gtest/gtest.h>

#include <windows.h>

#include <cctype>
#include <string>

#include "debug_trace.h"

namespace {

class TraceTest : public testing::Test {
 protected:
  void SetUp() override { SetTraceToStderr(true); }
  void TearDown() override {
    SetTraceEnabled(false);
    SetTraceToStderr(false);
  }

  // The trace's output; the last error is read straight after the call, before
  // the capture's own file calls can change it.
  template <typename... Args>
  std::string Capture(const char* format, Args... args) {
    testing::internal::CaptureStderr();
    ::SetLastError(errorBefore);
    DebugTrace(format, args...);
    errorAfter = ::GetLastError();
    return testing::internal::GetCapturedStderr();
  }

  DWORD errorBefore = 0;
  DWORD errorAfter = 0;
};

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

TEST_F(TraceTest, IsSilentWhileSwitchedOffAndKeepsTheLastError) {
  errorBefore = ERROR_ACCESS_DENIED;
  EXPECT_EQ(Capture("%s", "hidden"), "");
  EXPECT_EQ(errorAfter, static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(TraceTest, WritesOneZeroPaddedLineWithTheProcessIdAndKeepsTheLastError) {
  SetTraceEnabled(true);
  errorBefore = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
  const std::string line = Capture("StartServiceCtrlDispatcherW failed.");
  EXPECT_EQ(errorAfter, static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));

  // "<pid>:[QorLog] YYYY/MM/DD hh:mm:ss <message>\n"
  const std::string pid = std::to_string(static_cast<unsigned long>(::GetCurrentProcessId()));
  ASSERT_EQ(line.rfind(pid + ":[QorLog] ", 0), 0u) << line;
  const std::string stamp = line.substr(pid.size() + 10, 19);
  EXPECT_TRUE(AllDigits(stamp.substr(0, 4)) && AllDigits(stamp.substr(5, 2)) && AllDigits(stamp.substr(8, 2)) &&
              AllDigits(stamp.substr(11, 2)) && AllDigits(stamp.substr(14, 2)) && AllDigits(stamp.substr(17, 2)))
      << stamp;
  EXPECT_EQ(stamp[4], '/');
  EXPECT_EQ(stamp[7], '/');
  EXPECT_EQ(stamp[10], ' ');
  EXPECT_EQ(stamp[13], ':');
  EXPECT_EQ(line.substr(pid.size() + 10 + 19), " StartServiceCtrlDispatcherW failed.\n");
}

TEST_F(TraceTest, CutsLongMessagesTo260CharactersAndKeepsTheirOwnNewline) {
  SetTraceEnabled(true);
  const std::string longMessage(300, 'x');
  const std::string line = Capture("%s", longMessage.c_str());
  const std::size_t start = line.find("] ") + 2 + 20;  // past the tag, date and time
  EXPECT_EQ(line.substr(start), std::string(260, 'x') + "\n");

  const std::string control = Capture("SERVICE_CONTROL_STOP\n");
  EXPECT_EQ(control.substr(control.size() - 22), "SERVICE_CONTROL_STOP\n\n");
}

TEST(ToNarrow, ConvertsAndGivesEmptyForEmpty) {
  EXPECT_EQ(ToNarrow(L""), "");
  EXPECT_EQ(ToNarrow(L"TarnSvc"), "TarnSvc");
}

}  // namespace
