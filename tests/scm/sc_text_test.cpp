// tarn-sc's text: sc.exe's status layout and failure lines, and its options.
#include "sc_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarn::sc {
namespace {

SERVICE_STATUS Status(DWORD type, DWORD state, DWORD accepted) {
  return SERVICE_STATUS{type, state, accepted, 0, 0, 0, 0};
}

TEST(ScStatusLayout, MatchesTheLinesOfWinesScQuery) {
  // Captured from "wine sc query eventlog" (Wine 8), whose seven lines sc.exe shares.
  SERVICE_STATUS status = Status(SERVICE_WIN32_SHARE_PROCESS, SERVICE_RUNNING, 0);
  std::string text = FormatStatus("eventlog", status);
  for (const char* line : {"SERVICE_NAME: eventlog\n", "        TYPE               : 20  WIN32_SHARE_PROCESS\n",
                           "        STATE              : 4  RUNNING\n", "        WIN32_EXIT_CODE    : 0  (0x0)\n",
                           "        SERVICE_EXIT_CODE  : 0  (0x0)\n", "        CHECKPOINT         : 0x0\n",
                           "        WAIT_HINT          : 0x0\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << "missing: " << line << "in:\n" << text;
  }
}

TEST(ScStatusLayout, RunningServiceShowsWhatItAcceptsBetweenBlankLines) {
  SERVICE_STATUS status = Status(SERVICE_WIN32_OWN_PROCESS, SERVICE_STOP_PENDING, 0x5C1);
  status.dwWin32ExitCode = 1066;
  status.dwServiceSpecificExitCode = 13;
  status.dwCheckPoint = 3;
  status.dwWaitHint = 20000;
  EXPECT_EQ(FormatStatus("TarnSvc", status),
            "\n"
            "SERVICE_NAME: TarnSvc\n"
            "        TYPE               : 10  WIN32_OWN_PROCESS\n"
            "        STATE              : 3  STOP_PENDING\n"
            "                                (STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)\n"
            "        WIN32_EXIT_CODE    : 1066  (0x42a)\n"
            "        SERVICE_EXIT_CODE  : 13  (0xd)\n"
            "        CHECKPOINT         : 0x3\n"
            "        WAIT_HINT          : 0x4e20\n"
            "\n");
}

TEST(ScStatusLayout, AcceptedControlsAreNamed) {
  SERVICE_STATUS status =
      Status(SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN);
  EXPECT_NE(FormatStatus("S", status).find("(NOT_STOPPABLE, PAUSABLE, ACCEPTS_SHUTDOWN)\n"), std::string::npos);
}

TEST(ScStatusLayout, StoppedServiceHasNoControlsLine) {
  SERVICE_STATUS status = Status(SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, SERVICE_STOPPED, 0);
  status.dwWin32ExitCode = 1067;
  std::string text = FormatStatus("S", status);
  EXPECT_NE(text.find("        TYPE               : 110  WIN32_OWN_PROCESS  (interactive)\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("        STATE              : 1  STOPPED\n        WIN32_EXIT_CODE    : 1067  (0x42b)\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("STOPPABLE"), std::string::npos) << text;
}

TEST(ScStatusLayout, ProcessVariantAddsPidAndFlags) {
  SERVICE_STATUS_PROCESS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 2000, 4242, 0};
  std::string text = FormatStatusProcess("S", status);
  EXPECT_NE(text.find("        WAIT_HINT          : 0x7d0\n"
                      "        PID                : 4242\n"
                      "        FLAGS              :\n"
                      "\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("(NOT_STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)"), std::string::npos) << text;
}

TEST(ScFailure, ShowsCodeAndMessageWithoutTheMessagesOwnLineBreak) {
  EXPECT_EQ(FormatFailure("OpenService", 1060, "The specified service does not exist as an installed service.\r\n"),
            "[SC] OpenService FAILED 1060:\n\nThe specified service does not exist as an installed service.\n\n");
  EXPECT_EQ(FormatFailure("StartService", 193, ""), "[SC] StartService FAILED 193:\n\n\n");
}

TEST(ScCreateOptions, KeysEndInEqualsAndTakeTheNextArgument) {
  std::string problem;
  auto options =
      ParseCreateOptions({"BINPATH=", "C:\\Tarn\\svc.exe -x", "start=", "auto", "DisplayName=", "Tarn"}, problem);
  ASSERT_TRUE(options) << problem;
  EXPECT_EQ(options->binaryPath, "C:\\Tarn\\svc.exe -x");
  EXPECT_EQ(options->startType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(options->displayName, "Tarn");
  EXPECT_EQ(options->serviceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(options->errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
}

TEST(ScCreateOptions, InteractAddsToTheProcessTypeInEitherOrder) {
  std::string problem;
  auto before = ParseCreateOptions({"type=", "interact", "type=", "share", "binPath=", "x"}, problem);
  auto after = ParseCreateOptions({"type=", "share", "type=", "interact", "binPath=", "x"}, problem);
  ASSERT_TRUE(before && after) << problem;
  EXPECT_EQ(before->serviceType, static_cast<DWORD>(SERVICE_WIN32_SHARE_PROCESS | SERVICE_INTERACTIVE_PROCESS));
  EXPECT_EQ(after->serviceType, before->serviceType);
}

TEST(ScCreateOptions, RejectsWhatScRejects) {
  const std::vector<std::vector<std::string>> bad{
      {"start=", "demand"},  // no binPath
      {"binPath=x", "y"},    // value glued to the key
      {"binPath="},          // key without value
      {"binPath=", "x", "start=", "sometimes"},
      {"binPath=", "x", "colour=", "blue"},
      {"binPath=", ""},
  };
  for (const auto& arguments : bad) {
    std::string problem;
    EXPECT_FALSE(ParseCreateOptions(arguments, problem)) << arguments.front();
    EXPECT_FALSE(problem.empty());
  }
}

TEST(ScControlCode, TakesNumbersAndStandardNames) {
  EXPECT_EQ(ParseControlCode("128"), std::optional<DWORD>(128));
  EXPECT_EQ(ParseControlCode("0x81"), std::optional<DWORD>(129));
  EXPECT_EQ(ParseControlCode("ParamChange"), std::optional<DWORD>(SERVICE_CONTROL_PARAMCHANGE));
  EXPECT_EQ(ParseControlCode("netbinddisable"), std::optional<DWORD>(SERVICE_CONTROL_NETBINDDISABLE));
  EXPECT_FALSE(ParseControlCode("-1"));
  EXPECT_FALSE(ParseControlCode("12x"));
  EXPECT_FALSE(ParseControlCode(""));
  EXPECT_FALSE(ParseControlCode("99999999999"));
}

}  // namespace
}  // namespace tarn::sc
