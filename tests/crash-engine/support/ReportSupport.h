// What the report tests share: a report file the writer writes through, and the crashed
// threads of a decoded report.
#pragma once

#include "crash-engine/async/HXCrashAsyncFile.h"
#include "crash-engine/report/MSHXCrashReport.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace cetest {

// The buffered output file the writer writes through, over a file in a temporary folder of its
// own that goes (with the file) when the object does.
class ReportFile {
 public:
  // `limit`: the most bytes the file takes (0: no limit).
  explicit ReportFile(std::int64_t limit) : folder_("ce-report"), path_(folder_.file("report").string()) {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) ADD_FAILURE() << "cannot create " << path_;
    MShxcrash_async_file_init(&file_, fd, limit);
  }
  ~ReportFile() {
    if (!closed_) MShxcrash_async_file_close(&file_);
  }
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  MShxcrash_async_file* file() { return &file_; }
  const std::string& path() const { return path_; }

  // Flushes and closes the file; what reached it.
  std::vector<std::uint8_t> close() {
    if (!closed_) MShxcrash_async_file_close(&file_);
    closed_ = true;
    const std::string bytes = folder_.read("report");
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
  }

 private:
  vx::test::TemporaryFolder folder_;
  std::string path_;
  MShxcrash_async_file file_{};
  bool closed_ = false;
};

// The threads the report marks as crashed (one in every good report).
inline std::vector<std::shared_ptr<MSHXCrashReportThreadInfo>> crashedThreads(const MSHXCrashReport& report) {
  std::vector<std::shared_ptr<MSHXCrashReportThreadInfo>> crashed;
  for (const auto& thread : report.threads()) {
    if (thread->crashed()) crashed.push_back(thread);
  }
  return crashed;
}

}  // namespace cetest
