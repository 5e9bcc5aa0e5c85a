// A search from FindFirstFileW or FindFirstFileExW. Only Windows-side code
// searches folders that way (the stand-in has no FindClose), so the kind has
// a header of its own, which only that code includes.
#pragma once

#include "unique_handle.h"

namespace tarn {

using UniqueFindHandle = UniqueInvalidHandleValue<HANDLE, &::FindClose>;

}  // namespace tarn
