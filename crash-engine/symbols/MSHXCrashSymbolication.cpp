#include "crash-engine/symbols/MSHXCrashSymbolication.h"

#include "crash-engine/symbols/HXCrashAsyncSymbols.h"

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

// "-[Class method]" or "+[Class method]" in the 256-byte buffer: class-name bytes up to position
// 254, the space only at 254 or below, method-name bytes up to 254, the "]" only after a last
// byte at 253 or below, then the NUL (at 255 at the latest).
void objcCandidate(bool isClassMethod, MShxcrash_async_macho_string* className,
                   MShxcrash_async_macho_string* methodName, hxcrash_vm_address_t imp, void* ctx) {
  auto* lookup = static_cast<LookupContext*>(ctx);
  std::size_t classLength = 0, methodLength = 0;
  const char* classText = nullptr;
  const char* methodText = nullptr;
  hxcrash_error_t err = MShxcrash_async_macho_string_get_length(className, &classLength);
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("hxcrash_async_macho_string_get_length(className) error %d", static_cast<int>(err));
    return;
  }
  err = MShxcrash_async_macho_string_get_pointer(className, &classText);
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("hxcrash_async_macho_string_get_pointer(className) error %d", static_cast<int>(err));
    return;
  }
  err = MShxcrash_async_macho_string_get_length(methodName, &methodLength);
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("hxcrash_async_macho_string_get_length(methodName) error %d", static_cast<int>(err));
    return;
  }
  err = MShxcrash_async_macho_string_get_pointer(methodName, &methodText);
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("hxcrash_async_macho_string_get_pointer(methodName) error %d", static_cast<int>(err));
    return;
  }
  if (lookup->found && imp < lookup->start) return;
  char* out = lookup->name;
  std::size_t at = 0;
  out[at++] = isClassMethod ? '+' : '-';
  out[at++] = '[';
  for (std::size_t i = 0; i < classLength && at <= 254; ++i) out[at++] = classText[i];
  if (at <= 254) out[at++] = ' ';
  for (std::size_t i = 0; i < methodLength && at <= 254; ++i) out[at++] = methodText[i];
  if (at - 1 <= 253) out[at++] = ']';
  out[at] = '\0';
  lookup->start = imp;
  lookup->found = true;
}

}  // namespace

hxcrash_error_t MShxcrash_async_symbol_cache_init(MShxcrash_async_symbol_cache* cache) {
  return MShxcrash_async_objc_cache_init(cache);
}

void MShxcrash_async_symbol_cache_free(MShxcrash_async_symbol_cache* cache) { MShxcrash_async_objc_cache_free(cache); }

hxcrash_error_t MShxcrash_async_find_symbol(MShxcrash_async_macho* image, std::int32_t strategy,
                                            MShxcrash_async_symbol_cache* cache, hxcrash_vm_address_t pc,
                                            MShxcrash_async_found_symbol_cb callback, void* context) {
  LookupContext lookup;
  lookup.name[0] = '\0';
  lookup.found = false;
  lookup.start = 0;

  hxcrash_error_t tableErr = hxcrash_error_not_found;
  if ((strategy & MSHXCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE) != 0) {
    tableErr = image->format == MShxcrash_async_image_format_elf
                   ? MShxcrash_async_elf_find_symbol_by_pc(image, pc, symbolTableCandidate, &lookup)
                   : MShxcrash_async_macho_find_symbol_by_pc(image, pc, symbolTableCandidate, &lookup);
  }
  hxcrash_error_t objcErr = hxcrash_error_not_found;
  if ((strategy & MSHXCRASH_SYMBOL_STRATEGY_OBJC) != 0) {
    objcErr = MShxcrash_async_objc_find_method(image, cache, pc, objcCandidate, &lookup);
  }

  if (tableErr != hxcrash_error_none && objcErr != hxcrash_error_none) {
    MSHXCF_DEBUG("Could not find symbol for PC %llx image %p", static_cast<unsigned long long>(pc),
                 static_cast<void*>(image));
    MSHXCF_DEBUG("pl_async_macho_find_symbol error %d, pl_async_objc_find_method error %d", static_cast<int>(tableErr),
                 static_cast<int>(objcErr));
    return tableErr;
  }
  if (!lookup.found) {
    MSHXCF_DEBUG(
        "Unexpected error occured in symbol lookup callbacks for PC %llximage %p; "
        "returning error",
        static_cast<unsigned long long>(pc), static_cast<void*>(image));
    return hxcrash_error_internal;
  }
  callback(lookup.start, lookup.name, context);
  return hxcrash_error_none;
}
