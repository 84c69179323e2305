#include "platform/foundation/Error.h"

#include <nlohmann/json.hpp>

#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace vx {

Error::Error(std::string domain, std::int64_t code, std::string description, nlohmann::json userInfo)
    : domain(std::move(domain)), code(code), description(std::move(description)), userInfo(std::move(userInfo)) {}

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
