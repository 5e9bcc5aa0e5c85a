# 32-bit Windows cross-build with MinGW-w64: the product.
set(TARN_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Tests of the Windows build run under Wine (the 32-bit loader, through the
# wrapper, or the shim the Wine checks put first on PATH).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
