// The firmware identification reader the platform layer and both crash libraries share: on this
// machine, and on a folder laid out like the kernel's with odd, missing and unreadable fields.
#include "platform/darwin/DMI.h"

#include "platform/darwin/AsyncFile.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace {

// A stand-in for the firmware's field folder: one file per field.
class DMIRoot : public vx::test::TemporaryFolder {
 public:
  DMIRoot() : vx::test::TemporaryFolder("dmi") {}
  const char* c_str() const { return path().c_str(); }
};

// What the kernel's file says, white space at its end removed; none when it cannot be read.
std::optional<std::string> expectedField(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && std::string(" \t\r\n").find(text.back()) != std::string::npos) {
    text.pop_back();
  }
  return text;
}

TEST(DMITest, ThisMachinesProductNameAndVendor) {
  for (const char* field : {"product_name", "sys_vendor"}) {
    const auto expected = expectedField(std::filesystem::path(vx::kDMIRoot) / field);
    char buffer[512];
    errno = 0;
    const ssize_t length = vx::dmi_read(field, buffer, sizeof buffer);
    if (expected) {
      ASSERT_EQ(length, static_cast<ssize_t>(expected->size())) << field;
      EXPECT_EQ(buffer, *expected) << field;
    } else {
      // Machines without firmware tables (many virtual ones) have no such file.
      EXPECT_EQ(length, -1) << field;
      EXPECT_TRUE(errno == ENOENT || errno == EACCES) << field << ": " << errno;
    }
  }
}

TEST(DMITest, FieldsOfAnInjectedRoot) {
  DMIRoot root;
  root.write("product_name", "Standard PC (Q35 + ICH9, 2009)\n");
  root.write("sys_vendor", "Vendor  \t\r\n");
  root.write("board_name", "");
  root.write("product_family", "first line\nsecond line\n");
  root.write("product_serial", std::string(600, 's'));
  root.write("chassis_type", std::string(511, 'c') + "\n\n");
  struct Case {
    const char* field;
    ssize_t length;
    const char* text;
  };
  const std::string longest(511, 'c');
  const Case cases[] = {
      {"product_name", 30, "Standard PC (Q35 + ICH9, 2009)"},
      {"sys_vendor", 6, "Vendor"},
      {"board_name", 0, ""},
      {"product_family", 22, "first line\nsecond line"},
      {"chassis_type", 511, longest.c_str()},
  };
  for (const Case& c : cases) {
    char buffer[512];
    EXPECT_EQ(vx::dmi_read(c.field, buffer, sizeof buffer, root.c_str()), c.length) << c.field;
    EXPECT_STREQ(buffer, c.text) << c.field;
  }
}

TEST(DMITest, MissingUnreadableAndOverlongFieldsAreErrors) {
  DMIRoot root;
  root.write("product_serial", std::string(600, 's'));
  std::filesystem::create_directory(root.path() / "product_uuid");  // read() fails on it
  root.write("product_version", "secret\n");
  std::filesystem::permissions(root.path() / "product_version", std::filesystem::perms::none);
  struct Case {
    const char* field;
    std::size_t size;
    int error;
  };
  const Case cases[] = {
      {"product_name", 512, ENOENT},
      {"product_uuid", 512, EISDIR},
      {"product_serial", 512, EOVERFLOW},
      {"../product_serial", 512, EINVAL},
      {"", 512, EINVAL},
      {"product_serial", 0, EINVAL},
  };
  for (const Case& c : cases) {
    char buffer[512] = "untouched";
    errno = 0;
    EXPECT_EQ(vx::dmi_read(c.field, buffer, c.size, root.c_str()), -1) << c.field;
    EXPECT_EQ(errno, c.error) << c.field;
  }
  char buffer[512];
  errno = 0;
  EXPECT_EQ(vx::dmi_read(nullptr, buffer, sizeof buffer, root.c_str()), -1);
  EXPECT_EQ(errno, EINVAL);
  // A file without read permission, for a user the permission applies to.
  if (geteuid() != 0) {
    errno = 0;
    EXPECT_EQ(vx::dmi_read("product_version", buffer, sizeof buffer, root.c_str()), -1);
    EXPECT_EQ(errno, EACCES);
  }
  // A root that does not exist.
  errno = 0;
  EXPECT_EQ(vx::dmi_read("product_name", buffer, sizeof buffer, "/nonexistent/dmi/id"), -1);
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
