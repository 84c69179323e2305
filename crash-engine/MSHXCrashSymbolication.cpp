#include "crash-engine/MSHXCrashSymbolication.h"

#include "crash-engine/HXCrashAsyncSymbols.h"

namespace {

// The best candidate so far, on the caller's stack.
struct LookupContext {
  char name[256];
  bool found;
  hxcrash_vm_address_t start;
};

// A candidate starting below the recorded one is ignored; an equal or later start replaces it.
void symbolTableCandidate(hxcrash_vm_address_t address, const char* name, void* ctx) {
  auto* lookup = static_cast<LookupContext*>(ctx);
  if (lookup->found && address < lookup->start) return;
  std::size_t length = 0;
  while (length < sizeof lookup->name - 1 && name[length] != '\0') {
    lookup->name[length] = name[length];
    ++length;
  }
  lookup->name[length] = '\0';
  lookup->start = address;
  lookup->found = true;
}

}  // namespace

hxcrash_error_t MShxcrash_async_symbol_cache_init(MShxcrash_async_symbol_cache* cache) {
  cache->last_image = nullptr;
  return hxcrash_error_none;
}

void MShxcrash_async_symbol_cache_free(MShxcrash_async_symbol_cache* cache) {
  cache->last_image = nullptr;
}

hxcrash_error_t MShxcrash_async_find_symbol(MShxcrash_async_macho* image, std::int32_t strategy,
                                            MShxcrash_async_symbol_cache* cache,
                                            hxcrash_vm_address_t pc,
                                            MShxcrash_async_found_symbol_cb callback,
                                            void* context) {
  LookupContext lookup;
  lookup.name[0] = '\0';
  lookup.found = false;
  lookup.start = 0;
  if (cache != nullptr) cache->last_image = image;

  hxcrash_error_t tableErr = hxcrash_error_not_found;
  if ((strategy & MSHXCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE) != 0) {
    tableErr = image->format == MShxcrash_async_image_format_elf
                   ? MShxcrash_async_elf_find_symbol_by_pc(image, pc, symbolTableCandidate, &lookup)
                   : MShxcrash_async_macho_find_symbol_by_pc(image, pc, symbolTableCandidate,
                                                             &lookup);
  }
  // No image of this process carries class metadata that could name a method.
  const hxcrash_error_t objcErr = hxcrash_error_not_found;

  if (tableErr != hxcrash_error_none && objcErr != hxcrash_error_none) {
    MSHXCF_DEBUG("Could not find symbol for PC %llx image %p", static_cast<unsigned long long>(pc),
                 static_cast<void*>(image));
    MSHXCF_DEBUG("pl_async_macho_find_symbol error %d, pl_async_objc_find_method error %d",
                 static_cast<int>(tableErr), static_cast<int>(objcErr));
    return tableErr;
  }
  if (!lookup.found) {
    MSHXCF_DEBUG("Unexpected error occured in symbol lookup callbacks for PC %llximage %p; "
                 "returning error",
                 static_cast<unsigned long long>(pc), static_cast<void*>(image));
    return hxcrash_error_internal;
  }
  callback(lookup.start, lookup.name, context);
  return hxcrash_error_none;
}
