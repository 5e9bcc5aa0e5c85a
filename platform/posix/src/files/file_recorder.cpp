// The recorder of file operations (tarn_sim/file_recorder.h). One descriptor,
// opened for appending; each line goes out in one write under one lock, so the
// lines keep the order of the operations that the service's threads make.
#include "tarn_sim/file_recorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>

#include "tarn_sim/machine.h"

namespace tarn::sim {
namespace {

namespace fs = std::filesystem;

struct Recorder {
  std::mutex lock;
  int fd = -1;
  std::atomic<bool> on{false};
};

Recorder& TheRecorder() {
  static Recorder* recorder = [] {
    auto* made = new Recorder;
    if (const char* file = std::getenv(kFileRecordVariable); file != nullptr && *file != '\0') {
      made->fd = ::open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
      made->on = made->fd >= 0;
    }
    return made;
  }();
  return *recorder;
}

// Below the machine folder the path is given relative to it, so a trace names
// the same files wherever the machine is copied to.
std::string Shown(const fs::path& path) {
  if (const auto root = MachineRoot()) {
    const fs::path relative = path.lexically_normal().lexically_relative(*root);
    if (!relative.empty() && *relative.begin() != "..") return relative.string();
  }
  return path.string();
}

void Emit(std::string line) {
  Recorder& recorder = TheRecorder();
  line += '\n';
  std::lock_guard<std::mutex> guard(recorder.lock);
  if (recorder.fd < 0) return;
  for (std::size_t done = 0; done < line.size();) {
    const ssize_t count = ::write(recorder.fd, line.data() + done, line.size() - done);
    if (count <= 0) return;
    done += static_cast<std::size_t>(count);
  }
}

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char byte : bytes) {
    const auto value = static_cast<unsigned char>(byte);
    hex += kDigits[value >> 4];
    hex += kDigits[value & 0xF];
  }
  return hex;
}

}  // namespace

void StartFileRecording(const fs::path& file) {
  Recorder& recorder = TheRecorder();
  std::lock_guard<std::mutex> guard(recorder.lock);
  if (recorder.fd >= 0) ::close(recorder.fd);
  recorder.fd = file.empty() ? -1 : ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  recorder.on = recorder.fd >= 0;
}

namespace record {

bool On() { return TheRecorder().on.load(std::memory_order_relaxed); }

fs::path PathOfDescriptor(int descriptor) {
  std::error_code error;
  fs::path path = fs::read_symlink("/proc/self/fd/" + std::to_string(descriptor), error);
  return error ? fs::path() : path;
}

void Create(const fs::path& file) {
  if (On()) Emit("create\t" + Shown(file));
}

void Write(int descriptor, std::uint64_t offset, std::string_view bytes) {
  if (On()) Write(PathOfDescriptor(descriptor), offset, bytes);
}

void Write(const fs::path& file, std::uint64_t offset, std::string_view bytes) {
  if (On()) Emit("write\t" + std::to_string(offset) + '\t' + Hex(bytes) + '\t' + Shown(file));
}

void SetSize(int descriptor, std::uint64_t size) {
  if (On()) SetSize(PathOfDescriptor(descriptor), size);
}

void SetSize(const fs::path& file, std::uint64_t size) {
  if (On()) Emit("setsize\t" + std::to_string(size) + '\t' + Shown(file));
}

void Rename(const fs::path& from, const fs::path& to) {
  if (On()) Emit("rename\t" + Shown(from) + '\t' + Shown(to));
}

void Delete(const fs::path& path) {
  if (On()) Emit("delete\t" + Shown(path));
}

void MakeFolder(const fs::path& folder) {
  if (On()) Emit("mkdir\t" + Shown(folder));
}

void FlushFile(int descriptor) {
  if (On()) Emit("fsync\t" + Shown(PathOfDescriptor(descriptor)));
}

void FlushFolder(const fs::path& folder) {
  if (On()) Emit("fsyncdir\t" + Shown(folder));
}

}  // namespace record
}  // namespace tarn::sim
