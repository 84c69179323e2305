// The loaded-image list, filled from the running process's real ELF images and kept current
// while a module is loaded and unloaded.
#include "crash-engine/async/HXCrashAsyncImageList.h"

#include "platform/darwin/Dyld.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  pclose(pipe);
  return out;
}

std::string executablePath() {
  char path[PATH_MAX] = {};
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

std::string hex(const std::uint8_t* bytes, std::size_t count) {
  std::string out;
  char two[3];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(two, sizeof two, "%02x", bytes[i]);
    out += two;
  }
  return out;
}

// What llvm-objdump says about a section of a file: {address, size}.
std::pair<std::uint64_t, std::uint64_t> objdumpSection(const std::string& file, const std::string& name) {
  std::istringstream lines(run("llvm-objdump-14 -h '" + file + "'"));
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string index, section, size, vma;
    words >> index >> section >> size >> vma;
    if (section == name) return {std::stoull(vma, nullptr, 16), std::stoull(size, nullptr, 16)};
  }
  return {0, 0};
}

int aFunctionOfTheTest(int value) { return value + 1; }

class ImageListTest : public testing::Test {
 protected:
  void SetUp() override {
    MShxcrash_nasync_image_list_init(&list_, vx::mach_task_self());
    MShxcrash_nasync_image_list_track(&list_);
  }
  void TearDown() override { MShxcrash_nasync_image_list_free(&list_); }

  std::vector<MShxcrash_async_macho*> images() {
    std::vector<MShxcrash_async_macho*> out;
    MShxcrash_async_image_list_set_reading(&list_, true);
    for (MShxcrash_async_macho* image = MShxcrash_async_image_list_next(&list_, nullptr); image != nullptr;
         image = MShxcrash_async_image_list_next(&list_, image)) {
      out.push_back(image);
    }
    MShxcrash_async_image_list_set_reading(&list_, false);
    return out;
  }

  MShxcrash_async_macho* containing(const void* address) {
    MShxcrash_async_image_list_set_reading(&list_, true);
    MShxcrash_async_macho* image =
        MShxcrash_async_image_containing_address(&list_, reinterpret_cast<std::uint64_t>(address));
    MShxcrash_async_image_list_set_reading(&list_, false);
    return image;
  }

  MShxcrash_async_image_list list_{};
};

TEST_F(ImageListTest, HoldsTheRunningImagesWithTheirFacts) {
  const std::vector<MShxcrash_async_macho*> all = images();
  ASSERT_GE(all.size(), 3u);  // the program, the C library, the vDSO at least
  EXPECT_EQ(all.size(), vx::dyld_images().size());
  MShxcrash_async_macho* program = containing(reinterpret_cast<const void*>(&aFunctionOfTheTest));
  ASSERT_NE(program, nullptr);
  EXPECT_EQ(std::string(program->name), executablePath());
  EXPECT_EQ(program->format, MShxcrash_async_image_format_elf);
  EXPECT_TRUE(program->m64);
  EXPECT_EQ(MShxcrash_async_macho_cpu_type(program), vx::CPU_TYPE_X86_64);
  EXPECT_EQ(program->header.filetype, vx::MH_EXECUTE);
  EXPECT_TRUE(MShxcrash_async_macho_contains_address(program, program->header_addr));
  EXPECT_FALSE(MShxcrash_async_macho_contains_address(program, program->header_addr + program->text_size));
  EXPECT_EQ(program->header_addr - static_cast<std::uint64_t>(program->vmaddr_slide), program->text_vmaddr);

  // The build id, as the ELF tools read it from the file.
  ASSERT_TRUE(program->has_uuid);
  const std::string notes = run("llvm-readelf-14 -n '" + executablePath() + "'");
  const auto at = notes.find("Build ID: ");
  ASSERT_NE(at, std::string::npos) << notes;
  EXPECT_EQ(hex(program->uuid, 16), notes.substr(at + 10, 32));

  // .eh_frame and .eh_frame_hdr where the file's section headers put them.
  const auto ehFrame = objdumpSection(executablePath(), ".eh_frame");
  const auto ehFrameHdr = objdumpSection(executablePath(), ".eh_frame_hdr");
  ASSERT_NE(ehFrame.second, 0u);
  EXPECT_EQ(program->eh_frame_addr, ehFrame.first + static_cast<std::uint64_t>(program->vmaddr_slide));
  EXPECT_EQ(program->eh_frame_size, ehFrame.second);
  EXPECT_EQ(program->eh_frame_hdr_addr, ehFrameHdr.first + static_cast<std::uint64_t>(program->vmaddr_slide));
  EXPECT_EQ(program->eh_frame_hdr_size, ehFrameHdr.second);

  // A function of the C library is found in the C library.
  MShxcrash_async_macho* libc = containing(reinterpret_cast<const void*>(&getpid));
  ASSERT_NE(libc, nullptr);
  EXPECT_NE(std::string(libc->name).find("libc.so"), std::string::npos) << libc->name;
  EXPECT_EQ(libc->header.filetype, vx::MH_DYLIB);
  EXPECT_NE(libc->eh_frame_addr, 0u);
  EXPECT_NE(libc->eh_frame_size, 0u);

  // The vDSO has no file: its .eh_frame size comes from walking its records.
  for (MShxcrash_async_macho* image : all) {
    EXPECT_NE(image->text_size, 0u) << image->name;
    if (std::string(image->name).find("vdso") != std::string::npos && image->eh_frame_addr != 0) {
      EXPECT_GT(image->eh_frame_size, 0u);
      EXPECT_EQ(image->eh_frame_size % 4, 0u);
    }
  }
  EXPECT_EQ(containing(nullptr), nullptr);
}

