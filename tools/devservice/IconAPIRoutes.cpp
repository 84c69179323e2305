// The icon service API, served from the sample catalogue: icon pages (starter set, recent uploads,
// search, collection, creator, related icons), search completions, the user record and the usage
// record. Every request must carry a valid OAuth 1.0 HMAC-SHA1 signature made with the consumer
// key pair and a token this service issued; a bad one gets 401.
#include "tools/devservice/DevService.h"
#include "tools/devservice/IconAPI.h"
#include "tools/devservice/WebSite.h"

#include "platform/foundation/URL.h"
#include "platform/security/Crypto.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <set>

namespace vx::devservice {

namespace {

std::mutex& tokenMutex() {
  static std::mutex mutex;
  return mutex;
}

// token key -> (token secret, user index)
std::map<std::string, std::pair<std::string, std::size_t>>& tokens() {
  static std::map<std::string, std::pair<std::string, std::size_t>> table = {
      {std::string(kDemoTokenKey), {std::string(kDemoTokenSecret), 0}}};
  return table;
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string encode(std::string_view text) { return URL::percentEncode(text, PercentEncoding::Unreserved); }

// "OAuth a="1", b="2"" -> {a: 1, b: 2} (values decoded).
std::map<std::string, std::string> parseAuthorization(const std::string& header) {
  std::map<std::string, std::string> result;
  if (header.rfind("OAuth ", 0) != 0) return result;
  std::size_t i = 6;
  while (i < header.size()) {
    while (i < header.size() && (header[i] == ' ' || header[i] == ',')) ++i;
    const auto eq = header.find('=', i);
    if (eq == std::string::npos) break;
    const std::string key = header.substr(i, eq - i);
    std::size_t start = eq + 1;
    std::string value;
    if (start < header.size() && header[start] == '"') {
      const auto end = header.find('"', start + 1);
      if (end == std::string::npos) break;
      value = header.substr(start + 1, end - start - 1);
      i = end + 1;
    } else {
      auto end = header.find(',', start);
      if (end == std::string::npos) end = header.size();
      value = header.substr(start, end - start);
      i = end;
    }
    result[key] = URL::percentDecode(value).value_or(value);
  }
  return result;
}

// The host part of the base string as the OAuth rules want it: lower case, and without the
// scheme's default port, whatever the client put in its "Host" header.
std::string normalisedHost(std::string host, std::string_view scheme) {
  host = lower(std::move(host));
  const std::string defaultPort = scheme == "https" ? ":443" : ":80";
  if (host.size() > defaultPort.size() &&
      host.compare(host.size() - defaultPort.size(), defaultPort.size(), defaultPort) == 0) {
    host.resize(host.size() - defaultPort.size());
  }
  return host;
}

// Nonces seen within the timestamp window, per consumer key and token, as a real service keeps
// them to refuse replays. Entries older than the window are dropped as new ones arrive, so the
// table never grows past the requests of one window.
class NonceLedger {
 public:
  // False when the nonce was already used within the window.
  bool record(const std::string& key, std::chrono::system_clock::time_point now) {
    std::lock_guard lock(mutex_);
    while (!order_.empty() && now - order_.front().second > kOAuthTimestampWindow) {
      if (auto it = seen_.find(order_.front().first); it != seen_.end() && it->second == order_.front().second) {
        seen_.erase(it);
      }
      order_.pop_front();
    }
    if (auto it = seen_.find(key); it != seen_.end() && now - it->second <= kOAuthTimestampWindow) {
      return false;
    }
    seen_[key] = now;
    order_.emplace_back(key, now);
    return true;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::chrono::system_clock::time_point> seen_;
  std::deque<std::pair<std::string, std::chrono::system_clock::time_point>> order_;
};

NonceLedger& nonceLedger() {
  static NonceLedger ledger;
  return ledger;
}

}  // namespace

std::optional<std::string> checkOAuthSignature(const Request& request, std::chrono::system_clock::duration clockLead) {
  auto oauth = parseAuthorization(request.header("Authorization").value_or(""));
  if (oauth.empty()) return "missing OAuth authorization";
  if (oauth["oauth_signature_method"] != "HMAC-SHA1") return "unsupported signature method";
  if (oauth["oauth_consumer_key"] != kConsumerKey) return "unknown consumer key";
  std::string tokenSecret;
  {
    std::lock_guard lock(tokenMutex());
    auto it = tokens().find(oauth["oauth_token"]);
    if (it == tokens().end()) return "unknown token";
    tokenSecret = it->second.first;
  }
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const auto& [name, value] : request.queryItems) pairs.emplace_back(encode(name), encode(value));
  const auto contentType = lower(request.header("Content-Type").value_or(""));
  if (contentType.rfind("application/x-www-form-urlencoded", 0) == 0) {
    auto items = URL::parseFormURLEncoded(request.body);
    if (!items) return "malformed form body";
    for (const auto& item : *items) pairs.emplace_back(encode(item.name), encode(item.value.value_or("")));
  }
  for (const auto& [name, value] : oauth) {
    if (name == "oauth_signature" || name == "realm") continue;
    pairs.emplace_back(encode(name), encode(value));
  }
  std::sort(pairs.begin(), pairs.end());
  std::string parameterText;
  for (const auto& [name, value] : pairs) {
    if (!parameterText.empty()) parameterText += "&";
    parameterText += name + "=" + value;
  }
  const std::string host = normalisedHost(request.header("Host").value_or("127.0.0.1"), "http");
  const std::string base = request.method + "&" + encode("http://" + host + request.path) + "&" + encode(parameterText);
  const std::string key = encode(kConsumerSecret) + "&" + encode(tokenSecret);
  const auto expected = base64Encode(hmacSha1(std::string_view(key), std::string_view(base)));
  if (expected != oauth["oauth_signature"]) return "signature does not match";

  // A genuine signature is still refused when it is stale or replayed, judged by the service's
  // own clock (which a skew_date fault moves).
  std::int64_t timestamp = 0;
  const auto& stamp = oauth["oauth_timestamp"];
  const auto parsed = std::from_chars(stamp.data(), stamp.data() + stamp.size(), timestamp);
  if (stamp.empty() || parsed.ec != std::errc() || parsed.ptr != stamp.data() + stamp.size()) {
    return "malformed timestamp";
  }
  const auto now =
      std::chrono::duration_cast<std::chrono::seconds>((request.serviceTime + clockLead).time_since_epoch()).count();
  const auto window = std::chrono::duration_cast<std::chrono::seconds>(kOAuthTimestampWindow).count();
  if (timestamp < now - window || timestamp > now + window) return "timestamp out of range";
  if (oauth["oauth_nonce"].empty()) return "missing nonce";
  const std::string nonceKey = oauth["oauth_consumer_key"] + "&" + oauth["oauth_token"] + "&" + oauth["oauth_nonce"];
  if (!nonceLedger().record(nonceKey, request.serviceTime)) return "nonce already used";
  return std::nullopt;
}

AccessTokenPair issueToken(std::size_t userIndex) {
  AccessTokenPair pair;
  pair.key = toHex(randomBytes(16).valueOr(Bytes(16, 7)));
  pair.secret = toHex(randomBytes(16).valueOr(Bytes(16, 9)));
  std::lock_guard lock(tokenMutex());
  tokens()[pair.key] = {pair.secret, userIndex};
  return pair;
}

namespace {

struct Catalog {
  nlohmann::json data;
  std::map<std::string, nlohmann::json> creators;
  std::map<std::string, nlohmann::json> collections;
  std::size_t pageSize = 24;

