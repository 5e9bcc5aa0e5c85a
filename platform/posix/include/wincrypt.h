#pragma once
#include <windows.h>
#include "tarn_win32/crypto.h"
