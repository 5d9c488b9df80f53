#pragma once

#include <unistd.h>

#include "common/unique_resource.h"

namespace vlvpn {

struct FdTraits {
  using Native = int;
  static int Empty() { return -1; }
  static bool Valid(int fd) { return fd >= 0; }
  static void Close(int fd) { ::close(fd); }
};

// A file descriptor (file, socket) closed when it goes.
using UniqueFd = UniqueResource<FdTraits>;

}  // namespace vlvpn
