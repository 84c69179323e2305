// Service replies as the client reads them: the JSON decoder, the icon pages of every paged
// request (with the related-icons collection), the signed-in user, the token exchange, the
// minimum build and the search completions' shapes. Whatever the bytes, each reader gives a
// record or nothing.
#include "app/service/Auth/WebClient.h"
#include "app/service/Helpers.h"
#include "app/service/Icon.h"
#include "app/service/IconsOperations.h"
#include "app/service/VexelUser.h"
#include "tests/service/fuzz/ServiceFuzz.h"

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

namespace {

void checkIcons(const std::optional<std::vector<Vexelworks::IconPtr>>& icons) {
  if (!icons) return;
  for (const auto& icon : *icons) {
    if (!icon || !icon->creator) std::abort();  // a made icon is complete
    (void)icon->title();
  }
}

}  // namespace

VX_FUZZ_DEFINE(vx_fuzz_service_reply) {
  using namespace Vexelworks;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::uint8_t> bytes(data, data + size);
  (void)WebClient::parseExchangeReply(bytes, vx::WallTime(std::chrono::seconds(1'700'000'000)));

  const auto json = decodeJSON(text);
  if (!json) return 0;
  if (!json->is_object()) std::abort();  // only objects are handed on
  checkIcons(std::make_shared<FreeIconsOperation>(nullptr, 1)->parseResponse(*json));
  checkIcons(std::make_shared<RecentIconsOperation>(nullptr, 1)->parseResponse(*json));
  const auto related = std::make_shared<RelatedIconsOperation>(nullptr, 1);
  checkIcons(related->parseResponse(*json));
  (void)related->collection();
  if (auto user = json->find("user"); user != json->end()) (void)VexelUser::make(*user);
  (void)Icon::make(*json);
  (void)Collection::make(*json);
  return 0;
}
