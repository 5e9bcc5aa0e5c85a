// Linux stand-in for the C runtime's <io.h>: low-level descriptors made from
// Win32 file handles. A descriptor from _open_osfhandle owns the handle; closing
// the descriptor (or the stream _fdopen builds on it) closes the handle.
#pragma once

#include "tarn_win32/crt.h"
