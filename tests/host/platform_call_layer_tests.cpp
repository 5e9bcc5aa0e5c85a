// The real platform call layer forwards results and last-error values unchanged.
#include <gtest/gtest.h>

#include <array>

#include "CWin32Api.h"

namespace {

using Corvessan::Orwe::win32Api;

TEST(PlatformCallLayer, SecureZeroMemoryClearsExactlyTheGivenBytes) {
  std::array<unsigned char, 8> bytes;
  bytes.fill(0xAB);
  EXPECT_EQ(win32Api.SecureZeroMemory(bytes.data(), 0), bytes.data());
  EXPECT_EQ(bytes[0], 0xAB);

  EXPECT_EQ(win32Api.SecureZeroMemory(bytes.data() + 2, 4), bytes.data() + 2);
  EXPECT_EQ(bytes, (std::array<unsigned char, 8>{0xAB, 0xAB, 0, 0, 0, 0, 0xAB, 0xAB}));
}

TEST(PlatformCallLayer, FailuresComeBackWithThePlatformsLastError) {
  HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FFFFF00));
  ::SetLastError(0);
  EXPECT_EQ(win32Api.SetEvent(bogus), FALSE);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  ::SetLastError(0);
  EXPECT_EQ(win32Api.WaitForSingleObject(bogus, 0), static_cast<DWORD>(WAIT_FAILED));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  ::SetLastError(0);
  EXPECT_EQ(win32Api.CloseHandle(bogus), FALSE);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// crypt32 is loaded at the first call of a CryptString slot, and cannot be loaded
// everywhere (Wine's WoW64 mode fails its start-up): the slot then fails as the
// platform function does, with the load's error, and the process goes on.
TEST(PlatformCallLayer, ACryptStringSlotEncodesOrFailsWithAnError) {
  const BYTE bytes[] = {'a', 'b', 'c'};
  char text[16] = {};
  DWORD length = sizeof text;
  ::SetLastError(0);
  if (win32Api.CryptBinaryToStringA(bytes, sizeof bytes, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, text, &length)) {
    EXPECT_STREQ(text, "YWJj");
    EXPECT_EQ(length, 4u);
  } else {
    EXPECT_NE(::GetLastError(), 0u);
  }
}

TEST(PlatformCallLayer, EventsSignalAndTimeOutAsThePlatformDoes) {
  HANDLE event = win32Api.CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(win32Api.WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_NE(win32Api.SetEvent(event), FALSE);
  EXPECT_EQ(win32Api.WaitForSingleObject(event, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(win32Api.WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));  // manual reset stays set
  EXPECT_NE(win32Api.CloseHandle(event), FALSE);
}

}  // namespace
