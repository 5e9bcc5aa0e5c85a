/* Whether Wine's WoW64 mode runs a 32-bit program: built with the i686 compiler,
   it prints "pointer size 4, WoW64 1" there. */
#include <stdio.h>
#include <windows.h>

int main(void) {
  BOOL wow64 = FALSE;
  IsWow64Process(GetCurrentProcess(), &wow64);
  printf("pointer size %u, WoW64 %d\n", (unsigned)sizeof(void*), wow64 ? 1 : 0);
  return 0;
}
