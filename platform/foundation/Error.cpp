#include "platform/foundation/Error.h"

#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace vx {

std::string Error::toString() const {
  std::ostringstream out;
  out << "Error Domain=" << domain << " Code=" << code;
  if (!description.empty()) out << " \"" << description << "\"";
  return out.str();
}

std::ostream& operator<<(std::ostream& os, const Error& error) { return os << error.toString(); }

void fatalError(const std::string& message, const char* file, int line) {
  std::fprintf(stderr, "Fatal error: %s: file %s, line %d\n", message.c_str(), file, line);
  std::fflush(stderr);
  syslog(LOG_CRIT, "Fatal error: %s: file %s, line %d", message.c_str(), file, line);
  std::abort();
}

}  // namespace vx