  static std::shared_ptr<Catalog> load(const std::filesystem::path& directory) {
    auto catalog = std::make_shared<Catalog>();
    std::ifstream in(directory / "catalog.json");
    catalog->data = nlohmann::json::parse(in, nullptr, false);
    if (catalog->data.is_discarded() || !catalog->data.is_object()) {
      catalog->data = nlohmann::json{{"icons", nlohmann::json::array()}};
      return catalog;
    }
    catalog->pageSize = catalog->data.value("page_size", 24);
    for (const auto& creator : catalog->data.value("creators", nlohmann::json::array())) {
      catalog->creators[creator.value("id", "")] = creator;
    }
    for (const auto& collection : catalog->data.value("collections", nlohmann::json::array())) {
      catalog->collections[collection.value("id", "")] = collection;
    }
    return catalog;
  }

  const nlohmann::json& icons() const { return data["icons"]; }

  nlohmann::json iconJSON(const nlohmann::json& icon, const DevService& service) const {
    nlohmann::json out = {{"id", icon.value("id", "")},
                          {"term", icon.value("term", "")},
                          {"term_slug", icon.value("term_slug", "")},
                          {"icon_url", service.url("/static/" + icon.value("file", ""))},
                          {"permalink", icon.value("permalink", "")},
                          {"uploader_id", icon.value("uploader_id", "")},
                          {"tags", icon.value("tags", nlohmann::json::array())}};
    if (auto it = creators.find(icon.value("uploader_id", "")); it != creators.end()) {
      out["uploader"] = {{"name", it->second.value("name", "")},
                         {"username", it->second.value("username", "")},
                         {"location", it->second.value("location", "")},
                         {"permalink", it->second.value("permalink", "")}};
    } else {
      out["uploader"] = nlohmann::json::object();
    }
    nlohmann::json collectionList = nlohmann::json::array();
    for (const auto& id : icon.value("collection_ids", nlohmann::json::array())) {
      if (auto it = collections.find(id.get<std::string>()); it != collections.end()) {
        collectionList.push_back({{"id", it->second["id"]}, {"name", it->second["name"]}});
      }
    }
    out["collection"] = collectionList;
    return out;
  }

