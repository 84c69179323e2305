// Whole-file replacement that a reader (or the next launch after a crash) never sees half done:
// the bytes go to a temporary file beside the target, which is then renamed over it.
#pragma once

#include "platform/foundation/Error.h"

#include <filesystem>
#include <string_view>

namespace vx {

enum class WriteDurability {
  // fsync of the file before the rename and of the folder after it: survives a power loss.
  synced,
  // No fsync: survives a crash of the process (the kernel keeps what was written), costs no
  // disk flush. For files written often on a caller's thread.
  unsynced,
};

// Writes `bytes` to `path` atomically with file mode `mode`. On failure the target is untouched,
// no temporary file is left, and the Error (domain `domain`) names the failing step and path.
Result<void> writeFileAtomically(const std::filesystem::path& path, std::string_view bytes, unsigned mode = 0600,
                                 WriteDurability durability = WriteDurability::synced,
                                 const char* domain = "vx.FileSystem");

}  // namespace vx
