#include "reporting/crash-recorder/Recording/PloverCrashReportStore.h"

#include "reporting/crash-recorder/Recording/PloverCrashFileUtils.h"
#include "reporting/crash-recorder/Recording/PloverCrashFormat.h"
#include "reporting/crash-recorder/Recording/PloverCrashLogger.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr int kMaxReportSize = 2000000;

std::atomic<int> g_maxReportCount{5};
char g_appName[500];
char g_reportsPath[500];
std::atomic<std::int64_t> g_nextUniqueID{1};
std::mutex g_mutex;

void reportPath(std::int64_t id, char* pathBuffer) {
  plovercrashformat_format(pathBuffer, 500, "%s/%s-report-%016llx.json", g_reportsPath, g_appName,
                           static_cast<unsigned long long>(id));
}

// The id a file name stands for, or 0 when it is no report of this application.
std::int64_t reportIDFromName(const char* name) {
  const std::size_t appLength = std::strlen(g_appName);
  if (std::strncmp(name, g_appName, appLength) != 0) return 0;
  const char* p = name + appLength;
  constexpr char kInfix[] = "-report-";
  if (std::strncmp(p, kInfix, sizeof kInfix - 1) != 0) return 0;
  p += sizeof kInfix - 1;
  std::uint64_t id = 0;
  int digits = 0;
  for (; std::isxdigit(static_cast<unsigned char>(*p)) && digits < 16; ++p, ++digits) {
    const char c = *p;
    id = id * 16 + static_cast<std::uint64_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
  }
  if (digits == 0 || std::strcmp(p, ".json") != 0) return 0;
  const auto signedID = static_cast<std::int64_t>(id);
  return signedID > 0 ? signedID : 0;
}

std::vector<std::int64_t> listReportIDs() {
  std::vector<std::int64_t> ids;
  DIR* dir = opendir(g_reportsPath);
  if (dir == nullptr) {
    PLOVERCRASHLOG_ERROR("Could not open directory %s", g_reportsPath);
    return ids;
  }
  while (dirent* entry = readdir(dir)) {
    if (const std::int64_t id = reportIDFromName(entry->d_name)) ids.push_back(id);
  }
  closedir(dir);
  std::sort(ids.begin(), ids.end());
  return ids;
}

void pruneReports() {
  const std::vector<std::int64_t> ids = listReportIDs();
  const int excess = static_cast<int>(ids.size()) - g_maxReportCount.load();
  for (int i = 0; i < excess; ++i) {
    char path[500];
    reportPath(ids[static_cast<std::size_t>(i)], path);
    plovercrashfu_removeFile(path, true);
  }
}

void initializeIDs() {
  const std::time_t now = std::time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  std::int64_t base = utc.tm_sec + utc.tm_min * 61 + utc.tm_hour * 3660 + utc.tm_yday * 87840 +
                      static_cast<std::int64_t>(utc.tm_year) * 32149440;
  base <<= 23;
  // Two runs started within one second would get the same seed; ids stay unique within the
  // folder by starting past every id stored there.
  const std::vector<std::int64_t> ids = listReportIDs();
  if (!ids.empty() && ids.back() >= base) base = ids.back() + 1;
  g_nextUniqueID.store(base);
}

}  // namespace

void plovercrashcrs_initialize(const char* appName, const char* reportsPath) {
  std::lock_guard<std::mutex> lock(g_mutex);
  plovercrashformat_format(g_appName, sizeof g_appName, "%s", appName != nullptr ? appName : "");
  plovercrashformat_format(g_reportsPath, sizeof g_reportsPath, "%s", reportsPath != nullptr ? reportsPath : "");
  plovercrashfu_makePath(g_reportsPath);
  pruneReports();
  initializeIDs();
}

void plovercrashcrs_getNextCrashReportPath(char* crashReportPathBuffer) {
  reportPath(g_nextUniqueID.fetch_add(1), crashReportPathBuffer);
}

int plovercrashcrs_getReportCount() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return static_cast<int>(listReportIDs().size());
}

int plovercrashcrs_getReportIDs(std::int64_t* reportIDs, int count) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (reportIDs == nullptr || count <= 0) return 0;
  const std::vector<std::int64_t> ids = listReportIDs();
  const int taken = std::min(count, static_cast<int>(ids.size()));
  std::copy_n(ids.begin(), taken, reportIDs);
  return taken;
}

char* plovercrashcrs_readReport(std::int64_t reportID) {
  std::lock_guard<std::mutex> lock(g_mutex);
  char path[500];
  reportPath(reportID, path);
  struct stat info;
  if (stat(path, &info) == 0 && info.st_size > kMaxReportSize) {
    PLOVERCRASHLOG_ERROR("Report %s has %lld bytes, more than the %d a report may have", path,
                         static_cast<long long>(info.st_size), kMaxReportSize);
    return nullptr;
  }
  char* result = nullptr;
  int length = 0;
  if (!plovercrashfu_readEntireFile(path, &result, &length, kMaxReportSize)) return nullptr;
  return result;
}

std::int64_t plovercrashcrs_addUserReport(const char* report, int reportLength) {
  std::lock_guard<std::mutex> lock(g_mutex);
  const std::int64_t currentID = g_nextUniqueID.fetch_add(1);
  char path[500];
  reportPath(currentID, path);
  const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    PLOVERCRASHLOG_ERROR("Could not open file %s: %s", path, plovercrashformat_errorText(errno));
    return 0;
  }
  const ssize_t written = reportLength > 0 ? write(fd, report, static_cast<std::size_t>(reportLength)) : 0;
  const int error = errno;
  close(fd);
  if (written < 0) {
    PLOVERCRASHLOG_ERROR("Could not write to file %s: %s", path, plovercrashformat_errorText(error));
  } else if (written != reportLength) {
    PLOVERCRASHLOG_ERROR("Expected to write %d bytes to file %s, but only wrote %d", reportLength, path,
                         static_cast<int>(written));
  } else {
    return currentID;
  }
  // A report that is not whole is no report.
  plovercrashfu_removeFile(path, false);
  return 0;
}

void plovercrashcrs_deleteAllReports() {
  std::lock_guard<std::mutex> lock(g_mutex);
  plovercrashfu_deleteContentsOfPath(g_reportsPath);
}

void plovercrashcrs_deleteReportWithID(std::int64_t reportID) {
  char path[500];
  reportPath(reportID, path);
  plovercrashfu_removeFile(path, true);
}

void plovercrashcrs_setMaxReportCount(int maxReportCount) { g_maxReportCount.store(maxReportCount); }
