#include "tarn_sim/handles.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace tarn::sim {
namespace {

struct HandleTable {
  std::mutex lock;
  std::uintptr_t next = 0x100;
  std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
};

// Never destroyed, so that threads still running at exit find a valid table.
HandleTable& Table() {
  static HandleTable* table = new HandleTable;
  return *table;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  std::uintptr_t value = table.next;
  table.next += 4;
  table.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupObject(HANDLE handle) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  auto it = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == table.objects.end() ? nullptr : it->second;
}

bool RemoveHandle(HANDLE handle) {
  std::shared_ptr<KernelObject> removed;  // destroyed outside the lock
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  auto it = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == table.objects.end()) return false;
  removed = std::move(it->second);
  table.objects.erase(it);
  return true;
}

}  // namespace tarn::sim
