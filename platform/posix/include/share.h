#pragma once
#include "tarn_win32/crt.h"
