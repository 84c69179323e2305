#include "platform/desktop/DesktopEntry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace vx {
namespace {

DesktopEntry sampleEntry() {
  DesktopEntry entry;
  entry.fileId = "com.vexelworks.Vexelworks";
  entry.name = "Vexelworks";
  entry.comment = "Icons for your designs";
  entry.executable = "/opt/vexelworks/bin/vexelworks";
  entry.schemes = {"vexelworks"};
  return entry;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string lineStartingWith(const std::string& text, const std::string& prefix) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(prefix, 0) == 0) return line;
  }
  return {};
}

TEST(DesktopEntryText, DeclaresTheSchemeHandlerAndStartsTheProgramWithTheURL) {
  auto entry = sampleEntry();
  entry.schemes = {"vexelworks", "VX-Dev+1.a"};
  auto text = desktopEntryText(entry);
  ASSERT_TRUE(text.ok()) << text.error();
  EXPECT_EQ(text->rfind("[Desktop Entry]\n", 0), 0u);
  EXPECT_EQ(lineStartingWith(*text, "Type="), "Type=Application");
  EXPECT_EQ(lineStartingWith(*text, "Name="), "Name=Vexelworks");
  EXPECT_EQ(lineStartingWith(*text, "Comment="), "Comment=Icons for your designs");
  EXPECT_EQ(lineStartingWith(*text, "Exec="), "Exec=\"/opt/vexelworks/bin/vexelworks\" %u");
  EXPECT_EQ(lineStartingWith(*text, "MimeType="), "MimeType=x-scheme-handler/vexelworks;x-scheme-handler/vx-dev+1.a;");
  EXPECT_EQ(lineStartingWith(*text, "Terminal="), "Terminal=false");
  EXPECT_EQ(lineStartingWith(*text, "Icon="), "") << "no icon given, no Icon key";
}

TEST(DesktopEntryText, ExecutablePathsWithReservedCharactersAreQuotedAndEscaped) {
  struct Case {
    const char* path;
    const char* exec;
  } cases[] = {
      {"/opt/My Apps/vexelworks", R"(Exec="/opt/My Apps/vexelworks" %u)"},
      {"/opt/100%/vx", R"(Exec="/opt/100%%/vx" %u)"},
      {"/opt/\"q\"/vx", R"(Exec="/opt/\\"q\\"/vx" %u)"},
      {"/opt/$HOME/`x`/vx", R"(Exec="/opt/\\$HOME/\\`x\\`/vx" %u)"},
      {"/opt/back\\slash/vx", R"(Exec="/opt/back\\\\slash/vx" %u)"},
  };
  for (const auto& c : cases) {
    auto entry = sampleEntry();
    entry.executable = c.path;
    auto text = desktopEntryText(entry);
    ASSERT_TRUE(text.ok()) << c.path;
    EXPECT_EQ(lineStartingWith(*text, "Exec="), c.exec) << c.path;
  }
}

TEST(DesktopEntryText, FieldsThatCannotBeWrittenAreRefused) {
  auto variants = std::vector<std::pair<std::string, DesktopEntry>>{};
  auto add = [&](std::string why, auto change) {
    auto entry = sampleEntry();
    change(entry);
    variants.emplace_back(std::move(why), std::move(entry));
  };
  add("file id with slash", [](DesktopEntry& e) { e.fileId = "../evil"; });
  add("empty file id", [](DesktopEntry& e) { e.fileId = ""; });
  add("empty name", [](DesktopEntry& e) { e.name = ""; });
  add("newline in name adds a key", [](DesktopEntry& e) { e.name = "Vx\nExec=/bin/sh"; });
  add("control character in comment", [](DesktopEntry& e) { e.comment = "a\tb"; });
  add("relative executable", [](DesktopEntry& e) { e.executable = "bin/vexelworks"; });
  add("newline in executable", [](DesktopEntry& e) { e.executable = "/opt/vx\n/bin"; });
  add("no scheme", [](DesktopEntry& e) { e.schemes.clear(); });
  add("scheme with colon", [](DesktopEntry& e) { e.schemes = {"vexelworks:"}; });
  add("scheme starting with a digit", [](DesktopEntry& e) { e.schemes = {"1vx"}; });
  add("scheme with semicolon", [](DesktopEntry& e) { e.schemes = {"vx;text/html"}; });
  for (const auto& [why, entry] : variants) {
    auto text = desktopEntryText(entry);
    ASSERT_FALSE(text.ok()) << why;
    EXPECT_EQ(text.error().code, kDesktopEntryInvalidArgument) << why;
  }
}

TEST(DesktopEntryInstall, WritesTheEntryUnderTheUserDataFolderAndMakesItTheSchemesDefault) {
  // The test main points XDG_DATA_HOME and XDG_CONFIG_HOME at a private temporary folder.
  const char* data = std::getenv("XDG_DATA_HOME");
  ASSERT_NE(data, nullptr);
  auto installed = installDesktopEntry(sampleEntry());
  ASSERT_TRUE(installed.ok()) << installed.error();
  EXPECT_EQ(installed->path, std::filesystem::path(data) / "applications" / "com.vexelworks.Vexelworks.desktop");
  EXPECT_EQ(readFile(installed->path), *desktopEntryText(sampleEntry()));
  struct stat info {};
  ASSERT_EQ(stat(installed->path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);

  if (!findProgramOnPath("xdg-mime")) {
    EXPECT_EQ(installed->registration, DesktopEntryInstallation::Registration::toolMissing);
    GTEST_SKIP() << "xdg-mime (xdg-utils) is not installed; the default handler is not checked";
  }
  EXPECT_EQ(installed->registration, DesktopEntryInstallation::Registration::registered) << installed->detail;
  // What the desktop asks when a browser opens a vexelworks: link.
  const auto config = std::filesystem::path(std::getenv("XDG_CONFIG_HOME"));
  const auto mimeapps = readFile(config / "mimeapps.list");
  EXPECT_NE(mimeapps.find("x-scheme-handler/vexelworks=com.vexelworks.Vexelworks.desktop"), std::string::npos)
      << mimeapps;
}

TEST(DesktopEntryInstall, AnUpdatedEntryReplacesTheOldOneAndAFileOnlyInstallLeavesDefaultsAlone) {
  auto entry = sampleEntry();
  entry.fileId = "com.vexelworks.FileOnly";
  ASSERT_TRUE(installDesktopEntry(entry, false).ok());
  entry.executable = "/usr/local/bin/vexelworks";
  auto second = installDesktopEntry(entry, false);
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(second->registration, DesktopEntryInstallation::Registration::notRequested);
  EXPECT_EQ(lineStartingWith(readFile(second->path), "Exec="), "Exec=\"/usr/local/bin/vexelworks\" %u");
  const auto mimeapps = std::filesystem::path(std::getenv("XDG_CONFIG_HOME")) / "mimeapps.list";
  if (std::filesystem::exists(mimeapps)) {
    EXPECT_EQ(readFile(mimeapps).find("FileOnly"), std::string::npos);
  }
}

TEST(DesktopEntryInstall, FindsProgramsOnPathLikeTheShell) {
  EXPECT_TRUE(findProgramOnPath("sh").has_value());
  EXPECT_FALSE(findProgramOnPath("vx-no-such-program-here").has_value());
  EXPECT_FALSE(findProgramOnPath("").has_value());
}

}  // namespace
}  // namespace vx
