#include "crash-engine/HXCrashAsyncImageList.h"

#include "crash-engine/HXCrashAsyncDwarfImageCache.h"

#include "platform/darwin/Dyld.h"

#include <cstdlib>
#include <new>

using namespace vx;

using ImageNodeList = HXCrashAsyncLinkedList<MShxcrash_async_macho*>;

struct retired_record {
  MShxcrash_async_macho* image;
  retired_record* next;
};

void MShxcrash_nasync_image_list_init(MShxcrash_async_image_list* list, task_t task) {
  list->task = task;
  list->retired = nullptr;
  void* memory = std::malloc(sizeof(ImageNodeList));
  MSHXCF_ASSERT(memory != nullptr, "ptr != __null");
  list->list = new (memory) ImageNodeList();
  mach_port_mod_refs(mach_task_self(), task, MACH_PORT_RIGHT_SEND, 1);
}

void MShxcrash_nasync_image_list_free(MShxcrash_async_image_list* list) {
  MShxcrash_nasync_image_list_untrack(list);
  list->list->set_reading(true);
  for (ImageNodeList::node* item = list->list->next(nullptr); item != nullptr;
       item = list->list->next(item)) {
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
  mach_port_mod_refs(mach_task_self(), list->task, MACH_PORT_RIGHT_SEND, -1);
}

void MShxcrash_nasync_image_list_append(MShxcrash_async_image_list* list,
                                        hxcrash_vm_address_t header, const char* name) {
  auto* image = static_cast<MShxcrash_async_macho*>(std::calloc(1, sizeof(MShxcrash_async_macho)));
  if (image == nullptr) return;
  const hxcrash_error_t err = MShxcrash_nasync_macho_init(image, list->task, name, header);
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("Unexpected failure initializing Mach-O structure for %s: %d", name, err);
    std::free(image);
    return;
  }
  MShxcrash_nasync_dwarf_image_cache_attach(image);
  list->list->nasync_append(image);
}

void MShxcrash_nasync_image_list_remove(MShxcrash_async_image_list* list,
                                        hxcrash_vm_address_t header) {
  list->list->set_reading(true);
  for (ImageNodeList::node* item = list->list->next(nullptr); item != nullptr;
       item = list->list->next(item)) {
    if (item->value->header_addr == header) {
      MShxcrash_async_macho* image = item->value;
      list->list->nasync_remove_node(item);
      auto* record = static_cast<retired_record*>(std::malloc(sizeof(retired_record)));
      MSHXCF_ASSERT(record != nullptr, "ptr != __null");
      record->image = image;
      retired_record* head = __atomic_load_n(&list->retired, __ATOMIC_ACQUIRE);
      do {
        record->next = head;
      } while (!__atomic_compare_exchange_n(&list->retired, &head, record, true, __ATOMIC_ACQ_REL,
                                            __ATOMIC_ACQUIRE));
      list->list->set_reading(false);
      return;
    }
  }
  list->list->set_reading(false);
  MSHXCF_DEBUG("Can't find header addr=%llu in Mach-O image list.",
               static_cast<unsigned long long>(header));
}

namespace {

void imageAdded(void* context, std::uint64_t header, std::int64_t, const char* name) {
  MShxcrash_nasync_image_list_append(static_cast<MShxcrash_async_image_list*>(context), header,
                                     name);
}

void imageRemoved(void* context, std::uint64_t header, std::int64_t, const char*) {
  MShxcrash_nasync_image_list_remove(static_cast<MShxcrash_async_image_list*>(context), header);
}

}  // namespace

void MShxcrash_nasync_image_list_track(MShxcrash_async_image_list* list) {
  dyld_remove_observer(list);
  dyld_add_observer(list, imageAdded, imageRemoved);
}

void MShxcrash_nasync_image_list_untrack(MShxcrash_async_image_list* list) {
  dyld_remove_observer(list);
}

void MShxcrash_async_image_list_set_reading(MShxcrash_async_image_list* list, bool enable) {
  list->list->set_reading(enable);
}

MShxcrash_async_macho* MShxcrash_async_image_list_next(MShxcrash_async_image_list* list,
                                                       MShxcrash_async_macho* current) {
  ImageNodeList::node* node = nullptr;
  if (current == nullptr) {
    node = list->list->next(nullptr);
  } else {
    auto* currentNode = static_cast<ImageNodeList::node*>(
        __atomic_load_n(&current->list_node, __ATOMIC_ACQUIRE));
    if (currentNode == nullptr) {
      // Not reached by a walk yet: find it from the head.
      for (currentNode = list->list->next(nullptr);
           currentNode != nullptr && currentNode->value != current;
           currentNode = list->list->next(currentNode)) {
      }
      if (currentNode == nullptr) return nullptr;
    }
    node = list->list->next(currentNode);
  }
  if (node == nullptr) return nullptr;
  void* expected = nullptr;
  __atomic_compare_exchange_n(&node->value->list_node, &expected, static_cast<void*>(node), false,
                              __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return node->value;
}

MShxcrash_async_macho* MShxcrash_async_image_containing_address(MShxcrash_async_image_list* list,
                                                                hxcrash_vm_address_t address) {
  for (ImageNodeList::node* item = list->list->next(nullptr); item != nullptr;
       item = list->list->next(item)) {
    if (MShxcrash_async_macho_contains_address(item->value, address)) return item->value;
  }
  return nullptr;
}
