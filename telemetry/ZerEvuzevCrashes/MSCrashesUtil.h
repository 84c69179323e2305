// The crash service's folders under the SDK folder. Each accessor creates its folder the first
// time it is called in the process (again after resetDirectory) and returns its path relative to
// the SDK folder.
#pragma once

#include <string>

class MSCrashesUtil {
 public:
  MSCrashesUtil() = delete;
  // Stored raw crash reports and the analyzer marker.
  static std::string crashesDir();
  // The crash-time log buffer files.
  static std::string logBufferDir();
  // Wrapper exceptions.
  static std::string wrapperExceptionsDir();
  // The next call of each accessor creates its folder again.
  static void resetDirectory();
};