TEST_F(ImageListTest, EhFrameMapsAsTheTextSection) {
  MShxcrash_async_macho* program = containing(reinterpret_cast<const void*>(&aFunctionOfTheTest));
  ASSERT_NE(program, nullptr);
  hxcrash_async_mobject mobj;
  ASSERT_EQ(MShxcrash_async_macho_map_section(program, "__TEXT", "__eh_frame", &mobj), hxcrash_error_none);
  EXPECT_EQ(MShxcrash_async_mobject_base_address(&mobj), program->eh_frame_addr);
  EXPECT_EQ(MShxcrash_async_mobject_length(&mobj), program->eh_frame_size);
  const void* bytes = MShxcrash_async_mobject_remap_address(&mobj, program->eh_frame_addr, 0, program->eh_frame_size);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(std::memcmp(bytes, reinterpret_cast<const void*>(program->eh_frame_addr), program->eh_frame_size), 0);
  MShxcrash_async_mobject_free(&mobj);
  EXPECT_EQ(MShxcrash_async_macho_map_section(program, "__TEXT", "__unwind_info", &mobj), hxcrash_error_not_found);
  EXPECT_EQ(MShxcrash_async_macho_next_command(program, nullptr), nullptr);  // no load commands
  MShxcrash_async_macho_symtab_reader reader;
  EXPECT_EQ(MShxcrash_async_macho_symtab_reader_init(&reader, program), hxcrash_error_not_found);
}

