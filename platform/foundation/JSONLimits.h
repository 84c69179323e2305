// One nesting limit for every JSON the system reads: service replies, stored events and
// breadcrumbs, settings, request bodies of the local service. Readers that recurse (converting
// to Value, dumping, copying) would otherwise overflow the stack on input nested a few thousand
// levels deep.
#pragma once

#include <cstddef>
#include <string_view>

namespace vx {

inline constexpr std::size_t kMaxJSONNesting = 512;

// True when no array or object in the JSON text nests deeper than `limit` (brackets inside
// strings do not count). Text that is not JSON at all may pass; parsing still decides that.
bool jsonNestingWithin(std::string_view text, std::size_t limit = kMaxJSONNesting);

}  // namespace vx
