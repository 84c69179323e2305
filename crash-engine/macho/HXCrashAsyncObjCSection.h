// Method names from a Mach-O image's Objective-C 2 class metadata: the class list
// (__objc_classlist) and category list (__objc_catlist) of the image's data segments, each
// class's read-only data and method lists, its metaclass's class methods and the categories'
// methods. Used by symbolication to name a pc as "-[Class method]" or "+[Class method]".
//
// Only 64-bit images are read. The lists are mapped once per image into the cache; classes,
// read-only data and method lists are read through checked copies of task memory. A class the
// runtime has not realized (its class data lacks the realized flag) is skipped with its
// metaclass: it names nothing, and the classes around it still do. No image of a Linux process
// carries this metadata; Mach-O images placed in memory do (tests, tools).
//
// Everything here is safe at crash time: no heap allocation, no locks, no library string
// functions.
#pragma once

#include "crash-engine/macho/HXCrashAsyncMachOImage.h"

#include <cstdint>

// What one report's lookups share: the mapped lists of the latest image asked for.
struct MShxcrash_async_objc_cache {
  MShxcrash_async_macho* last_image;
  bool class_list_mapped;
  hxcrash_async_mobject class_list;
  bool cat_list_mapped;
  hxcrash_async_mobject cat_list;
};

// Always hxcrash_error_none.
hxcrash_error_t MShxcrash_async_objc_cache_init(MShxcrash_async_objc_cache* cache);
// Releases the mappings.
void MShxcrash_async_objc_cache_free(MShxcrash_async_objc_cache* cache);

// Called once with the method whose implementation starts closest below pc: whether it is a
// class method, the class and method names (strings in task memory, loaded on first use; valid
// during the call) and the implementation's address.
typedef void (*MShxcrash_async_objc_found_method_cb)(bool is_class_method, MShxcrash_async_macho_string* class_name,
                                                     MShxcrash_async_macho_string* method_name,
                                                     hxcrash_vm_address_t imp, void* context);

// Crash time. hxcrash_error_not_found when the image has no class list (ELF images included) or
// no method starts at or below pc; hxcrash_error_access_denied without a cache;
// hxcrash_error_invalid_data (logged) for metadata that cannot be read.
hxcrash_error_t MShxcrash_async_objc_find_method(MShxcrash_async_macho* image, MShxcrash_async_objc_cache* cache,
                                                 hxcrash_vm_address_t pc, MShxcrash_async_objc_found_method_cb callback,
                                                 void* context);

// True only for arm64 (CPU type 0x100000c), whose class isa may carry bits beside the pointer.
bool MShxcrash_async_objc_supports_nonptr_isa(std::uint32_t cpu_type);

// The bits of a non-pointer isa that hold the class address.
extern std::uint64_t MSHXCRASH_ASYNC_OBJC_ISA_NONPTR_CLASS_MASK;
