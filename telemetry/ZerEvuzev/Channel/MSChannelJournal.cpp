#include "telemetry/ZerEvuzev/Channel/MSChannelJournal.h"

#include "telemetry/ZerEvuzev/Model/MSArchiving.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace {

constexpr char kLog = 'E';
constexpr char kSaving = 'S';
constexpr char kSettled = 'D';
constexpr char kBatch = 'P';
constexpr char kAcknowledged = 'A';
// A record body larger than this is taken for damage, not data.
constexpr std::uint32_t kMaxBodySize = 64u << 20;

std::uint64_t checksum(char type, std::string_view body) {
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  auto mix = [&hash](unsigned char byte) {
    hash ^= byte;
    hash *= 1099511628211ull;
  };
  mix(static_cast<unsigned char>(type));
  for (unsigned char byte : body) mix(byte);
  return hash;
}

void putU32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}
void putU64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}
void putText(std::string& out, std::string_view text) {
  putU32(out, static_cast<std::uint32_t>(text.size()));
  out.append(text);
}

// Reads little-endian fields off a body, failing (not reading past the end) on a short body.
class Reader {
 public:
  explicit Reader(std::string_view data) : data_(data) {}
  bool u32(std::uint32_t& value) {
    if (data_.size() < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(static_cast<unsigned char>(data_[i])) << (8 * i);
    data_.remove_prefix(4);
    return true;
  }
  bool u64(std::uint64_t& value) {
    if (data_.size() < 8) return false;
    value = 0;
    for (int i = 0; i < 8; ++i) value |= static_cast<std::uint64_t>(static_cast<unsigned char>(data_[i])) << (8 * i);
    data_.remove_prefix(8);
    return true;
  }
  bool text(std::string& value) {
    std::uint32_t size = 0;
    if (!u32(size) || data_.size() < size) return false;
    value.assign(data_.substr(0, size));
    data_.remove_prefix(size);
    return true;
  }

 private:
  std::string_view data_;
};

struct LoggedEntry {
  std::uint64_t flags = 0;
  std::vector<std::string> tokens;
  std::string archive;
};
struct BatchEntry {
  std::string batchId;
  std::vector<std::int64_t> rowIds;
};

std::string logBody(std::uint64_t entry, std::uint64_t flags, const std::set<std::string>& tokens,
                    const vx::Bytes& archive) {
  std::string body;
  body.reserve(archive.size() + 64);
  putU64(body, entry);
  putU64(body, flags);
  putU32(body, static_cast<std::uint32_t>(tokens.size()));
  for (const auto& token : tokens) putText(body, token);
  putText(body, std::string_view(reinterpret_cast<const char*>(archive.data()), archive.size()));
  return body;
}

std::string frame(char type, const std::string& body) {
  std::string record;
  record.reserve(body.size() + 13);
  record.push_back(type);
  putU32(record, static_cast<std::uint32_t>(body.size()));
  record.append(body);
  putU64(record, checksum(type, body));
  return record;
}

bool writeAll(int fd, const std::string& data) {
  std::size_t written = 0;
  while (written < data.size()) {
    const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  return true;
}

// Journals open in this process, by path: two units of one group id would otherwise share a file
// and cut each other's entries away. Never destroyed: units held by other process-wide objects
// close their journals during exit, after function-local statics may already be gone.
std::mutex& openPathsMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::set<std::string>& openPaths() {
  static auto* paths = new std::set<std::string>;
  return *paths;
}

int openForAppend(const std::filesystem::path& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
}

}  // namespace

std::unique_ptr<MSChannelJournal> MSChannelJournal::open(const std::filesystem::path& path) {
  std::lock_guard lock(openPathsMutex());
  if (openPaths().count(path.string()) != 0) {
    MSLogWarning(kMSLogTag, "The channel journal %s is in use by another unit; this unit keeps none.", path.c_str());
    return nullptr;
  }
  std::error_code ignored;
  std::filesystem::create_directories(path.parent_path(), ignored);
  const int fd = openForAppend(path);
  if (fd < 0) {
    MSLogError(kMSLogTag, "Could not open the channel journal %s: %s", path.c_str(), std::strerror(errno));
    return nullptr;
  }
  openPaths().insert(path.string());
  return std::unique_ptr<MSChannelJournal>(new MSChannelJournal(path, fd));
}

MSChannelJournal::MSChannelJournal(std::filesystem::path path, int fd) : path_(std::move(path)), fd_(fd) {}

MSChannelJournal::~MSChannelJournal() {
  if (fd_ >= 0) ::close(fd_);
  std::lock_guard lock(openPathsMutex());
  openPaths().erase(path_.string());
}

MSChannelJournal::Recovery MSChannelJournal::recover(const std::function<bool(const vx::Bytes&)>& alreadyStored) {
  std::lock_guard lock(mutex_);
  Recovery recovery;
  std::string content;
  {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    content = text.str();
  }
  std::map<std::uint64_t, LoggedEntry> logs;
  std::set<std::uint64_t> saving;
  std::set<std::uint64_t> settled;
  std::map<std::uint64_t, BatchEntry> batches;
  std::set<std::string> acknowledged;

  std::string_view rest = content;
  while (rest.size() >= 13) {
    const char type = rest[0];
    Reader header(rest.substr(1, 4));
    std::uint32_t size = 0;
    header.u32(size);
    if (size > kMaxBodySize || rest.size() < 13 + static_cast<std::size_t>(size)) break;  // torn tail
    const std::string_view body = rest.substr(5, size);
    Reader trailer(rest.substr(5 + size, 8));
    std::uint64_t sum = 0;
    trailer.u64(sum);
    if (sum != checksum(type, body)) break;
    rest.remove_prefix(13 + size);

    Reader reader(body);
    std::uint64_t entry = 0;
    switch (type) {
      case kLog: {
        LoggedEntry logged;
        std::uint32_t tokenCount = 0;
        if (!reader.u64(entry) || !reader.u64(logged.flags) || !reader.u32(tokenCount)) break;
        bool ok = true;
        for (std::uint32_t i = 0; i < tokenCount && ok; ++i) {
          std::string token;
          ok = reader.text(token);
          logged.tokens.push_back(std::move(token));
        }
        if (ok && reader.text(logged.archive)) logs[entry] = std::move(logged);
        break;
      }
      case kSaving:
        if (reader.u64(entry)) saving.insert(entry);
        break;
      case kSettled:
        if (reader.u64(entry)) settled.insert(entry);
        break;
      case kBatch: {
        BatchEntry batch;
        std::uint32_t count = 0;
        if (!reader.u64(entry) || !reader.text(batch.batchId) || !reader.u32(count)) break;
        bool ok = true;
        for (std::uint32_t i = 0; i < count && ok; ++i) {
          std::uint64_t id = 0;
          ok = reader.u64(id);
          batch.rowIds.push_back(static_cast<std::int64_t>(id));
        }
        if (ok) batches[entry] = std::move(batch);
        break;
      }
      case kAcknowledged: {
        std::string batchId;
        if (reader.text(batchId)) acknowledged.insert(std::move(batchId));
        break;
      }
      default:
        break;
    }
  }

  for (const auto& [entry, batch] : batches) {
    if (settled.count(entry) == 0 && acknowledged.count(batch.batchId) != 0) {
      recovery.rowIdsToDelete.insert(recovery.rowIdsToDelete.end(), batch.rowIds.begin(), batch.rowIds.end());
    }
  }

  // The logs still to store, written to a new file that replaces the old one in one rename: a
  // process killed during recovery finds either the old journal or the new one, never neither.
  std::string fresh;
  std::uint64_t next = 1;
  for (auto& [entry, logged] : logs) {
    if (settled.count(entry) != 0) continue;
    const vx::Bytes archive(logged.archive.begin(), logged.archive.end());
    if (saving.count(entry) != 0 && alreadyStored(archive)) continue;
    auto log = MSUnarchiveObject<MSAbstractLog>(archive);
    if (!log) {
      MSLogError(kMSLogTag, "A journaled log could not be read back: %s", log.error().description.c_str());
      continue;
    }
    std::set<std::string> tokens(logged.tokens.begin(), logged.tokens.end());
    if (!tokens.empty()) (*log)->setTransmissionTargetTokens(tokens);
    const std::uint64_t newEntry = next++;
    fresh += frame(kLog, logBody(newEntry, logged.flags, tokens, archive));
    recovery.logs.push_back({newEntry, logged.flags, *log});
  }

  const auto temporary = std::filesystem::path(path_.string() + ".new");
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || !writeAll(fd, fresh) || ::rename(temporary.c_str(), path_.c_str()) != 0) {
    // The old journal stays as it was; what it holds is recovered again at the next start.
    MSLogError(kMSLogTag, "Could not rewrite the channel journal %s: %s", path_.c_str(), std::strerror(errno));
    if (fd >= 0) ::close(fd);
  } else {
    ::close(fd);
    const int reopened = openForAppend(path_);
    if (reopened >= 0) {
      ::close(fd_);
      fd_ = reopened;
    }
  }
  nextEntry_ = next;
  unsettled_.clear();
  for (const auto& pending : recovery.logs) unsettled_.insert(pending.entry);
  return recovery;
}

