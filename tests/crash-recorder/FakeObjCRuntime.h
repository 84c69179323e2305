// Objective-C classes and objects laid out in memory the way the x86-64 runtime lays them out,
// for the introspection and zombie tests: this system has no such runtime to make them. The
// arena ends in a PROT_NONE page, so layouts can be placed to run into it.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

class FakeObjCRuntime {
 public:
  static constexpr std::size_t kArenaSize = 1 << 20;

  struct Ivar {
    std::string name;
    std::string type;
    std::int32_t offset;
    std::uint32_t size;
  };

  FakeObjCRuntime() {
    page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    arena_ = static_cast<char*>(
        mmap(nullptr, kArenaSize + page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(arena_ + kArenaSize, page_, PROT_NONE);
    rootClass_ = makeClass("NSObject", nullptr, {}, kRoot);
  }
  ~FakeObjCRuntime() { munmap(arena_, kArenaSize + page_); }
  FakeObjCRuntime(const FakeObjCRuntime&) = delete;
  FakeObjCRuntime& operator=(const FakeObjCRuntime&) = delete;

  static constexpr std::uint32_t kMeta = 1;
  static constexpr std::uint32_t kRoot = 2;

  void* allocate(std::size_t size) {
    used_ = (used_ + 15) & ~std::size_t{15};
    if (used_ + size > kArenaSize) std::abort();  // a test asked for more than the arena holds
    void* memory = arena_ + used_;
    used_ += size;
    return memory;
  }

  const char* text(const std::string& value) {
    auto* copy = static_cast<char*>(allocate(value.size() + 1));
    std::memcpy(copy, value.c_str(), value.size() + 1);
    return copy;
  }

  // The first byte of the guard page; what lies just before it is readable.
  char* guardPage() const { return arena_ + kArenaSize; }

  // A class (with its meta class) whose read-only data names it `name`. A null superclass
  // makes a root class's superclass; superclass defaults to NSObject.
  void* makeClass(const std::string& name, void* superclass, const std::vector<Ivar>& ivars = {},
                  std::uint32_t flags = 0) {
    return makeClassNamed(text(name), superclass, ivars, flags);
  }

  void* makeClassNamed(const char* namePointer, void* superclass, const std::vector<Ivar>& ivars, std::uint32_t flags) {
    void* meta =
        makeRecord(namePointer, rootClass_ != nullptr ? isaOf(rootClass_) : nullptr, nullptr, 0, flags | kMeta);
    if (superclass == nullptr && (flags & kRoot) == 0) superclass = rootClass_;
    return makeRecord(namePointer, superclass, meta, ivarList(ivars), flags);
  }

  void* root() const { return rootClass_; }

  // An instance: its isa, then `size` zero bytes.
  void* makeObject(void* classPtr, std::size_t size = 64) {
    auto* object = static_cast<std::uintptr_t*>(allocate(size < 8 ? 8 : size));
    std::memset(object, 0, size);
    object[0] = reinterpret_cast<std::uintptr_t>(classPtr);
    return object;
  }

  static void* isaOf(void* object) { return *static_cast<void**>(object); }

  template <class T>
  static void put(void* object, std::size_t offset, T value) {
    std::memcpy(static_cast<char*>(object) + offset, &value, sizeof value);
  }

 private:
  void* makeRecord(const char* name, void* superclass, void* isa, void* ivars, std::uint32_t flags) {
    auto* cls = static_cast<std::uintptr_t*>(allocate(40));
    auto* rw = static_cast<std::uintptr_t*>(allocate(192));
    auto* ro = static_cast<char*>(allocate(72));
    std::memset(cls, 0, 40);
    std::memset(rw, 0, 192);
    std::memset(ro, 0, 72);
    cls[0] = reinterpret_cast<std::uintptr_t>(isa);
    cls[1] = reinterpret_cast<std::uintptr_t>(superclass);
    cls[4] = reinterpret_cast<std::uintptr_t>(rw);
    rw[1] = reinterpret_cast<std::uintptr_t>(ro);
    put(ro, 0, flags);
    put(ro, 24, name);
    put(ro, 48, ivars);
    return cls;
  }

  void* ivarList(const std::vector<Ivar>& ivars) {
    if (ivars.empty()) return nullptr;
    auto* list = static_cast<char*>(allocate(8 + 32 * ivars.size()));
    put(list, 0, std::uint32_t{32});
    put(list, 4, static_cast<std::uint32_t>(ivars.size()));
    for (std::size_t i = 0; i < ivars.size(); ++i) {
      auto* offset = static_cast<std::int32_t*>(allocate(4));
      *offset = ivars[i].offset;
      char* entry = list + 8 + 32 * i;
      put(entry, 0, offset);
      put(entry, 8, text(ivars[i].name));
      put(entry, 16, text(ivars[i].type));
      put(entry, 24, std::uint32_t{8});
      put(entry, 28, ivars[i].size);
    }
    return list;
  }

  std::size_t page_ = 0;
  char* arena_ = nullptr;
  std::size_t used_ = 0;
  void* rootClass_ = nullptr;
};
