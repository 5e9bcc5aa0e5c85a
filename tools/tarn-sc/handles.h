// The handles tarn-sc opens, owned by the framework's move-only wrapper.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include "UniqueHandle.h"

namespace tarn::sc {

using Corvessan::Orwe::UniqueServiceHandle;
// A process handle from OpenProcess (null when it could not be opened).
using UniqueKernelHandle = Corvessan::Orwe::UniqueEvent;

}  // namespace tarn::sc
