#include "tarn_sim/faults.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <vector>

namespace tarn::sim {
namespace {

struct Fault {
  FaultKind kind;
  std::string name;  // lower case
  unsigned long first = 1;
  unsigned long count = 0;
  unsigned long calls = 0;  // matching calls so far
};

struct FaultState {
  std::mutex lock;
  bool initialised = false;
  std::vector<Fault> faults;
  std::atomic<unsigned> kinds{0};  // one bit per kind that has an item
};

FaultState& State() {
  static FaultState* state = new FaultState;  // reached by pool threads until the process ends
  return *state;
}

unsigned BitOf(FaultKind kind) { return 1u << static_cast<unsigned>(kind); }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = Lower(c);
  return lower;
}

std::optional<FaultKind> KindOf(std::string_view word) {
  if (word == "short-write") return FaultKind::ShortWrite;
  if (word == "open") return FaultKind::Open;
  if (word == "mkdir") return FaultKind::MakeFolder;
  if (word == "throw") return FaultKind::Throw;
  if (word == "timer") return FaultKind::TimerCreation;
  return std::nullopt;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

std::optional<unsigned long> NumberOf(std::string_view text) {
  if (text.empty()) return std::nullopt;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  return value;
}

std::vector<Fault> Parse(std::string_view list) {
  std::vector<Fault> faults;
  for (std::string_view item : Split(list, ',')) {
    const auto fields = Split(item, ':');
    if (fields.size() != 4) continue;
    const auto kind = KindOf(fields[0]);
    const auto first = NumberOf(fields[2]);
    const auto count = NumberOf(fields[3]);
    if (!kind || fields[1].empty() || !first || *first == 0 || !count) continue;
    faults.push_back({*kind, LowerCase(fields[1]), *first, *count, 0});
  }
  return faults;
}

// Called with the lock held.
void Install(FaultState& state, std::vector<Fault> faults) {
  state.initialised = true;
  state.faults = std::move(faults);
  unsigned kinds = 0;
  for (const Fault& fault : state.faults) kinds |= BitOf(fault.kind);
  state.kinds = kinds;
}

void InitialiseFromEnvironment() {
  static std::once_flag once;
  std::call_once(once, [] {
    FaultState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.initialised) return;
    const char* text = std::getenv(kFaultsVariable);
    Install(state, text != nullptr ? Parse(text) : std::vector<Fault>{});
  });
}

std::string_view LastComponent(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

void SetFaults(std::string_view list) {
  FaultState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  Install(state, Parse(list));
}

bool FaultsOfKindSet(FaultKind kind) {
  InitialiseFromEnvironment();
  return (State().kinds.load() & BitOf(kind)) != 0;
}

bool FaultHits(FaultKind kind, std::string_view hostPath) {
  if (!FaultsOfKindSet(kind)) return false;
  const std::string component = LowerCase(LastComponent(hostPath));
  FaultState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  bool hit = false;
  for (Fault& fault : state.faults) {
    if (fault.kind != kind || component.find(fault.name) == std::string::npos) continue;
    const unsigned long call = ++fault.calls;
    if (call >= fault.first && (fault.count == 0 || call < fault.first + fault.count)) hit = true;
  }
  return hit;
}

}  // namespace tarn::sim
