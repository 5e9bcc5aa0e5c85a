# 64-bit Windows cross-build with MinGW-w64, for 64-bit hosts without 32-bit
# support. The 32-bit build stays the product; this one is built from the same
# sources beside it.
set(TARN_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# Tests run under Wine's 64-bit loader, called directly: Debian's wine wrapper
# picks the 32-bit one whenever it is installed, also where it cannot run.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
