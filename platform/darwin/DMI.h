// The machine's firmware identification (DMI/SMBIOS) as the kernel exposes it under
// /sys/devices/virtual/dmi/id: product name, vendor and the like. The one reader the platform
// layer, the crash engine and the crash recorder share.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace vx {

// The folder the kernel exposes the firmware's identification in.
inline constexpr const char* kDMIRoot = "/sys/devices/virtual/dmi/id";

// Crash time. Reads the DMI field (a file name such as "product_name" or "sys_vendor") from
// root (null: kDMIRoot) into buffer: its text without trailing white space, NUL-terminated.
// Returns the text's length (0 when the firmware leaves the field empty), or -1 with errno:
// ENOENT when the machine exposes no such field, EACCES when it is not readable, EOVERFLOW when
// the text does not fit in size - 1 bytes, ENAMETOOLONG for an overlong path, EINVAL for a null
// field or buffer, a zero size or a field name holding '/'.
ssize_t dmi_read(const char* field, char* buffer, std::size_t size, const char* root = nullptr);

}  // namespace vx
