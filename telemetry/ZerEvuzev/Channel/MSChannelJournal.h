// The channel unit's write-ahead journal, a file beside the log database. Enqueueing returns
// before the group's queue stores the log, and a sent batch is deleted only once its answer has
// hopped back onto that queue; a process killed in either gap would lose a log or send a
// delivered batch again. The journal closes both gaps:
//
// - an enqueued log is appended (archive, flags, target tokens) on the caller's thread; the queue
//   marks the entry "saving" before it saves and "settled" after;
// - a batch is recorded with its row ids before it is sent, marked "acknowledged" the moment a
//   200 arrives (on the sender's thread), and settled once its rows are deleted.
//
// Each record is one write() to the page cache, never flushed to the disk: a killed process
// loses nothing that was written (a power cut may). When every entry is settled the file is cut
// back to empty. At the next start recover() turns what is left into work: logs never stored
// (an entry marked "saving" counts as stored when the store holds its very archive) and rows of
// acknowledged batches to delete. Records carry a checksum; a torn last record is ignored.
#pragma once

#include "telemetry/ZerEvuzev/Model/MSAbstractLog.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

class MSChannelJournal {
 public:
  // A log the previous run enqueued and never stored, re-entered under a new entry.
  struct PendingLog {
    std::uint64_t entry = 0;
    std::uint64_t flags = 0;
    MSLogPtr log;
  };
  struct Recovery {
    std::vector<PendingLog> logs;
    std::vector<std::int64_t> rowIdsToDelete;  // rows of batches the service acknowledged
  };

  // Opens (creating) the file; nullptr when it cannot be opened (error line) or another journal
  // of this process has it open (warning: a second unit of the same group id keeps none).
  static std::unique_ptr<MSChannelJournal> open(const std::filesystem::path& path);
  ~MSChannelJournal();
  MSChannelJournal(const MSChannelJournal&) = delete;
  MSChannelJournal& operator=(const MSChannelJournal&) = delete;

  // Reads what a previous run left and starts a new file holding only its unstored logs.
  // `alreadyStored(archive)` answers whether the store holds a log with that archive; it is asked
  // only for logs whose save had begun. Call once, before any other operation.
  Recovery recover(const std::function<bool(const vx::Bytes& archive)>& alreadyStored);

  // Any thread. The entry of the log; std::nullopt when it could not be written (error line;
  // the log then goes on in memory only).
  std::optional<std::uint64_t> appendLog(const MSAbstractLog& log, std::uint64_t flags);
  // The queue, just before the store is asked to save the entry's log.
  void markSaving(std::uint64_t entry);
  // The entry is stored, dropped or deleted: it needs nothing more.
  void settle(std::uint64_t entry);
  // The queue, before the batch is sent. std::nullopt when it could not be written.
  std::optional<std::uint64_t> appendBatch(const std::string& batchId, const std::vector<std::int64_t>& rowIds);
  // Any thread: the service answered 200 for the batch.
  void acknowledgeBatch(const std::string& batchId);

  const std::filesystem::path& path() const { return path_; }
  // Entries not settled yet.
  std::size_t unsettledCount();

 private:
  MSChannelJournal(std::filesystem::path path, int fd);
  bool writeRecordLocked(char type, const std::string& body);

  std::filesystem::path path_;
  int fd_;
  std::mutex mutex_;
  std::uint64_t nextEntry_ = 1;
  std::set<std::uint64_t> unsettled_;
};
