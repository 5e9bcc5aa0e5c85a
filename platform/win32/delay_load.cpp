#include "tarn_win32/delay_load.h"

#include <objbase.h>
#include <wincrypt.h>

#include <atomic>
#include <type_traits>

namespace tarn::win32 {
namespace {

// The module that dliFailLoadLib hands back: the executable, which exports none
// of the delay-loaded functions, so every lookup in it fails into dliFailGetProc.
HMODULE ModuleWithoutExports() { return GetModuleHandleW(nullptr); }

// Per DLL, the error its last failed load or lookup reported; a replacement
// reports it on every call.
template <typename Dll>
std::atomic<DWORD> loadError{ERROR_MOD_NOT_FOUND};

template <typename Dll, typename Result, typename... Arguments>
Result WINAPI Unavailable(Arguments...) {
  const DWORD error = loadError<Dll>.load();
  SetLastError(error);
  if constexpr (std::is_same_v<Result, NTSTATUS>) {
    return StatusForLoadError(error);
  } else if constexpr (!std::is_void_v<Result>) {
    return Result{};
  }
}

// The replacement of a function of the given type: same parameters and calling
// convention, so that a 32-bit stdcall caller finds its stack as it left it.
template <typename Dll, typename Result, typename... Arguments>
FARPROC UnavailableLike(Result(WINAPI*)(Arguments...)) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&Unavailable<Dll, Result, Arguments...>));
}

struct DelayImport {
  const char* dll;
  const char* function;
  FARPROC replacement;
  std::atomic<DWORD>* error;
};

#define TARN_DELAY_IMPORT(dll, function) struct dll##_dll;
#include "tarn_win32/delay_imports.inc"
#undef TARN_DELAY_IMPORT

#define TARN_DELAY_IMPORT(dll, function) \
  DelayImport{#dll ".dll", #function, UnavailableLike<dll##_dll>(decltype(&::function){}), &loadError<dll##_dll>},
const DelayImport kDelayImports[] = {
#include "tarn_win32/delay_imports.inc"
};
#undef TARN_DELAY_IMPORT

void RememberLoadError(const char* dll, DWORD error) {
  for (const DelayImport& import : kDelayImports) {
    if (lstrcmpiA(import.dll, dll) == 0) import.error->store(error);
  }
}

const DelayImport* Find(const char* dll, const char* function) {
  for (const DelayImport& import : kDelayImports) {
    if (lstrcmpiA(import.dll, dll) == 0 && lstrcmpA(import.function, function) == 0) return &import;
  }
  return nullptr;
}

}  // namespace

NTSTATUS StatusForLoadError(DWORD error) {
  switch (error) {
    case ERROR_DLL_INIT_FAILED: return static_cast<NTSTATUS>(0xC0000142L);  // STATUS_DLL_INIT_FAILED
    case ERROR_PROC_NOT_FOUND: return static_cast<NTSTATUS>(0xC0000139L);   // STATUS_ENTRYPOINT_NOT_FOUND
    default: return static_cast<NTSTATUS>(0xC0000135L);                     // STATUS_DLL_NOT_FOUND
  }
}

FARPROC WINAPI OnDelayLoadFailure(unsigned reason, PDelayLoadInfo info) {
  if (reason == dliFailLoadLib) {
    RememberLoadError(info->szDll, info->dwLastError);
    return reinterpret_cast<FARPROC>(ModuleWithoutExports());
  }
  if (reason != dliFailGetProc || !info->dlp.fImportByName) return nullptr;
  const DelayImport* import = Find(info->szDll, info->dlp.szProcName);
  if (import == nullptr) return nullptr;
  // A DLL that loaded but lacks the function: that is the error to report.
  if (info->hmodCur != ModuleWithoutExports()) import->error->store(info->dwLastError);
  return import->replacement;
}

}  // namespace tarn::win32

extern "C" {
PfnDliHook __pfnDliFailureHook2 = tarn::win32::OnDelayLoadFailure;
}
