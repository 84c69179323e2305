#include "crash-engine/async/HXCrashAsyncImageList.h"

#include "crash-engine/dwarf/HXCrashAsyncDwarfImageCache.h"
#include "crash-engine/symbols/HXCrashAsyncSymbols.h"

#include "platform/darwin/Dyld.h"

#include <cstdlib>
#include <new>
#include <utility>

using namespace vx;

using ImageNodeList = HXCrashAsyncLinkedList<MShxcrash_async_macho*>;

struct retired_record {
  MShxcrash_async_macho* image;
  retired_record* next;
};

struct late_images {
  int adding;         // 1 while a thread fills records
  std::size_t count;  // records published (release order)
  MShxcrash_async_macho records[MSHXCRASH_LATE_IMAGE_COUNT];
  char names[MSHXCRASH_LATE_IMAGE_COUNT][256];
};

void MShxcrash_nasync_image_list_init(MShxcrash_async_image_list* list, task_t task) {
  list->task = task;
  list->retired = nullptr;
  list->late = static_cast<late_images*>(std::calloc(1, sizeof(late_images)));
  MSHXCF_ASSERT(list->late != nullptr, "ptr != __null");
  void* memory = std::malloc(sizeof(ImageNodeList));
  MSHXCF_ASSERT(memory != nullptr, "ptr != __null");
  list->list = new (memory) ImageNodeList();
  mach_port_mod_refs(mach_task_self(), task, MACH_PORT_RIGHT_SEND, 1);
}

void MShxcrash_nasync_image_list_free(MShxcrash_async_image_list* list) {
  MShxcrash_nasync_image_list_untrack(list);
  list->list->set_reading(true);
  for (ImageNodeList::node* item = list->list->next(nullptr); item != nullptr; item = list->list->next(item)) {
    MShxcrash_nasync_macho_free(item->value);
    std::free(item->value);
  }
  list->list->set_reading(false);
  for (retired_record* record = list->retired; record != nullptr;) {
    retired_record* following = record->next;
    MShxcrash_nasync_macho_free(record->image);
    std::free(record->image);
    std::free(record);
    record = following;
  }
  list->retired = nullptr;
  list->list->nasync_free_all_nodes();
  list->list->~ImageNodeList();
  std::free(list->list);
  list->list = nullptr;
  std::free(list->late);  // its records own nothing
  list->late = nullptr;
  mach_port_mod_refs(mach_task_self(), list->task, MACH_PORT_RIGHT_SEND, -1);
}

void MShxcrash_nasync_image_list_append(MShxcrash_async_image_list* list, hxcrash_vm_address_t header,
                                        const char* name) {
  auto* image = static_cast<MShxcrash_async_macho*>(std::calloc(1, sizeof(MShxcrash_async_macho)));
  if (image == nullptr) return;
  const hxcrash_error_t err = MShxcrash_nasync_macho_init(image, list->task, name, header);
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("Unexpected failure initializing Mach-O structure for %s: %d", name, err);
    std::free(image);
    return;
  }
  MShxcrash_nasync_dwarf_image_cache_attach(image);
  MShxcrash_nasync_elf_symbol_table_attach(image);
  list->list->nasync_append(image);
}

void MShxcrash_nasync_image_list_remove(MShxcrash_async_image_list* list, hxcrash_vm_address_t header) {
  list->list->set_reading(true);
  for (ImageNodeList::node* item = list->list->next(nullptr); item != nullptr; item = list->list->next(item)) {
    if (item->value->header_addr == header) {
      MShxcrash_async_macho* image = item->value;
      list->list->nasync_remove_node(item);
      auto* record = static_cast<retired_record*>(std::malloc(sizeof(retired_record)));
      MSHXCF_ASSERT(record != nullptr, "ptr != __null");
      record->image = image;
      retired_record* head = __atomic_load_n(&list->retired, __ATOMIC_ACQUIRE);
      do {
        record->next = head;
      } while (!__atomic_compare_exchange_n(&list->retired, &head, record, true, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE));
      list->list->set_reading(false);
      return;
    }
  }
  list->list->set_reading(false);
  MSHXCF_DEBUG("Can't find header addr=%llu in Mach-O image list.", static_cast<unsigned long long>(header));
}

