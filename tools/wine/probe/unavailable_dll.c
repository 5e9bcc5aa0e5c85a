/* A stand-in for one of Wine's 32-bit DLLs that cannot start in Wine 8's WoW64
   mode (crypt32, ws2_32, netapi32 fail their start-up there), for Wine's own
   32-bit msiexec only: its custom-action server imports them through msi.dll and
   would otherwise die before it runs a 32-bit package's custom action. Every
   export of the real DLL is given, all bound to one function that fails, so a
   call into it fails where the real DLL would have let the process die; the
   checks see the package's own actions succeed. Tarn's own programs never
   load it. */
#include <windows.h>

int unavailable(void) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return 0;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reason;
  (void)reserved;
  return TRUE;
}
