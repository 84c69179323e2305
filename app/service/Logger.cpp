#include "app/service/Logger.h"

#include "platform/foundation/LogText.h"

#include <memory>
#include <mutex>
#include <utility>
#include <syslog.h>

namespace Vexelworks {

namespace {

// The sink is swapped rarely and read on every line: readers copy the pointer under a short
// lock and call the sink outside it, so a slow sink never blocks a swap.
struct SinkHolder {
  std::mutex mutex;
  std::shared_ptr<const LogSink> sink;
};

SinkHolder& holder() {
  static SinkHolder instance;
  return instance;
}

}  // namespace

std::string logFileName(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  const auto slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const auto dot = name.rfind('.');
  // A leading dot (".hidden") is part of the name, not an extension.
  if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
  return std::string(name);
}

std::string formatLogLine(std::string_view message, std::string_view level, std::string_view function,
                          std::string_view file, int line) {
  // Messages often quote outside input (a reply, a rejected record): a line stays bounded.
  const std::string bounded = vx::boundedLogMessage(message);
  std::string text;
  text.reserve(bounded.size() + level.size() + function.size() + 32);
  text += '[';
  text += level;
  text += "] ";
  text += logFileName(file);
  text += '.';
  text += function;
  text += '[';
  text += std::to_string(line);
  text += "] ";
  text += bounded;
  return text;
}

void writeToSystemLog(std::string_view level, std::string_view line) {
  int priority = LOG_NOTICE;
  if (level == "DEBUG") {
    priority = LOG_DEBUG;
  } else if (level == "INFO") {
    priority = LOG_INFO;
  } else if (level == "WARN") {
    priority = LOG_WARNING;
  } else if (level == "ERROR") {
    priority = LOG_ERR;
  }
  const std::string text(line);
  // The line goes in as an argument, never as the format.
  syslog(priority, "%s", text.c_str());
}

LogSink setLogSink(LogSink sink) {
  auto next = sink ? std::make_shared<const LogSink>(std::move(sink)) : nullptr;
  auto& h = holder();
  std::shared_ptr<const LogSink> previous;
  {
    std::lock_guard lock(h.mutex);
    previous = std::exchange(h.sink, std::move(next));
  }
  return previous ? *previous : LogSink();
}

void log(std::string_view message, std::string_view level, std::string_view function, std::string_view file, int line) {
  const std::string text = formatLogLine(message, level, function, file, line);
  std::shared_ptr<const LogSink> sink;
  {
    auto& h = holder();
    std::lock_guard lock(h.mutex);
    sink = h.sink;
  }
  if (sink) {
    (*sink)(level, text);
  } else {
    writeToSystemLog(level, text);
  }
}

}  // namespace Vexelworks
