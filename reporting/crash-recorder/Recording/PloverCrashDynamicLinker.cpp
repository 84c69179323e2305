#include "reporting/crash-recorder/Recording/PloverCrashDynamicLinker.h"

#include "crash-engine/async/HXCrashAsyncImageList.h"
#include "crash-engine/MSHXCrashReporter.h"
#include "crash-engine/symbols/MSHXCrashSymbolication.h"
#include "reporting/crash-recorder/Recording/PloverCrashMemory.h"

namespace {

MShxcrash_async_image_list* images() { return hxcrash_shared_image_list(); }

// Opens a reading window for the life of the object.
class ReadingWindow {
 public:
  ReadingWindow() : list_(images()) { MShxcrash_async_image_list_set_reading(list_, true); }
  ~ReadingWindow() { MShxcrash_async_image_list_set_reading(list_, false); }
  MShxcrash_async_macho* next(MShxcrash_async_macho* current) {
    return MShxcrash_async_image_list_next(list_, current);
  }
  MShxcrash_async_image_list* list() const { return list_; }

 private:
  MShxcrash_async_image_list* list_;
};

bool contains(const char* text, const char* part) {
  if (text == nullptr || part == nullptr) return false;
  for (const char* start = text; *start != '\0'; ++start) {
    const char* a = start;
    const char* b = part;
    while (*b != '\0' && *a == *b) {
      ++a;
      ++b;
    }
    if (*b == '\0') return true;
  }
  return *part == '\0';
}

bool equals(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return false;
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

MShxcrash_async_macho* imageNamed(ReadingWindow& window, const char* name, bool exact, int* indexOut) {
  if (name == nullptr) return nullptr;
  int index = 0;
  for (MShxcrash_async_macho* image = window.next(nullptr); image != nullptr; image = window.next(image), ++index) {
    if (exact ? equals(image->name, name) : contains(image->name, name)) {
      if (indexOut != nullptr) *indexOut = index;
      return image;
    }
  }
  return nullptr;
}

// The name handed out for the last lookup on this thread: the engine's name is valid only
// during its callback.
thread_local char t_symbolName[256];

struct FoundSymbol {
  hxcrash_vm_address_t address = 0;
  bool found = false;
};

void onSymbol(hxcrash_vm_address_t address, const char* name, void* context) {
  auto* found = static_cast<FoundSymbol*>(context);
  found->address = address;
  found->found = true;
  int i = 0;
  for (; name != nullptr && name[i] != '\0' && i < static_cast<int>(sizeof t_symbolName) - 1; ++i) {
    t_symbolName[i] = name[i];
  }
  t_symbolName[i] = '\0';
}

// The crash engine's symbol lookup: the image's prepared ELF symbols, or its .dynsym in memory.
void findSymbol(MShxcrash_async_macho* image, std::uintptr_t address, Dl_info* info) {
  MShxcrash_async_symbol_cache cache;
  MShxcrash_async_symbol_cache_init(&cache);
  FoundSymbol found;
  const hxcrash_error_t result =
      MShxcrash_async_find_symbol(image, MSHXCRASH_SYMBOL_STRATEGY_SYMBOL_TABLE, &cache, address, onSymbol, &found);
  MShxcrash_async_symbol_cache_free(&cache);
  if (result != hxcrash_error_none || !found.found) return;
  info->dli_saddr = reinterpret_cast<void*>(found.address);
  info->dli_sname = t_symbolName;
}

}  // namespace

int plovercrashdl_imageCount() {
  ReadingWindow window;
  int count = 0;
  for (MShxcrash_async_macho* image = window.next(nullptr); image != nullptr; image = window.next(image)) {
    ++count;
  }
  return count;
}

bool plovercrashdl_getBinaryImage(int index, PloverCrashBinaryImage* buffer) {
  if (index < 0 || buffer == nullptr) return false;
  ReadingWindow window;
  MShxcrash_async_macho* image = window.next(nullptr);
  for (int i = 0; image != nullptr && i < index; ++i) image = window.next(image);
  if (image == nullptr) return false;
  buffer->address = image->header_addr;
  buffer->vmAddress = image->text_vmaddr;
  buffer->size = image->text_size;
  buffer->name = image->name;
  buffer->uuid = image->has_uuid ? image->uuid : nullptr;
  buffer->cpuType = MShxcrash_async_macho_cpu_type(image);
  buffer->cpuSubType = MShxcrash_async_macho_cpu_subtype(image);
  buffer->majorVersion = 0;
  buffer->minorVersion = 0;
  buffer->revisionVersion = 0;
  return true;
}

int plovercrashdl_imageNamed(const char* imageName, bool exactMatch) {
  ReadingWindow window;
  int index = -1;
  imageNamed(window, imageName, exactMatch, &index);
  return index;
}

const std::uint8_t* plovercrashdl_imageUUID(const char* imageName, bool exactMatch) {
  ReadingWindow window;
  MShxcrash_async_macho* image = imageNamed(window, imageName, exactMatch, nullptr);
  return image != nullptr && image->has_uuid ? image->uuid : nullptr;
}

bool plovercrashdl_dladdr(std::uintptr_t address, Dl_info* info) {
  info->dli_fname = nullptr;
  info->dli_fbase = nullptr;
  info->dli_sname = nullptr;
  info->dli_saddr = nullptr;
  ReadingWindow window;
  MShxcrash_async_macho* image = MShxcrash_async_image_containing_address(window.list(), address);
  if (image == nullptr) return false;
  info->dli_fname = image->name;
  info->dli_fbase = reinterpret_cast<void*>(image->header_addr);
  findSymbol(image, address, info);
  return true;
}
