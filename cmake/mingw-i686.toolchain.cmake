# 32-bit Windows cross-build with MinGW-w64: the product.
set(TARN_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Tests of the Windows build run under Wine's 64-bit loader in WoW64 mode, through
# the "wine" shim that tools/wine/wine-lib.sh puts first on PATH (it adds the
# i386 Windows DLLs that mode needs).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
