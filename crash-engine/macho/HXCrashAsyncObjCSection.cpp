#include "crash-engine/macho/HXCrashAsyncObjCSection.h"

std::uint64_t MSHXCRASH_ASYNC_OBJC_ISA_NONPTR_CLASS_MASK = 0x1FFFFFFF8ull;

namespace {

constexpr std::uint32_t kRealized = 1u << 31;
// More methods than this in one list is damage, not a class.
constexpr std::uint32_t kMaxMethods = 1u << 16;

struct Class64 {
  std::uint64_t isa, superclass, cache, vtable, data;
};
struct ClassRW64 {
  std::uint32_t flags, version;
  std::uint64_t ro;
};
struct ClassRO64 {
  std::uint32_t flags, instance_start, instance_size, reserved;
  std::uint64_t ivar_layout, name, base_methods, base_protocols, ivars, weak_ivar_layout, base_properties;
};
struct Category64 {
  std::uint64_t name, cls, instance_methods, class_methods, protocols, instance_properties;
};
struct Method64 {
  std::uint64_t name, types, imp;
};
static_assert(sizeof(Class64) == 40 && sizeof(ClassRO64) == 72 && sizeof(Category64) == 48);

// A method seen by a walk: names as task addresses, turned into strings only when wanted.
typedef hxcrash_error_t (*Visitor)(bool is_class_method, hxcrash_vm_address_t class_name,
                                   hxcrash_vm_address_t method_name, std::uint64_t imp, void* context);

template <typename T>
hxcrash_error_t readTask(MShxcrash_async_macho* image, hxcrash_vm_address_t address, T* out) {
  const hxcrash_error_t err = MShxcrash_async_task_memcpy(image->task, address, 0, out, sizeof *out);
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("hxcrash_async_task_memcpy at 0x%llx error %d", static_cast<unsigned long long>(address),
                 static_cast<int>(err));
  }
  return err;
}

std::uint64_t swap64(MShxcrash_async_macho* image, std::uint64_t v) { return image->byteorder->swap64(v); }
std::uint32_t swap32(MShxcrash_async_macho* image, std::uint32_t v) { return image->byteorder->swap32(v); }

// The read-only data of a realized class; hxcrash_error_not_found for one not realized.
hxcrash_error_t classReadOnly(MShxcrash_async_macho* image, const Class64& cls, ClassRO64* ro) {
  const hxcrash_vm_address_t dataAddress = swap64(image, cls.data) & ~std::uint64_t{3};
  ClassRW64 rw;
  hxcrash_error_t err = readTask(image, dataAddress, &rw);
  if (err != hxcrash_error_none) return err;
  if ((swap32(image, rw.flags) & kRealized) == 0) return hxcrash_error_not_found;
  err = readTask(image, swap64(image, rw.ro), ro);
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("Failed to read validated class_ro data at 0x%llx",
                 static_cast<unsigned long long>(swap64(image, rw.ro)));
  }
  return err;
}

hxcrash_error_t walkMethodList(MShxcrash_async_macho* image, hxcrash_vm_address_t list, hxcrash_vm_address_t className,
                               bool isClassMethod, Visitor visit, void* context) {
  if (list == 0) return hxcrash_error_none;
  std::uint32_t header[2];
  hxcrash_error_t err = MShxcrash_async_task_memcpy(image->task, list, 0, header, sizeof header);
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("hxcrash_async_task_memcpy failed to read methods pointer 0x%llx",
                 static_cast<unsigned long long>(list));
    return hxcrash_error_invalid_data;
  }
  const std::uint32_t entsize = swap32(image, header[0]) & ~3u;
  const std::uint32_t count = swap32(image, header[1]);
  if (entsize < sizeof(Method64) || count > kMaxMethods) {
    MSHXCF_DEBUG("Method list at 0x%llx has entries of %u bytes, %u of them", static_cast<unsigned long long>(list),
                 entsize, count);
    return hxcrash_error_invalid_data;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    Method64 method;
    if (MShxcrash_async_task_memcpy(image->task, list + 8 + static_cast<std::uint64_t>(i) * entsize, 0, &method,
                                    sizeof method) != hxcrash_error_none) {
      MSHXCF_DEBUG("hxcrash_async_task_memcpy at 0x%llx length %llu returned NULL",
                   static_cast<unsigned long long>(list + 8),
                   static_cast<unsigned long long>(static_cast<std::uint64_t>(count) * entsize));
      return hxcrash_error_invalid_data;
    }
    err = visit(isClassMethod, className, swap64(image, method.name), swap64(image, method.imp), context);
    if (err != hxcrash_error_none) return err;
  }
  return hxcrash_error_none;
}

