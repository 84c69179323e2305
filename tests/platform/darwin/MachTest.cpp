// Task ports, checked reads and memory entries of our own process.
#include "platform/darwin/Mach.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace {

class MachMemoryTest : public testing::Test {
 protected:
  void SetUp() override {
    page_ = vx::vm_page_size;
    base_ = static_cast<std::uint8_t*>(
        mmap(nullptr, page_ * 4, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    for (std::size_t i = 0; i < page_ * 4; ++i) base_[i] = static_cast<std::uint8_t>(i);
    mprotect(base_ + 2 * page_, page_, PROT_NONE);  // page 2 protected
    munmap(base_ + 3 * page_, page_);               // page 3 unmapped
  }
  void TearDown() override { munmap(base_, page_ * 3); }
  std::uint64_t at(std::size_t offset) const { return reinterpret_cast<std::uint64_t>(base_) + offset; }

  std::uint64_t page_ = 4096;
  std::uint8_t* base_ = nullptr;
};

TEST_F(MachMemoryTest, PageSizeIsTheSystems) {
  EXPECT_EQ(vx::vm_page_size, static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)));
  EXPECT_EQ(vx::vm_page_mask, vx::vm_page_size - 1);
}

TEST_F(MachMemoryTest, ReadOverwriteClassifiesFailures) {
  struct Case {
    std::size_t offset;
    std::uint64_t size;
    vx::kern_return_t expected;
  };
  const Case cases[] = {
      {10, 100, vx::KERN_SUCCESS},
      {page_ - 8, 16, vx::KERN_SUCCESS},  // spans two readable pages
      {2 * page_, 8, vx::KERN_PROTECTION_FAILURE},
      {2 * page_ - 8, 16, vx::KERN_PROTECTION_FAILURE},  // runs into the protected page
      {3 * page_, 8, vx::KERN_INVALID_ADDRESS},
      {0, 0, vx::KERN_SUCCESS},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> out(c.size + 1, 0xee);
    vx::mach_vm_size_t copied = 99;
    EXPECT_EQ(vx::mach_vm_read_overwrite(vx::mach_task_self(), at(c.offset), c.size,
                                         reinterpret_cast<vx::mach_vm_address_t>(out.data()), &copied),
              c.expected)
        << c.offset << "+" << c.size;
    if (c.expected == vx::KERN_SUCCESS) {
      EXPECT_EQ(copied, c.size);
      EXPECT_EQ(std::memcmp(out.data(), base_ + c.offset, c.size), 0);
    }
  }
  std::uint8_t byte = 0;
  EXPECT_EQ(vx::mach_vm_read_overwrite(vx::mach_task_self(), UINT64_MAX - 2, 8,
                                       reinterpret_cast<vx::mach_vm_address_t>(&byte), nullptr),
            vx::KERN_INVALID_ADDRESS);
  EXPECT_EQ(vx::mach_vm_read_overwrite(vx::mach_task_self() + 1, at(0), 1,
                                       reinterpret_cast<vx::mach_vm_address_t>(&byte), nullptr),
            vx::KERN_INVALID_ARGUMENT);
}

TEST_F(MachMemoryTest, ReadablePagesCountsTheLeadingOnes) {
  EXPECT_EQ(vx::task_readable_pages(at(0), 4), 2u);
  EXPECT_EQ(vx::task_readable_pages(at(page_), 1), 1u);
  EXPECT_EQ(vx::task_readable_pages(at(2 * page_), 2), 0u);
}

