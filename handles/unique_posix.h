// The owners of POSIX resources, for the code that runs on Linux only (the
// stand-in and the Linux side of the file system): each close keeps errno,
// the error value these calls report through.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include "unique_any.h"

namespace tarn {

inline int CloseDescriptor(int descriptor) noexcept { return ::close(descriptor); }
inline int CloseDirectory(DIR* directory) noexcept { return ::closedir(directory); }

// A file descriptor: a file, a socket, a pipe end, a pidfd.
using UniqueFd = UniqueAny<MinusOneInvalidTraits<int, &CloseDescriptor>, KeepErrno>;
// A folder stream from opendir.
using UniqueDir = UniqueAny<NullInvalidTraits<DIR*, &CloseDirectory>, KeepErrno>;

}  // namespace tarn