// One class (or metaclass): hxcrash_error_not_found when it is not realized.
hxcrash_error_t walkClass(MShxcrash_async_macho* image, hxcrash_vm_address_t address, bool isClassMethod, Class64* cls,
                          Visitor visit, void* context) {
  hxcrash_error_t err = readTask(image, address, cls);
  if (err != hxcrash_error_none) return hxcrash_error_invalid_data;
  ClassRO64 ro;
  err = classReadOnly(image, *cls, &ro);
  if (err != hxcrash_error_none) return err;
  return walkMethodList(image, swap64(image, ro.base_methods), swap64(image, ro.name), isClassMethod, visit, context);
}

hxcrash_error_t mapList(MShxcrash_async_macho* image, const char* section, hxcrash_async_mobject* mobj) {
  // Newer linkers put the lists in __DATA_CONST.
  hxcrash_error_t err = MShxcrash_async_macho_map_section(image, "__DATA", section, mobj);
  if (err == hxcrash_error_not_found) {
    err = MShxcrash_async_macho_map_section(image, "__DATA_CONST", section, mobj);
  }
  if (err != hxcrash_error_none && err != hxcrash_error_not_found) {
    MSHXCF_DEBUG("pl_async_macho_map_section(%s, %s, %s, %p) failure %d", image->name, "__DATA", section,
                 static_cast<void*>(mobj), static_cast<int>(err));
  }
  return err;
}

void releaseLists(MShxcrash_async_objc_cache* cache) {
  if (cache->class_list_mapped) MShxcrash_async_mobject_free(&cache->class_list);
  if (cache->cat_list_mapped) MShxcrash_async_mobject_free(&cache->cat_list);
  cache->class_list_mapped = false;
  cache->cat_list_mapped = false;
  cache->last_image = nullptr;
}

// Walks every method of the image's classes, metaclasses and categories.
hxcrash_error_t parse(MShxcrash_async_macho* image, MShxcrash_async_objc_cache* cache, Visitor visit, void* context) {
  if (cache == nullptr) return hxcrash_error_access_denied;
  if (image->format != MShxcrash_async_image_format_macho || !image->m64) {
    return hxcrash_error_not_found;
  }
  if (cache->last_image != image) {
    releaseLists(cache);
    const hxcrash_error_t err = mapList(image, "__objc_classlist", &cache->class_list);
    if (err != hxcrash_error_none) {
      if (err != hxcrash_error_not_found) {
        MSHXCF_DEBUG("Unable to map relevant sections for ObjC2 class parsing, error %d", static_cast<int>(err));
      }
      return err;
    }
    cache->class_list_mapped = true;
    // An image without categories has no category list: nothing to walk there.
    cache->cat_list_mapped = mapList(image, "__objc_catlist", &cache->cat_list) == hxcrash_error_none;
    cache->last_image = image;
  }
  const bool nonPtrIsa =
      MShxcrash_async_objc_supports_nonptr_isa(static_cast<std::uint32_t>(MShxcrash_async_macho_cpu_type(image)));

  const hxcrash_async_mobject* list = &cache->class_list;
  const std::uint64_t classes = list->length / 8;
  for (std::uint64_t i = 0; i < classes; ++i) {
    std::uint64_t address = 0;
    if (MShxcrash_async_mobject_read_uint64(list, image->byteorder, list->task_address,
                                            static_cast<hxcrash_vm_off_t>(i * 8), &address) != hxcrash_error_none) {
      return hxcrash_error_invalid_data;
    }
    Class64 cls;
    hxcrash_error_t err = walkClass(image, address, false, &cls, visit, context);
    // A class not realized names nothing; the walk goes on with the next one.
    if (err == hxcrash_error_not_found) continue;
    if (err != hxcrash_error_none) {
      MSHXCF_DEBUG("pl_async_objc_parse_objc2_class error %d while parsing class", static_cast<int>(err));
      return err;
    }
    std::uint64_t isa = swap64(image, cls.isa);
    if (nonPtrIsa && (isa & 1) != 0) isa &= MSHXCRASH_ASYNC_OBJC_ISA_NONPTR_CLASS_MASK;
    Class64 meta;
    err = walkClass(image, isa, true, &meta, visit, context);
    if (err != hxcrash_error_none && err != hxcrash_error_not_found) {
      MSHXCF_DEBUG("pl_async_objc_parse_objc2_class error %d while parsing metaclass", static_cast<int>(err));
      return err;
    }
  }

  if (cache->cat_list_mapped) {
    const hxcrash_async_mobject* cats = &cache->cat_list;
    const std::uint64_t count = cats->length / 8;
    for (std::uint64_t i = 0; i < count; ++i) {
      std::uint64_t address = 0;
      if (MShxcrash_async_mobject_read_uint64(cats, image->byteorder, cats->task_address,
                                              static_cast<hxcrash_vm_off_t>(i * 8), &address) != hxcrash_error_none) {
        return hxcrash_error_invalid_data;
      }
      Category64 category;
      if (readTask(image, address, &category) != hxcrash_error_none) {
        return hxcrash_error_invalid_data;
      }
      // The category's class (another image's class is bound at load time and may be absent).
      const std::uint64_t clsAddress = swap64(image, category.cls);
      if (clsAddress == 0) continue;
      Class64 cls;
      if (readTask(image, clsAddress, &cls) != hxcrash_error_none) {
        MSHXCF_DEBUG("hxcrash_async_task_memcpy() for pointer %llx returned NULL",
                     static_cast<unsigned long long>(clsAddress));
        return hxcrash_error_invalid_data;
      }
      ClassRO64 ro;
      hxcrash_error_t err = classReadOnly(image, cls, &ro);
      if (err == hxcrash_error_not_found) continue;  // its class is not realized
      if (err != hxcrash_error_none) return err;
      const hxcrash_vm_address_t className = swap64(image, ro.name);
      err = walkMethodList(image, swap64(image, category.instance_methods), className, false, visit, context);
      if (err == hxcrash_error_none) {
        err = walkMethodList(image, swap64(image, category.class_methods), className, true, visit, context);
      }
      if (err != hxcrash_error_none) {
        MSHXCF_DEBUG("pl_async_objc_parse_objc2_class error %d while parsing class", static_cast<int>(err));
        return err;
      }
    }
  }
  return hxcrash_error_none;
}

