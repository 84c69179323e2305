// The shared temporary folder, with the string paths and whole-file helpers the recorder's tests
// pass straight to its C-style entry points.
#pragma once

#include "support/TemporaryFolder.h"

#include <fstream>
#include <iterator>
#include <string>

class TemporaryFolder : public vx::test::TemporaryFolder {
 public:
  TemporaryFolder() : vx::test::TemporaryFolder("plovercrash-test") {}

  std::string file(const std::string& name) const { return vx::test::TemporaryFolder::file(name).string(); }

  static void write(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary);
    out << contents;
  }
  static std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
};
