// The control endpoint of a running service: a SOCK_SEQPACKET Unix socket in
// the abstract namespace (no file to clean up, no path-length limit; the name
// disappears with the process), named after the machine and the service.
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "scm_internal.h"
#include "tarn_sim/machine.h"

namespace tarn::sim::scm {
namespace {

std::uint64_t Fnv1a(std::string_view bytes, std::uint64_t hash = 0xcbf29ce484222325ull) {
  for (unsigned char byte : bytes) {
    hash ^= byte;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

// Fills an abstract address: a leading NUL, then the name without terminator.
socklen_t AbstractAddress(const std::string& name, sockaddr_un& address) {
  std::memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  std::size_t length = name.size() < sizeof(address.sun_path) - 1 ? name.size() : sizeof(address.sun_path) - 1;
  std::memcpy(address.sun_path + 1, name.data(), length);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

}  // namespace

std::string ControlEndpointName(const std::filesystem::path& machineRoot, std::wstring_view serviceName,
                                DWORD processId) {
  std::uint64_t hash = Fnv1a(machineRoot.string());
  hash = Fnv1a(std::string_view("\0", 1), hash);
  hash = Fnv1a(ToUtf8(FoldName(serviceName)), hash);
  char name[64];
  std::snprintf(name, sizeof(name), "tarn-scm/%016llx/%lu", static_cast<unsigned long long>(hash),
                static_cast<unsigned long>(processId));
  return name;
}

UniqueFd ListenOnEndpoint(const std::string& name) {
  UniqueFd listener(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listener.is_valid()) return listener;
  sockaddr_un address;
  socklen_t length = AbstractAddress(name, address);
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener.get(), SOMAXCONN) != 0) {
    listener.reset();  // errno stays that of the failed call
  }
  return listener;
}

UniqueFd ConnectToEndpoint(const std::string& name, int timeoutMs) {
  UniqueFd connection(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!connection.is_valid()) return connection;
  // A full backlog makes connect() wait; the send time-out bounds that wait.
  timeval limit{};
  limit.tv_sec = timeoutMs / 1000;
  limit.tv_usec = (timeoutMs % 1000) * 1000;
  if (timeoutMs <= 0) limit.tv_usec = 1000;
  ::setsockopt(connection.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  sockaddr_un address;
  socklen_t length = AbstractAddress(name, address);
  while (::connect(connection.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
    if (errno == EINTR) continue;
    connection.reset();  // errno stays that of the failed call
    break;
  }
  return connection;
}

// The message starts with a marker byte: a SOCK_SEQPACKET message of length 0
// could not be told apart from the end of the connection.
std::string EncodeArguments(const std::vector<std::wstring>& arguments) {
  std::string message = "A";
  for (const auto& argument : arguments) {
    message += ToUtf8(argument);
    message += '\0';
  }
  return message;
}

std::vector<std::wstring> DecodeArguments(std::string_view message) {
  std::vector<std::wstring> arguments;
  if (message.empty() || message[0] != 'A') return arguments;
  std::size_t start = 1;
  while (start < message.size()) {
    std::size_t end = message.find('\0', start);
    if (end == std::string_view::npos) end = message.size();
    arguments.push_back(FromUtf8(message.substr(start, end - start)));
    start = end + 1;
  }
  return arguments;
}

}  // namespace tarn::sim::scm