struct BestImp {
  std::uint64_t pc;
  bool found;
  std::uint64_t imp;
};

hxcrash_error_t keepBest(bool, hxcrash_vm_address_t, hxcrash_vm_address_t, std::uint64_t imp, void* context) {
  auto* best = static_cast<BestImp*>(context);
  if (imp <= best->pc && (!best->found || imp > best->imp)) {
    best->imp = imp;
    best->found = true;
  }
  return hxcrash_error_none;
}

struct Report {
  MShxcrash_async_macho* image;
  std::uint64_t imp;
  bool done;
  MShxcrash_async_objc_found_method_cb callback;
  void* context;
};

hxcrash_error_t reportMatch(bool isClassMethod, hxcrash_vm_address_t className, hxcrash_vm_address_t methodName,
                            std::uint64_t imp, void* context) {
  auto* report = static_cast<Report*>(context);
  if (report->done || imp != report->imp) return hxcrash_error_none;
  report->done = true;
  MShxcrash_async_macho_string classString;
  MShxcrash_async_macho_string methodString;
  MShxcrash_async_macho_string_init(&classString, report->image, className);
  MShxcrash_async_macho_string_init(&methodString, report->image, methodName);
  report->callback(isClassMethod, &classString, &methodString, imp, report->context);
  MShxcrash_async_macho_string_free(&classString);
  MShxcrash_async_macho_string_free(&methodString);
  return hxcrash_error_none;
}

}  // namespace

hxcrash_error_t MShxcrash_async_objc_cache_init(MShxcrash_async_objc_cache* cache) {
  MShxcrash_async_memset(cache, 0, sizeof *cache);
  return hxcrash_error_none;
}

void MShxcrash_async_objc_cache_free(MShxcrash_async_objc_cache* cache) { releaseLists(cache); }

bool MShxcrash_async_objc_supports_nonptr_isa(std::uint32_t cpu_type) { return cpu_type == 0x100000c; }

hxcrash_error_t MShxcrash_async_objc_find_method(MShxcrash_async_macho* image, MShxcrash_async_objc_cache* cache,
                                                 hxcrash_vm_address_t pc, MShxcrash_async_objc_found_method_cb callback,
                                                 void* context) {
  BestImp best{pc, false, 0};
  hxcrash_error_t err = parse(image, cache, keepBest, &best);
  if (err == hxcrash_error_not_found || (err == hxcrash_error_none && !best.found)) {
    return hxcrash_error_not_found;
  }
  if (err != hxcrash_error_none) {
    MSHXCF_DEBUG("pl_async_objc_parse(%p, 0x%llx, %p, %p) failure %d", static_cast<void*>(image),
                 static_cast<unsigned long long>(pc), reinterpret_cast<void*>(callback), context,
                 static_cast<int>(err));
    return err;
  }
  Report report{image, best.imp, false, callback, context};
  err = parse(image, cache, reportMatch, &report);
  if (err == hxcrash_error_none && !report.done) return hxcrash_error_not_found;
  return err;
}
