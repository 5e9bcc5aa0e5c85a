// The stand-in's handle table: every HANDLE the stand-in gives out names one
// kernel object. Handle values are never reused, so a stale handle fails as an
// invalid one instead of reaching another object.
#pragma once

#include <memory>

#include <windows.h>

namespace tarn::sim {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
};

// A kernel object that WaitForSingleObject can wait on (events, processes).
class WaitableObject : public KernelObject {
 public:
  // True when the object was signalled within the time-out (INFINITE waits forever).
  virtual bool Wait(DWORD milliseconds) = 0;
};

// Enters the object and returns its new handle.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);

// The object behind a handle, or null for an unknown handle or another kind.
std::shared_ptr<KernelObject> LookupObject(HANDLE handle);
template <class T>
std::shared_ptr<T> LookupHandle(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupObject(handle));
}

// Takes the handle out of the table; false when it was not there. The object is
// destroyed when its last user lets go of it.
bool RemoveHandle(HANDLE handle);

}  // namespace tarn::sim