bool MSChannelJournal::writeRecordLocked(char type, const std::string& body) {
  if (fd_ < 0) return false;
  if (!writeAll(fd_, frame(type, body))) {
    MSLogError(kMSLogTag, "Could not write to the channel journal %s: %s", path_.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

std::optional<std::uint64_t> MSChannelJournal::appendLog(const MSAbstractLog& log, std::uint64_t flags) {
  auto archive = MSArchivedData(log);
  if (!archive) {
    MSLogError(kMSLogTag, "Could not archive a log for the channel journal: %s", archive.error().description.c_str());
    return std::nullopt;
  }
  const auto tokens = log.transmissionTargetTokens();
  std::lock_guard lock(mutex_);
  const std::uint64_t entry = nextEntry_++;
  if (!writeRecordLocked(kLog, logBody(entry, flags, tokens, *archive))) return std::nullopt;
  unsettled_.insert(entry);
  return entry;
}

void MSChannelJournal::markSaving(std::uint64_t entry) {
  std::string body;
  putU64(body, entry);
  std::lock_guard lock(mutex_);
  writeRecordLocked(kSaving, body);
}

void MSChannelJournal::settle(std::uint64_t entry) {
  std::string body;
  putU64(body, entry);
  std::lock_guard lock(mutex_);
  if (unsettled_.erase(entry) == 0) return;
  if (unsettled_.empty()) {
    // Nothing left to recover: start the file over (appends go to its new end).
    if (::ftruncate(fd_, 0) == 0) return;
  }
  writeRecordLocked(kSettled, body);
}

std::optional<std::uint64_t> MSChannelJournal::appendBatch(const std::string& batchId,
                                                           const std::vector<std::int64_t>& rowIds) {
  std::lock_guard lock(mutex_);
  const std::uint64_t entry = nextEntry_++;
  std::string body;
  putU64(body, entry);
  putText(body, batchId);
  putU32(body, static_cast<std::uint32_t>(rowIds.size()));
  for (auto id : rowIds) putU64(body, static_cast<std::uint64_t>(id));
  if (!writeRecordLocked(kBatch, body)) return std::nullopt;
  unsettled_.insert(entry);
  return entry;
}

void MSChannelJournal::acknowledgeBatch(const std::string& batchId) {
  std::string body;
  putText(body, batchId);
  std::lock_guard lock(mutex_);
  writeRecordLocked(kAcknowledged, body);
}

std::size_t MSChannelJournal::unsettledCount() {
  std::lock_guard lock(mutex_);
  return unsettled_.size();
}
