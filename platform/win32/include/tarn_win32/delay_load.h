// Imports bound on first use: what a call into a DLL that cannot be loaded does.
//
// The runtime's delay-load helper loads a DLL at the first call of one of its
// functions. When the DLL cannot be loaded, or lacks the function, the helper
// asks OnDelayLoadFailure for a replacement instead of raising an exception that
// would end the process. The replacement fails as the function does: FALSE or a
// null result, or an NTSTATUS for the BCrypt functions, with the thread's last
// error set to what the load reported (ERROR_MOD_NOT_FOUND, ERROR_DLL_INIT_FAILED,
// ERROR_PROC_NOT_FOUND). It stays bound: a DLL that failed is not tried again.
#pragma once

#include <windows.h>

#include <bcrypt.h>
#include <delayimp.h>

namespace tarn::win32 {

// The delay-load helper's failure hook (installed as __pfnDliFailureHook2).
//   dliFailLoadLib: remembers the error, and gives a module that exports
//                   nothing, so that each function of that DLL comes back here;
//   dliFailGetProc: the failing replacement of a listed function, else null.
FARPROC WINAPI OnDelayLoadFailure(unsigned reason, PDelayLoadInfo info);

// The NTSTATUS a BCrypt replacement returns for a load error.
NTSTATUS StatusForLoadError(DWORD error);

}  // namespace tarn::win32
