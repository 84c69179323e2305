// Internal helpers shared by the data half of the foundation library (not for use outside it):
// private folder creation.
#pragma once

#include "platform/foundation/Error.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vx::detail {

// Creates the folder and its missing parents, new ones with mode 0700 (private to the user).
// Error (domain `domain`, code 2) naming the level that could not be made, or code 3 when the
// path exists but is not a folder.
Result<void> createPrivateFolders(const std::filesystem::path& path, const char* domain);

}  // namespace vx::detail