  std::vector<nlohmann::json> select(const std::function<bool(const nlohmann::json&)>& keep) const {
    std::vector<nlohmann::json> selected;
    for (const auto& icon : icons()) {
      if (keep(icon)) selected.push_back(icon);
    }
    return selected;
  }
};

std::int64_t pageParameter(const Request& request) {
  const auto text = request.queryValue("page").value_or("1");
  try {
    return std::max<std::int64_t>(1, std::stoll(text));
  } catch (...) {
    return 1;
  }
}

// One page of `icons` under `member`, with "total" unless the list is unbounded.
void answerPage(const Catalog& catalog, const DevService& service, const Request& request, Response& response,
                const std::vector<nlohmann::json>& icons, const char* member, bool withTotal) {
  const auto page = static_cast<std::size_t>(pageParameter(request));
  nlohmann::json list = nlohmann::json::array();
  const std::size_t start = (page - 1) * catalog.pageSize;
  for (std::size_t i = start; i < icons.size() && i < start + catalog.pageSize; ++i) {
    list.push_back(catalog.iconJSON(icons[i], service));
  }
  nlohmann::json reply = {{member, list}};
  if (withTotal) reply["total"] = icons.size();
  response.setJSON(reply.dump());
}

bool containsText(const nlohmann::json& icon, const std::string& needle) {
  if (needle.empty()) return false;
  if (lower(icon.value("term", "")).find(needle) != std::string::npos) return true;
  if (lower(icon.value("term_slug", "")).find(needle) != std::string::npos) return true;
  for (const auto& tag : icon.value("tags", nlohmann::json::array())) {
    if (lower(tag.get<std::string>()) == needle) return true;
  }
  return false;
}

// A search matches words, as a real search does: every word of the query (split at blanks)
// must be found in the icon, in any order ("cup coffee" finds "coffee cup").
bool matchesQuery(const nlohmann::json& icon, const std::string& query) {
  std::vector<std::string> words;
  std::string word;
  for (char c : query) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  if (words.empty()) return false;
  return std::all_of(words.begin(), words.end(), [&icon](const std::string& w) { return containsText(icon, w); });
}

// Wraps a handler with the signature check. The service's clock is the web site's: a lead
// set there (WebSite::setClockLead) moves the timestamps this check accepts too.
Handler requireSignature(const DevService* service, Handler handler) {
  return [service, handler = std::move(handler)](const Request& request, Response& response) {
    // Looked up per request: the web site's route set may install its site after this one.
    const auto lead =
        std::chrono::duration_cast<std::chrono::system_clock::duration>(WebSite::of(*service)->clockLead());
    if (auto problem = checkOAuthSignature(request, lead)) {
      response.setJSON(nlohmann::json{{"error", *problem}}.dump(), 401);
      return;
    }
    handler(request, response);
  };
}

}  // namespace

DEVSERVICE_ROUTE_SET(iconAPI) {
  auto catalog = Catalog::load(service.dataDirectory());
  DevService* svc = &service;

  service.addRoute("GET", "/macos/icons", requireSignature(svc, [catalog, svc](const Request& r, Response& out) {
                     answerPage(*catalog, *svc, r, out, catalog->select([](const nlohmann::json&) { return true; }),
                                "icons", true);
                   }));

  service.addRoute("GET", "/icons/recent_uploads",
                   requireSignature(svc, [catalog, svc](const Request& r, Response& out) {
                     auto icons = catalog->select([](const nlohmann::json&) { return true; });
                     std::stable_sort(icons.begin(), icons.end(), [](const auto& a, const auto& b) {
                       return a.value("uploaded_at", "") > b.value("uploaded_at", "");
                     });
                     answerPage(*catalog, *svc, r, out, icons, "recent_uploads", false);
                   }));

  service.addRoute("GET", "/macos/search/icons", requireSignature(svc, [catalog, svc](const Request& r, Response& out) {
                     const auto query = lower(r.queryValue("query").value_or(""));
                     answerPage(*catalog, *svc, r, out,
                                catalog->select([&](const nlohmann::json& icon) { return matchesQuery(icon, query); }),
                                "icons", true);
                   }));

  service.addRoute("GET", "/macos/collection/([^/]+)/icons",
                   requireSignature(svc, [catalog, svc](const Request& r, Response& out) {
                     const auto id = r.pathMatches.at(1);
                     answerPage(*catalog, *svc, r, out, catalog->select([&](const nlohmann::json& icon) {
                       for (const auto& c : icon.value("collection_ids", nlohmann::json::array())) {
                         if (c == id) return true;
                       }
                       return false;
                     }),
                                "icons", true);
                   }));

  service.addRoute(
      "GET", "/macos/creator/([^/]+)/icons", requireSignature(svc, [catalog, svc](const Request& r, Response& out) {
        const auto id = r.pathMatches.at(1);
        answerPage(*catalog, *svc, r, out,
                   catalog->select([&](const nlohmann::json& icon) { return icon.value("uploader_id", "") == id; }),
                   "icons", true);
      }));

  service.addRoute("GET", "/icon/([0-9]+)/more-like-this",
                   requireSignature(svc, [catalog, svc](const Request& r, Response& out) {
                     const auto id = r.pathMatches.at(1);
                     std::size_t limit = 7;
                     try {
                       limit = std::stoul(r.queryValue("limit").value_or("7"));
                     } catch (...) {
                     }
                     const nlohmann::json* subject = nullptr;
                     for (const auto& icon : catalog->icons()) {
                       if (icon.value("id", "") == id) subject = &icon;
                     }
                     if (subject == nullptr) {
                       out.setJSON(R"({"error":"no such icon"})", 404);
                       return;
                     }
                     std::set<std::string> tags;
                     for (const auto& tag : subject->value("tags", nlohmann::json::array()))
                       tags.insert(tag.get<std::string>());
                     const auto subjectCollections = subject->value("collection_ids", nlohmann::json::array());
                     nlohmann::json list = nlohmann::json::array();
                     for (const auto& icon : catalog->icons()) {
                       if (list.size() >= limit) break;
                       if (icon.value("id", "") == id) continue;
                       bool related = false;
                       for (const auto& c : icon.value("collection_ids", nlohmann::json::array())) {
                         for (const auto& s : subjectCollections) related = related || c == s;
                       }
                       for (const auto& tag : icon.value("tags", nlohmann::json::array())) {
                         related = related || tags.count(tag.get<std::string>()) > 0;
                       }
                       if (related) list.push_back(catalog->iconJSON(icon, *svc));
                     }
                     nlohmann::json reply = {{"icons", list}};
                     if (!subjectCollections.empty()) {
                       if (auto it = catalog->collections.find(subjectCollections[0].get<std::string>());
                           it != catalog->collections.end()) {
                         reply["collection"] = {{"id", it->second["id"]}, {"name", it->second["name"]}};
                       }
                     }
                     out.setJSON(reply.dump());
                   }));

  service.addRoute("GET", "/search/autocomplete", requireSignature(svc, [catalog](const Request& r, Response& out) {
                     const auto query = lower(r.queryValue("query").value_or(""));
                     std::set<std::string> terms;
                     for (const auto& icon : catalog->icons()) {
                       const auto term = icon.value("term", "");
                       if (!query.empty() && lower(term).rfind(query, 0) == 0) terms.insert(term);
                     }
                     nlohmann::json suggestions = nlohmann::json::array();
                     for (const auto& term : terms) {
                       if (suggestions.size() >= 10) break;
                       suggestions.push_back(term);
                     }
                     out.setJSON(nlohmann::json{{"suggestions", suggestions}}.dump());
                   }));

  service.addRoute("GET", "/user", requireSignature(svc, [catalog](const Request& r, Response& out) {
                     std::size_t index = 0;
                     {
                       auto oauth = parseAuthorization(r.header("Authorization").value_or(""));
                       std::lock_guard lock(tokenMutex());
                       if (auto it = tokens().find(oauth["oauth_token"]); it != tokens().end())
                         index = it->second.second;
                     }
                     const auto users = catalog->data.value("users", nlohmann::json::array());
                     if (index >= users.size()) {
                       out.setJSON(R"({"error":"no such user"})", 404);
                       return;
                     }
                     out.setJSON(nlohmann::json{{"user", users[index]}}.dump());
                   }));

  service.addRoute("POST", "/icon/([0-9]+)/download/mac", requireSignature(svc, [](const Request& r, Response& out) {
                     auto items = URL::parseFormURLEncoded(r.body).value_or(std::vector<URLQueryItem>{});
                     nlohmann::json recorded = {{"icon_id", r.pathMatches.at(1)}};
                     for (const auto& item : items) recorded[item.name] = item.value.value_or("");
                     out.setJSON(nlohmann::json{{"recorded", recorded}}.dump());
                   }));
}

}  // namespace vx::devservice
