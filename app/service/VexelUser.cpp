#include "app/service/VexelUser.h"

#include "app/service/Helpers.h"

#include <charconv>
#include <string_view>

namespace Vexelworks {

namespace {

// The whole text as a base-10 integer with an optional sign; nothing else (no blanks, no
// trailing letters, nothing beyond 64 bits).
std::optional<std::int64_t> wholeDecimal(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;
  }
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<VexelUser> VexelUser::make(const nlohmann::json& json) {
  auto name = textMember(json, "full_name");
  if (!name || !json.is_object()) return std::nullopt;
  auto authUser = json.find("auth_user");
  if (authUser == json.end() || !authUser->is_object()) return std::nullopt;
  auto idText = textMember(*authUser, "id");
  if (!idText) return std::nullopt;
  auto id = wholeDecimal(*idText);
  if (!id) return std::nullopt;
  auto username = textMember(*authUser, "username");
  auto email = textMember(*authUser, "email");
  if (!username || !email) return std::nullopt;
  return VexelUser{*id, std::move(*name), std::move(*username), std::move(*email)};
}

}  // namespace Vexelworks
