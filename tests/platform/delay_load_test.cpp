// Imports bound on first use: a DLL that cannot be loaded, or lacks a function,
// leaves a call that fails as the function does, never an exception.
#include "tarn_win32/delay_load.h"

#include <gtest/gtest.h>

#include <bcrypt.h>
#include <objbase.h>
#include <wincrypt.h>

#include <string>

namespace {

using tarn::win32::OnDelayLoadFailure;

struct Failure {
  std::string dll;
  std::string function;
  DelayLoadInfo info{};

  Failure(const char* dllName, const char* functionName) : dll(dllName), function(functionName) {
    info.cb = sizeof info;
    info.szDll = dll.c_str();
    info.dlp.fImportByName = TRUE;
    info.dlp.szProcName = function.c_str();
  }

  // The helper's path when the DLL does not load: the load fails with ERROR,
  // then the lookup in the module the hook gave back fails too.
  FARPROC AfterFailedLoad(DWORD error) {
    info.dwLastError = error;
    info.hmodCur = reinterpret_cast<HMODULE>(OnDelayLoadFailure(dliFailLoadLib, &info));
    if (info.hmodCur == nullptr) return nullptr;
    info.dwLastError = ERROR_PROC_NOT_FOUND;
    return OnDelayLoadFailure(dliFailGetProc, &info);
  }

  // The helper's path when the DLL loads but lacks the function.
  FARPROC AfterFailedLookupIn(HMODULE module) {
    info.hmodCur = module;
    info.dwLastError = ERROR_PROC_NOT_FOUND;
    return OnDelayLoadFailure(dliFailGetProc, &info);
  }
};

template <typename Function>
Function As(FARPROC replacement) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(replacement));
}

TEST(DelayLoad, TheHookIsTheOneTheHelperCalls) { EXPECT_EQ(__pfnDliFailureHook2, &OnDelayLoadFailure); }

TEST(DelayLoad, AFunctionOfADllThatFailedToStartFailsWithTheLoadsError) {
  Failure failure("CRYPT32.dll", "CryptBinaryToStringW");
  FARPROC replacement = failure.AfterFailedLoad(ERROR_DLL_INIT_FAILED);
  ASSERT_NE(replacement, nullptr);

  const BYTE bytes[] = {1, 2, 3};
  WCHAR text[16] = {};
  DWORD length = 16;
  ::SetLastError(0);
  EXPECT_EQ(As<decltype(&::CryptBinaryToStringW)>(replacement)(bytes, 3, CRYPT_STRING_BASE64, text, &length), FALSE);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
  EXPECT_EQ(length, 16u) << "the replacement touches none of the caller's buffers";
}

TEST(DelayLoad, ABCryptFunctionOfAMissingDllReturnsTheLoadersStatus) {
  Failure failure("bcrypt.dll", "BCryptOpenAlgorithmProvider");
  FARPROC replacement = failure.AfterFailedLoad(ERROR_MOD_NOT_FOUND);
  ASSERT_NE(replacement, nullptr);

  BCRYPT_ALG_HANDLE algorithm = nullptr;
  ::SetLastError(0);
  const NTSTATUS status = As<decltype(&::BCryptOpenAlgorithmProvider)>(replacement)(&algorithm, L"SHA256", nullptr, 0);
  EXPECT_EQ(status, static_cast<NTSTATUS>(0xC0000135L));  // STATUS_DLL_NOT_FOUND
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(algorithm, nullptr);
}

TEST(DelayLoad, AFunctionMissingFromALoadedDllFailsWithProcNotFound) {
  Failure failure("ole32.dll", "CoTaskMemFree");
  FARPROC replacement = failure.AfterFailedLookupIn(::GetModuleHandleW(L"kernel32.dll"));
  ASSERT_NE(replacement, nullptr);
  ::SetLastError(0);
  As<decltype(&::CoTaskMemFree)>(replacement)(nullptr);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

  Failure status("bcrypt.dll", "BCryptHashData");
  ASSERT_NE(status.AfterFailedLookupIn(::GetModuleHandleW(L"kernel32.dll")), nullptr);
  EXPECT_EQ(tarn::win32::StatusForLoadError(ERROR_PROC_NOT_FOUND), static_cast<NTSTATUS>(0xC0000139L));
}

TEST(DelayLoad, AnUnlistedImportIsLeftToTheHelper) {
  Failure unknown("crypt32.dll", "CertOpenStore");
  EXPECT_EQ(unknown.AfterFailedLookupIn(::GetModuleHandleW(L"kernel32.dll")), nullptr);

  Failure byOrdinal("crypt32.dll", "");
  byOrdinal.info.dlp.fImportByName = FALSE;
  byOrdinal.info.dlp.dwOrdinal = 7;
  EXPECT_EQ(OnDelayLoadFailure(dliFailGetProc, &byOrdinal.info), nullptr);
}

// Every function the build loads on first use has a replacement: one missing
// would turn that DLL's failure back into an exception that ends the process.
TEST(DelayLoad, EveryDelayLoadedFunctionHasAReplacement) {
  int listed = 0;
#define TARN_DELAY_IMPORT(dll, function)                                                                        \
  {                                                                                                             \
    ++listed;                                                                                                   \
    Failure failure(#dll ".dll", #function);                                                                    \
    EXPECT_NE(failure.AfterFailedLookupIn(::GetModuleHandleW(L"kernel32.dll")), nullptr) << #dll "!" #function; \
  }
#include "tarn_win32/delay_imports.inc"
#undef TARN_DELAY_IMPORT
  EXPECT_GT(listed, 20);
}

}  // namespace