namespace {

void imageAdded(void* context, std::uint64_t header, std::int64_t, const char* name) {
  MShxcrash_nasync_image_list_append(static_cast<MShxcrash_async_image_list*>(context), header, name);
}

void imageRemoved(void* context, std::uint64_t header, std::int64_t, const char*) {
  MShxcrash_nasync_image_list_remove(static_cast<MShxcrash_async_image_list*>(context), header);
}

}  // namespace

void MShxcrash_nasync_image_list_track(MShxcrash_async_image_list* list) {
  dyld_remove_observer(list);
  dyld_add_observer(list, imageAdded, imageRemoved);
}

void MShxcrash_nasync_image_list_untrack(MShxcrash_async_image_list* list) { dyld_remove_observer(list); }

namespace {

bool isLate(const MShxcrash_async_image_list* list, const MShxcrash_async_macho* image) {
  const late_images* late = list->late;
  return late != nullptr && image >= late->records && image < late->records + MSHXCRASH_LATE_IMAGE_COUNT;
}

std::size_t lateCount(const MShxcrash_async_image_list* list) {
  return list->late == nullptr ? 0 : __atomic_load_n(&list->late->count, __ATOMIC_ACQUIRE);
}

// Whether an ELF image loaded at `bias` is already known. An ELF image's slide is its load bias,
// so this is answered without reading the image: most of the linker's list is known, and reading
// each image's headers and sections at crash time cost tens of milliseconds.
bool holdsBias(MShxcrash_async_image_list* list, std::uint64_t bias) {
  for (ImageNodeList::node* item = list->list->next(nullptr); item != nullptr; item = list->list->next(item)) {
    const MShxcrash_async_macho* image = item->value;
    if (image->format == MShxcrash_async_image_format_elf && static_cast<std::uint64_t>(image->vmaddr_slide) == bias) {
      return true;
    }
  }
  return false;
}

bool listHolds(MShxcrash_async_image_list* list, hxcrash_vm_address_t header) {
  for (ImageNodeList::node* item = list->list->next(nullptr); item != nullptr; item = list->list->next(item)) {
    if (item->value->header_addr == header) return true;
  }
  return false;
}

// The first late record at or after index that the list itself does not hold (it may have
// learned of the image since), or null.
MShxcrash_async_macho* lateFrom(MShxcrash_async_image_list* list, std::size_t index) {
  const std::size_t count = lateCount(list);
  for (; index < count; ++index) {
    MShxcrash_async_macho* image = &list->late->records[index];
    if (!listHolds(list, image->header_addr)) return image;
  }
  return nullptr;
}

std::pair<std::int32_t, std::int32_t> machoCpuOfElfMachine(std::uint16_t machine) {
  switch (machine) {
    case 62:
      return {CPU_TYPE_X86_64, CPU_SUBTYPE_X86_64_ALL};  // EM_X86_64
    case 3:
      return {CPU_TYPE_X86, 3};  // EM_386
    case 183:
      return {0x0100000c, 0};  // EM_AARCH64
    default:
      return {-1, 0};
  }
}

struct LinkerWalk {
  MShxcrash_async_image_list* list;
  std::size_t added;
};

// Crash time. One entry of the dynamic linker's list: a record for an ELF image the list lacks.
bool addLinkerImage(void* context, std::uint64_t bias, std::uint64_t nameAddress) {
  auto* walk = static_cast<LinkerWalk*>(context);
  MShxcrash_async_image_list* list = walk->list;
  late_images* late = list->late;
  if (holdsBias(list, bias)) return true;
  ElfImageFacts facts;
  // A shared object's first segment starts at its load bias; the program itself (and anything
  // not laid out that way) is already on the list from the start.
  if (!elf_has_magic(list->task, bias) || elf_image_facts(list->task, bias, nullptr, &facts) != KERN_SUCCESS) {
    return true;
  }
  const hxcrash_vm_address_t header = facts.header;
  if (listHolds(list, header)) return true;
  const std::size_t count = late->count;
  for (std::size_t i = 0; i < count; ++i) {
    if (late->records[i].header_addr == header) return true;
  }
  if (count >= MSHXCRASH_LATE_IMAGE_COUNT) return false;

  char* name = late->names[count];
  std::size_t length = 0;
  // The name in pieces, so a short string near the end of a mapping still reads.
  while (nameAddress != 0 && length < sizeof late->names[count] - 1) {
    char piece[16];
    if (MShxcrash_async_read_addr(list->task, nameAddress + length, piece, sizeof piece) != KERN_SUCCESS) {
      break;
    }
    std::size_t i = 0;
    while (i < sizeof piece && piece[i] != '\0' && length < sizeof late->names[count] - 1) {
      name[length++] = piece[i++];
    }
    if (i < sizeof piece) break;
  }
  name[length] = '\0';

  MShxcrash_async_macho* image = &late->records[count];
  MShxcrash_async_memset(image, 0, sizeof *image);
  image->task = list->task;
  image->header_addr = header;
  image->name = name;
  image->format = MShxcrash_async_image_format_elf;
  MShxcrash_async_read_addr(list->task, header, &image->header.magic, sizeof image->header.magic);
  const auto cpu = machoCpuOfElfMachine(facts.machine);
  image->header.cputype = cpu.first;
  image->header.cpusubtype = cpu.second;
  image->header.filetype = facts.executable ? MH_EXECUTE : MH_DYLIB;
  image->header_size = facts.is64 ? 64 : 52;  // the ELF header
  image->m64 = facts.is64;
  image->byteorder = MShxcrash_async_byteorder_little_endian();
  image->text_vmaddr = facts.text_vmaddr;
  image->text_size = facts.text_size;
  image->vmaddr_slide = facts.slide;
  image->has_uuid = facts.has_uuid;
  MShxcrash_async_memcpy(image->uuid, facts.uuid, sizeof image->uuid);
  image->eh_frame_addr = facts.eh_frame;
  image->eh_frame_size = facts.eh_frame_size;
  image->eh_frame_hdr_addr = facts.eh_frame_hdr;
  image->eh_frame_hdr_size = facts.eh_frame_hdr_size;
  __atomic_store_n(&late->count, count + 1, __ATOMIC_RELEASE);
  ++walk->added;
  return true;
}

}  // namespace