TEST_F(MachMemoryTest, MemoryEntryGrantsTheReadablePrefixAndMapsACopy) {
  vx::memory_object_size_t size = 4 * page_;
  vx::mach_port_t entry = vx::MACH_PORT_NULL;
  ASSERT_EQ(
      vx::mach_make_memory_entry_64(vx::mach_task_self(), &size, at(0), vx::VM_PROT_READ, &entry, vx::MACH_PORT_NULL),
      vx::KERN_SUCCESS);
  EXPECT_EQ(size, 2 * page_);
  vx::mach_vm_address_t target = 0;
  ASSERT_EQ(vx::mach_vm_allocate(vx::mach_task_self(), &target, size, vx::VM_FLAGS_ANYWHERE), vx::KERN_SUCCESS);
  vx::mach_vm_address_t where = target;
  EXPECT_EQ(vx::mach_vm_map(vx::mach_task_self(), &where, size, 0, vx::VM_FLAGS_FIXED | vx::VM_FLAGS_OVERWRITE, entry,
                            0, false, vx::VM_PROT_READ, vx::VM_PROT_READ, vx::VM_INHERIT_COPY),
            vx::KERN_INVALID_ARGUMENT);  // sharing is not offered
  ASSERT_EQ(vx::mach_vm_map(vx::mach_task_self(), &where, size, 0, vx::VM_FLAGS_FIXED | vx::VM_FLAGS_OVERWRITE, entry,
                            0, true, vx::VM_PROT_READ, vx::VM_PROT_READ, vx::VM_INHERIT_COPY),
            vx::KERN_SUCCESS);
  EXPECT_EQ(std::memcmp(reinterpret_cast<void*>(target), base_, size), 0);
  EXPECT_EQ(vx::mach_vm_map(vx::mach_task_self(), &where, size + page_, 0, vx::VM_FLAGS_FIXED | vx::VM_FLAGS_OVERWRITE,
                            entry, 0, true, vx::VM_PROT_READ, vx::VM_PROT_READ, vx::VM_INHERIT_COPY),
            vx::KERN_INVALID_ARGUMENT);  // more than the entry grants
  EXPECT_EQ(vx::mach_port_mod_refs(vx::mach_task_self(), entry, vx::MACH_PORT_RIGHT_SEND, -1), vx::KERN_SUCCESS);
  EXPECT_EQ(vx::mach_port_mod_refs(vx::mach_task_self(), entry, vx::MACH_PORT_RIGHT_SEND, -1),
            vx::KERN_INVALID_NAME);  // already released
  EXPECT_EQ(vx::mach_vm_deallocate(vx::mach_task_self(), target, size), vx::KERN_SUCCESS);

  size = page_;
  EXPECT_EQ(vx::mach_make_memory_entry_64(vx::mach_task_self(), &size, at(3 * page_), vx::VM_PROT_READ, &entry,
                                          vx::MACH_PORT_NULL),
            vx::KERN_INVALID_ADDRESS);
}

TEST_F(MachMemoryTest, EntriesRunOutAndComeBack) {
  std::vector<vx::mach_port_t> entries;
  vx::kern_return_t kr = vx::KERN_SUCCESS;
  while (entries.size() < 1000) {
    vx::memory_object_size_t size = page_;
    vx::mach_port_t entry = vx::MACH_PORT_NULL;
    kr =
        vx::mach_make_memory_entry_64(vx::mach_task_self(), &size, at(0), vx::VM_PROT_READ, &entry, vx::MACH_PORT_NULL);
    if (kr != vx::KERN_SUCCESS) break;
    entries.push_back(entry);
  }
  EXPECT_EQ(kr, vx::KERN_RESOURCE_SHORTAGE);
  EXPECT_EQ(entries.size(), 64u);
  vx::mach_port_mod_refs(vx::mach_task_self(), entries.back(), vx::MACH_PORT_RIGHT_SEND, -1);
  vx::memory_object_size_t size = page_;
  vx::mach_port_t entry = vx::MACH_PORT_NULL;
  EXPECT_EQ(
      vx::mach_make_memory_entry_64(vx::mach_task_self(), &size, at(0), vx::VM_PROT_READ, &entry, vx::MACH_PORT_NULL),
      vx::KERN_SUCCESS);
  entries.back() = entry;
  for (vx::mach_port_t name : entries) {
    vx::mach_port_mod_refs(vx::mach_task_self(), name, vx::MACH_PORT_RIGHT_SEND, -1);
  }
}

TEST(MachPortTest, TaskReferencesAreCounted) {
  const std::int32_t start = vx::task_self_user_references();
  EXPECT_EQ(vx::mach_port_mod_refs(vx::mach_task_self(), vx::mach_task_self(), vx::MACH_PORT_RIGHT_SEND, 2),
            vx::KERN_SUCCESS);
  EXPECT_EQ(vx::task_self_user_references(), start + 2);
  EXPECT_EQ(vx::mach_port_deallocate(vx::mach_task_self(), vx::mach_task_self()), vx::KERN_SUCCESS);
  EXPECT_EQ(vx::mach_port_mod_refs(vx::mach_task_self(), vx::mach_task_self(), vx::MACH_PORT_RIGHT_SEND, -1),
            vx::KERN_SUCCESS);
  EXPECT_EQ(vx::task_self_user_references(), start);
  EXPECT_EQ(vx::mach_port_mod_refs(vx::mach_task_self(), vx::mach_task_self(), vx::MACH_PORT_RIGHT_SEND, -start),
            vx::KERN_INVALID_VALUE);  // the task's own reference stays
  EXPECT_EQ(vx::mach_thread_self(), static_cast<vx::thread_t>(gettid()));
  EXPECT_EQ(vx::mach_port_deallocate(vx::mach_task_self(), vx::mach_thread_self()), vx::KERN_SUCCESS);
}

}  // namespace
