// The dynamic linker's image list and the ELF facts of real images.
#include "platform/darwin/Dyld.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Events {
  std::vector<std::string> added;
  std::vector<std::string> removed;
};

void onAdded(void* context, std::uint64_t, std::int64_t, const char* name) {
  static_cast<Events*>(context)->added.push_back(name);
}

void onRemoved(void* context, std::uint64_t, std::int64_t, const char* name) {
  static_cast<Events*>(context)->removed.push_back(name);
}

TEST(DyldTest, ObserverSeesLoadedImagesThenChanges) {
  Events events;
  vx::dyld_add_observer(&events, onAdded, onRemoved);
  const std::size_t initial = events.added.size();
  EXPECT_EQ(initial, vx::dyld_images().size());
  EXPECT_TRUE(events.removed.empty());

  void* handle = vx::dyld_dlopen(DARWIN_TEST_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  ASSERT_EQ(events.added.size(), initial + 1);
  EXPECT_EQ(events.added.back(), DARWIN_TEST_MODULE);
  vx::dyld_rescan();  // nothing changed: nothing reported
  EXPECT_EQ(events.added.size(), initial + 1);

  ASSERT_EQ(vx::dyld_dlclose(handle), 0);
  ASSERT_EQ(events.removed.size(), 1u);
  EXPECT_EQ(events.removed.back(), DARWIN_TEST_MODULE);

  vx::dyld_remove_observer(&events);
  handle = vx::dyld_dlopen(DARWIN_TEST_MODULE, RTLD_NOW | RTLD_LOCAL);
  EXPECT_EQ(events.added.size(), initial + 1);  // no longer observed
  vx::dyld_dlclose(handle);
}

struct PhdrFacts {
  std::uint64_t header = 0;
  std::int64_t slide = 0;
  std::uint64_t textEnd = 0;
  std::uint64_t ehFrameHdr = 0;
};

int findModule(dl_phdr_info* info, size_t, void* data) {
  auto* facts = static_cast<PhdrFacts*>(data);
  if (info->dlpi_name == nullptr || std::string(info->dlpi_name) != DARWIN_TEST_MODULE) return 0;
  facts->slide = static_cast<std::int64_t>(info->dlpi_addr);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& phdr = info->dlpi_phdr[i];
    if (phdr.p_type == PT_LOAD && phdr.p_offset == 0) facts->header = info->dlpi_addr + phdr.p_vaddr;
    if (phdr.p_type == PT_LOAD && (phdr.p_flags & PF_X)) {
      facts->textEnd = std::max<std::uint64_t>(facts->textEnd, info->dlpi_addr + phdr.p_vaddr + phdr.p_memsz);
    }
    if (phdr.p_type == PT_GNU_EH_FRAME) facts->ehFrameHdr = info->dlpi_addr + phdr.p_vaddr;
  }
  return 1;
}

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  if (pipe != nullptr) pclose(pipe);
  return out;
}

TEST(DyldTest, ElfFactsOfALoadedModule) {
  void* handle = vx::dyld_dlopen(DARWIN_TEST_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr);
  PhdrFacts expected;
  dl_iterate_phdr(findModule, &expected);
  ASSERT_NE(expected.header, 0u);

  vx::ElfImageFacts facts;
  ASSERT_EQ(vx::elf_image_facts(vx::mach_task_self(), expected.header, DARWIN_TEST_MODULE, &facts), vx::KERN_SUCCESS);
  EXPECT_EQ(facts.header, expected.header);
  EXPECT_EQ(facts.slide, expected.slide);
  EXPECT_EQ(facts.text_size, expected.textEnd - expected.header);
  EXPECT_TRUE(facts.is64);
  EXPECT_EQ(facts.machine, EM_X86_64);
  EXPECT_FALSE(facts.executable);
  EXPECT_EQ(facts.eh_frame_hdr, expected.ehFrameHdr);
  ASSERT_TRUE(facts.has_uuid);
  const std::string notes = run(std::string("llvm-readelf-14 -n '") + DARWIN_TEST_MODULE + "'");
  const auto at = notes.find("Build ID: ");
  ASSERT_NE(at, std::string::npos);
  char hex[33] = {};
  for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", facts.uuid[i]);
  EXPECT_EQ(std::string(hex), notes.substr(at + 10, 32));
  // Without the file the .eh_frame size comes from walking its records: the same answer.
  vx::ElfImageFacts fromMemory;
  ASSERT_EQ(vx::elf_image_facts(vx::mach_task_self(), expected.header, nullptr, &fromMemory), vx::KERN_SUCCESS);
  EXPECT_EQ(fromMemory.eh_frame, facts.eh_frame);
  EXPECT_EQ(fromMemory.eh_frame_size, facts.eh_frame_size);
  vx::dyld_dlclose(handle);

  EXPECT_FALSE(vx::elf_has_magic(vx::mach_task_self(), reinterpret_cast<std::uint64_t>(&facts)));
  EXPECT_EQ(vx::elf_image_facts(vx::mach_task_self(), reinterpret_cast<std::uint64_t>(&facts), nullptr, &facts),
            vx::KERN_INVALID_ARGUMENT);
  EXPECT_EQ(vx::elf_image_facts(vx::mach_task_self(), 8, nullptr, &facts), vx::KERN_INVALID_ADDRESS);
}

}  // namespace
