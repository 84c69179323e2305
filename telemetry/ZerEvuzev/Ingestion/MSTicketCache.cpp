#include "telemetry/ZerEvuzev/Ingestion/MSTicketCache.h"

MSTicketCache& MSTicketCache::sharedInstance() {
  static MSTicketCache* cache = new MSTicketCache();  // never destroyed: read until the process ends
  return *cache;
}

std::optional<std::string> MSTicketCache::ticketFor(const std::string& key) {
  std::lock_guard lock(mutex_);
  const auto it = tickets_.find(key);
  if (it == tickets_.end()) return std::nullopt;
  return it->second;
}

void MSTicketCache::setTicket(const std::optional<std::string>& ticket, const std::string& key) {
  std::lock_guard lock(mutex_);
  if (ticket) {
    tickets_[key] = *ticket;
  } else {
    tickets_.erase(key);
  }
}

void MSTicketCache::clearCache() {
  std::lock_guard lock(mutex_);
  tickets_.clear();
}
