// A fresh, private folder for one test (or one fixture), removed with everything in it when the
// object goes. Made with mkdtemp under the system's temporary folder, or under a folder the test
// names, so two tests (or two processes) never share one.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>

namespace vx::test {

class TemporaryFolder {
 public:
  // `prefix` names the folder ("<prefix>-XXXXXX"), so a folder left by a killed test tells
  // which test made it.
  explicit TemporaryFolder(std::string_view prefix = "vx-test")
      : TemporaryFolder(std::filesystem::temp_directory_path(), prefix) {}
  TemporaryFolder(const std::filesystem::path& parent, std::string_view prefix) {
    std::string pattern = (parent / (std::string(prefix) + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    path_ = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // `relative` inside the folder.
  std::filesystem::path file(const std::filesystem::path& relative) const { return path_ / relative; }

  // Writes `contents` to `relative` inside the folder, making the folders on the way.
  std::filesystem::path write(const std::filesystem::path& relative, std::string_view contents) const {
    const auto target = path_ / relative;
    std::filesystem::create_directories(target.parent_path());
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    return target;
  }
  // The whole of `relative` inside the folder; empty when it cannot be read.
  std::string read(const std::filesystem::path& relative) const {
    std::ifstream in(path_ / relative, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::filesystem::path path_;
};

}  // namespace vx::test