TEST_F(ImageListTest, FollowsAModuleThatIsLoadedAndUnloaded) {
  const std::size_t before = images().size();
  void* handle = vx::dyld_dlopen(CE_TEST_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  void* function = dlsym(handle, "crashengine_module_function");
  ASSERT_NE(function, nullptr);
  EXPECT_EQ(images().size(), before + 1);
  MShxcrash_async_macho* module = containing(function);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(std::string(module->name), CE_TEST_MODULE);
  EXPECT_TRUE(module->has_uuid);

  // A reader that holds the record while the module goes keeps a valid record.
  MShxcrash_async_image_list_set_reading(&list_, true);
  MShxcrash_async_macho* held =
      MShxcrash_async_image_containing_address(&list_, reinterpret_cast<std::uint64_t>(function));
  ASSERT_EQ(vx::dyld_dlclose(handle), 0);
  EXPECT_EQ(std::string(held->name), CE_TEST_MODULE);
  MShxcrash_async_image_list_set_reading(&list_, false);

  EXPECT_EQ(images().size(), before);
  for (MShxcrash_async_macho* image : images()) {
    EXPECT_NE(std::string(image->name), CE_TEST_MODULE);
  }
  // Loading again reuses the parked node.
  handle = vx::dyld_dlopen(CE_TEST_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(images().size(), before + 1);
  EXPECT_EQ(list_.list->parked_count(), 0);
  vx::dyld_dlclose(handle);
}

// A plain dlopen tells the list nothing; the crash-time look at the dynamic linker's own list
// finds the module, with the same facts the list itself would have given it, once.
TEST_F(ImageListTest, LinkerListAddsAModuleLoadedBehindTheListsBack) {
  const std::size_t before = images().size();
  EXPECT_EQ(MShxcrash_async_image_list_add_linker_images(&list_), 0u);
  void* handle = dlopen(CE_TEST_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  void* function = dlsym(handle, "crashengine_module_function");
  ASSERT_NE(function, nullptr);
  EXPECT_EQ(containing(function), nullptr);
  EXPECT_EQ(images().size(), before);

  EXPECT_EQ(MShxcrash_async_image_list_add_linker_images(&list_), 1u);
  EXPECT_EQ(MShxcrash_async_image_list_add_linker_images(&list_), 1u);  // replaced, not doubled
  EXPECT_EQ(images().size(), before + 1);
  MShxcrash_async_macho* late = containing(function);
  ASSERT_NE(late, nullptr);
  EXPECT_EQ(images().back(), late);
  EXPECT_EQ(std::string(late->name), CE_TEST_MODULE);

  // The record the list builds for the same image, for comparison.
  MShxcrash_async_macho expected{};
  ASSERT_EQ(MShxcrash_nasync_macho_init(&expected, vx::mach_task_self(), CE_TEST_MODULE, late->header_addr),
            hxcrash_error_none);
  EXPECT_EQ(late->text_size, expected.text_size);
  EXPECT_EQ(late->vmaddr_slide, expected.vmaddr_slide);
  EXPECT_EQ(late->has_uuid, expected.has_uuid);
  EXPECT_EQ(std::memcmp(late->uuid, expected.uuid, 16), 0);
  EXPECT_EQ(late->eh_frame_addr, expected.eh_frame_addr);
  EXPECT_EQ(late->eh_frame_size, expected.eh_frame_size);
  EXPECT_EQ(late->eh_frame_hdr_addr, expected.eh_frame_hdr_addr);
  EXPECT_EQ(MShxcrash_async_macho_cpu_type(late), MShxcrash_async_macho_cpu_type(&expected));
  EXPECT_EQ(late->header.filetype, expected.header.filetype);
  MShxcrash_nasync_macho_free(&expected);

  // Once the list learns of the image itself, it is listed once.
  vx::dyld_rescan();
  EXPECT_EQ(images().size(), before + 1);
  // Unloaded: neither the list nor the next look keeps it.
  dlclose(handle);
  vx::dyld_rescan();
  EXPECT_EQ(MShxcrash_async_image_list_add_linker_images(&list_), 0u);
  EXPECT_EQ(images().size(), before);
}

TEST_F(ImageListTest, RemovingAnUnknownHeaderChangesNothing) {
  const std::size_t before = images().size();
  testing::internal::CaptureStderr();
  MShxcrash_nasync_image_list_remove(&list_, 12345);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Can't find header addr=12345 in Mach-O image list."),
            std::string::npos);
  EXPECT_EQ(images().size(), before);
}

TEST_F(ImageListTest, WalkRecordsEachImagesNode) {
  const std::vector<MShxcrash_async_macho*> all = images();
  for (MShxcrash_async_macho* image : all) EXPECT_NE(image->list_node, nullptr);
  // Starting from any image continues with the one after it.
  MShxcrash_async_image_list_set_reading(&list_, true);
  EXPECT_EQ(MShxcrash_async_image_list_next(&list_, all[0]), all[1]);
  EXPECT_EQ(MShxcrash_async_image_list_next(&list_, all.back()), nullptr);
  MShxcrash_async_image_list_set_reading(&list_, false);
}

TEST(ImageListDeathTest, WalkingOutsideAReadingWindowStops) {
  EXPECT_DEATH(
      {
        MShxcrash_async_image_list list;
        MShxcrash_nasync_image_list_init(&list, vx::mach_task_self());
        MShxcrash_async_image_list_next(&list, nullptr);
      },
      "_refcount > 0");
}

}  // namespace