std::size_t MShxcrash_async_image_list_add_linker_images(MShxcrash_async_image_list* list) {
  late_images* late = list->late;
  if (late == nullptr) return 0;
  int idle = 0;
  if (!__atomic_compare_exchange_n(&late->adding, &idle, 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
    return 0;
  }
  // The look starts afresh, so a library unloaded since the last one is not kept.
  __atomic_store_n(&late->count, 0, __ATOMIC_RELEASE);
  list->list->set_reading(true);
  LinkerWalk walk{list, 0};
  dyld_walk_linker_list(&walk, addLinkerImage, 4096);
  list->list->set_reading(false);
  __atomic_store_n(&late->adding, 0, __ATOMIC_RELEASE);
  return walk.added;
}

void MShxcrash_async_image_list_set_reading(MShxcrash_async_image_list* list, bool enable) {
  list->list->set_reading(enable);
}

MShxcrash_async_macho* MShxcrash_async_image_list_next(MShxcrash_async_image_list* list,
                                                       MShxcrash_async_macho* current) {
  if (current != nullptr && isLate(list, current)) {
    return lateFrom(list, static_cast<std::size_t>(current - list->late->records) + 1);
  }
  ImageNodeList::node* node = nullptr;
  if (current == nullptr) {
    node = list->list->next(nullptr);
  } else {
    auto* currentNode = static_cast<ImageNodeList::node*>(__atomic_load_n(&current->list_node, __ATOMIC_ACQUIRE));
    if (currentNode == nullptr) {
      // Not reached by a walk yet: find it from the head.
      for (currentNode = list->list->next(nullptr); currentNode != nullptr && currentNode->value != current;
           currentNode = list->list->next(currentNode)) {
      }
      if (currentNode == nullptr) return nullptr;
    }
    node = list->list->next(currentNode);
  }
  if (node == nullptr) return lateFrom(list, 0);
  void* expected = nullptr;
  __atomic_compare_exchange_n(&node->value->list_node, &expected, static_cast<void*>(node), false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return node->value;
}

MShxcrash_async_macho* MShxcrash_async_image_containing_address(MShxcrash_async_image_list* list,
                                                                hxcrash_vm_address_t address) {
  for (ImageNodeList::node* item = list->list->next(nullptr); item != nullptr; item = list->list->next(item)) {
    if (MShxcrash_async_macho_contains_address(item->value, address)) return item->value;
  }
  const std::size_t count = lateCount(list);
  for (std::size_t i = 0; i < count; ++i) {
    if (MShxcrash_async_macho_contains_address(&list->late->records[i], address)) {
      return &list->late->records[i];
    }
  }
  return nullptr;
}
