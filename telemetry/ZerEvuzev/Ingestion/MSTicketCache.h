// The process-wide map from ticket key to ticket: the analytics authentication provider writes
// it when a ticket arrives, the common-schema ingestion reads it while it builds a request. Both
// happen on different threads, so every member takes the cache's lock.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

class MSTicketCache {
 public:
  static MSTicketCache& sharedInstance();

  std::optional<std::string> ticketFor(const std::string& key);
  // std::nullopt removes the key.
  void setTicket(const std::optional<std::string>& ticket, const std::string& key);
  void clearCache();

 private:
  MSTicketCache() = default;
  std::mutex mutex_;
  std::map<std::string, std::string> tickets_;
};
