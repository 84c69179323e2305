// The image list and symbol lookup against the images really loaded in this test program.
#include "reporting/crash-recorder/Recording/PloverCrashDynamicLinker.h"
#include "reporting/crash-recorder/Recording/PloverCrashStackCursor.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string executablePath() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

// The program's GNU build id, read from its PT_NOTE segments through the dynamic linker.
std::string programBuildId() {
  std::string id;
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* data) -> int {
        auto* out = static_cast<std::string*>(data);
        if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0') return 0;  // not the program
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& phdr = info->dlpi_phdr[i];
          if (phdr.p_type != PT_NOTE) continue;
          const auto* note = reinterpret_cast<const char*>(info->dlpi_addr + phdr.p_vaddr);
          const char* end = note + phdr.p_memsz;
          while (note + sizeof(ElfW(Nhdr)) <= end) {
            const auto* header = reinterpret_cast<const ElfW(Nhdr)*>(note);
            const char* name = note + sizeof(ElfW(Nhdr));
            const char* desc = name + ((header->n_namesz + 3) & ~3u);
            if (header->n_type == NT_GNU_BUILD_ID && std::strcmp(name, "GNU") == 0) {
              out->assign(desc, header->n_descsz);
              return 1;
            }
            note = desc + ((header->n_descsz + 3) & ~3u);
          }
        }
        return 1;
      },
      &id);
  return id;
}

TEST(PloverCrashDynamicLinkerTest, TheProgramIsAnImageWithItsBuildId) {
  ASSERT_GT(plovercrashdl_imageCount(), 1);
  const std::string path = executablePath();
  const int index = plovercrashdl_imageNamed(path.c_str(), true);
  ASSERT_GE(index, 0) << path;
  PloverCrashBinaryImage image{};
  ASSERT_TRUE(plovercrashdl_getBinaryImage(index, &image));
  EXPECT_EQ(path, image.name);
  EXPECT_EQ(image.cpuType, 0x1000007);
  EXPECT_GT(image.size, 0u);
  const std::string buildId = programBuildId();
  ASSERT_GE(buildId.size(), 16u);
  ASSERT_NE(image.uuid, nullptr);
  EXPECT_EQ(std::memcmp(image.uuid, buildId.data(), 16), 0);
  EXPECT_EQ(plovercrashdl_imageUUID(path.c_str(), true), image.uuid);

  const std::string file = path.substr(path.rfind('/') + 1);
  EXPECT_EQ(plovercrashdl_imageNamed(file.c_str(), false), index);
  EXPECT_EQ(plovercrashdl_imageNamed(file.c_str(), true), -1);
  EXPECT_EQ(plovercrashdl_imageNamed("no-such-image", false), -1);
  EXPECT_EQ(plovercrashdl_imageNamed(nullptr, false), -1);
  EXPECT_EQ(plovercrashdl_imageUUID("no-such-image", false), nullptr);
  EXPECT_FALSE(plovercrashdl_getBinaryImage(plovercrashdl_imageCount(), &image));
  EXPECT_FALSE(plovercrashdl_getBinaryImage(-1, &image));
}

TEST(PloverCrashDynamicLinkerTest, SymbolLookupAgreesWithTheDynamicLinker) {
  for (void* function :
       {reinterpret_cast<void*>(&getpid), reinterpret_cast<void*>(&qsort), reinterpret_cast<void*>(&dl_iterate_phdr)}) {
    Dl_info expected;
    ASSERT_NE(dladdr(function, &expected), 0);
    Dl_info info;
    const auto address = reinterpret_cast<std::uintptr_t>(function) + 3;
    ASSERT_TRUE(plovercrashdl_dladdr(address, &info));
    EXPECT_EQ(info.dli_fbase, expected.dli_fbase);
    EXPECT_EQ(info.dli_saddr, function);
    ASSERT_NE(info.dli_sname, nullptr);
    // Aliases share an address; whichever name was found must lead to the same place.
    EXPECT_EQ(dlsym(RTLD_DEFAULT, info.dli_sname), function) << info.dli_sname;
  }
}

TEST(PloverCrashDynamicLinkerTest, AddressesOutsideEveryImageFindNothing) {
  int onTheStack = 0;
  Dl_info info;
  EXPECT_FALSE(plovercrashdl_dladdr(reinterpret_cast<std::uintptr_t>(&onTheStack), &info));
  EXPECT_EQ(info.dli_fname, nullptr);
  EXPECT_FALSE(plovercrashdl_dladdr(0, &info));
}

TEST(PloverCrashDynamicLinkerTest, SymbolicateNamesTheImageOfAReturnAddress) {
  const std::uintptr_t addresses[] = {reinterpret_cast<std::uintptr_t>(&getpid) + 1};
  PloverCrashBacktraceCursor cursor;
  plovercrashsc_initWithBacktrace(&cursor, addresses, 1, 0);
  ASSERT_TRUE(cursor.advanceCursor(&cursor));
  ASSERT_TRUE(cursor.symbolicate(&cursor));
  ASSERT_NE(cursor.stackEntry.imageName, nullptr);
  EXPECT_NE(std::string(cursor.stackEntry.imageName).find("libc"), std::string::npos);
  EXPECT_EQ(cursor.stackEntry.symbolAddress, reinterpret_cast<std::uintptr_t>(&getpid));

  int onTheStack = 0;
  const std::uintptr_t bad[] = {reinterpret_cast<std::uintptr_t>(&onTheStack)};
  plovercrashsc_initWithBacktrace(&cursor, bad, 1, 0);
  ASSERT_TRUE(cursor.advanceCursor(&cursor));
  EXPECT_FALSE(cursor.symbolicate(&cursor));
  EXPECT_EQ(cursor.stackEntry.imageName, nullptr);
}

}  // namespace
