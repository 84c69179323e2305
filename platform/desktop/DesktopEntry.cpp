#include "platform/desktop/DesktopEntry.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <pwd.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vx {

namespace {

Error invalid(std::string description) {
  return Error(kDesktopEntryErrorDomain, kDesktopEntryInvalidArgument, std::move(description));
}

bool hasControlCharacter(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

bool isValidFileId(std::string_view id) {
  if (id.empty() || id.size() > 200 || id.front() == '.' || id.front() == '-') return false;
  for (char c : id) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::string lowercase(std::string_view text) {
  std::string out(text);
  for (auto& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// A value of type string or localestring: backslash escapes for the characters the format
// gives a meaning to. Callers have already refused control characters.
std::string escapeValue(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else {
      out += c;
    }
  }
  // A leading space would be dropped by readers.
  if (!out.empty() && out.front() == ' ') out = "\\s" + out.substr(1);
  return out;
}

// The Exec key's program argument: quoted, with ", `, $ and \ escaped inside the quotes, % as
// %%, and then the general string escaping applied on top (so one literal backslash becomes
// four), as the desktop entry rules ask.
std::string execArgument(const std::string& argument) {
  std::string quoted = "\"";
  for (char c : argument) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    if (c == '%') {
      quoted += "%%";
      continue;
    }
    quoted += c;
  }
  quoted += '"';
  std::string out;
  for (char c : quoted) {
    if (c == '\\') {
      out += "\\\\";
    } else {
      out += c;
    }
  }
  return out;
}

std::filesystem::path homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
  struct passwd entry {};
  struct passwd* result = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
      result->pw_dir != nullptr && result->pw_dir[0] == '/') {
    return result->pw_dir;
  }
  return {};
}

// Runs the program with the arguments (no shell), its standard output and error captured.
// Returns the exit status, or -1 when it could not be started or did not exit normally.
int runProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments, std::string& output) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::vector<std::string> storage;
  storage.push_back(program.string());
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    return -1;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n > 0) {
      if (output.size() < 64 * 1024) output.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool writeFile(const std::filesystem::path& path, const std::string& text, std::string& why) {
  const std::string temporary = path.string() + ".tmp-" + std::to_string(getpid());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    why = std::strerror(errno);
    return false;
  }
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = write(fd, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      why = std::strerror(errno);
      close(fd);
      unlink(temporary.c_str());
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  // The mode asked for above is reduced by the umask; readers need 0644.
  fchmod(fd, 0644);
  if (fsync(fd) != 0 || close(fd) != 0) {
    why = std::strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    why = std::strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool isValidURLScheme(std::string_view scheme) {
  if (scheme.empty()) return false;
  auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (!isAlpha(scheme.front())) return false;
  for (char c : scheme) {
    if (!(isAlpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.')) return false;
  }
  return true;
}

Result<std::string> desktopEntryText(const DesktopEntry& entry) {
  if (!isValidFileId(entry.fileId)) return invalid("The desktop file id \"" + entry.fileId + "\" is not valid.");
  if (entry.name.empty()) return invalid("The desktop entry needs a name.");
  for (const auto* field : {&entry.name, &entry.comment, &entry.icon}) {
    if (hasControlCharacter(*field)) return invalid("A desktop entry field holds a control character.");
  }
  const std::string executable = entry.executable.string();
  if (executable.empty() || !entry.executable.is_absolute()) {
    return invalid("The desktop entry needs an absolute executable path.");
  }
  if (hasControlCharacter(executable)) return invalid("The executable path holds a control character.");
  if (entry.schemes.empty()) return invalid("The desktop entry declares no URL scheme.");
  std::string mimeTypes;
  for (const auto& scheme : entry.schemes) {
    if (!isValidURLScheme(scheme)) return invalid("\"" + scheme + "\" is not a URL scheme.");
    mimeTypes += "x-scheme-handler/" + lowercase(scheme) + ";";
  }

  std::ostringstream out;
  out << "[Desktop Entry]\n"
      << "Type=Application\n"
      << "Version=1.0\n"
      << "Name=" << escapeValue(entry.name) << "\n";
  if (!entry.comment.empty()) out << "Comment=" << escapeValue(entry.comment) << "\n";
  if (!entry.icon.empty()) out << "Icon=" << escapeValue(entry.icon) << "\n";
  out << "Exec=" << execArgument(executable) << " %u\n"
      << "Terminal=false\n"
      << "NoDisplay=false\n"
      << "StartupNotify=true\n"
      << "Categories=Graphics;\n"
      << "MimeType=" << mimeTypes << "\n";
  return out.str();
}

std::filesystem::path userApplicationsDirectory() {
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/') {
    return std::filesystem::path(data) / "applications";
  }
  const auto home = homeFolder();
  if (home.empty()) return {};
  return home / ".local" / "share" / "applications";
}

std::optional<std::filesystem::path> findProgramOnPath(std::string_view program) {
  if (program.empty()) return std::nullopt;
  if (program.find('/') != std::string_view::npos) {
    if (access(std::string(program).c_str(), X_OK) == 0) return std::filesystem::path(program);
    return std::nullopt;
  }
  const char* pathVariable = std::getenv("PATH");
  std::string path = pathVariable != nullptr ? pathVariable : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= path.size()) {
    auto end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string folder = path.substr(start, end - start);
    if (folder.empty()) folder = ".";
    const auto candidate = std::filesystem::path(folder) / std::string(program);
    struct stat info {};
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return std::nullopt;
}

Result<DesktopEntryInstallation> installDesktopEntry(const DesktopEntry& entry, bool registerAsDefault) {
  auto text = desktopEntryText(entry);
  if (!text.ok()) return text.error();
  const auto folder = userApplicationsDirectory();
  if (folder.empty()) {
    return Error(kDesktopEntryErrorDomain, kDesktopEntryNoDataFolder,
                 "Neither XDG_DATA_HOME nor a home folder is known.");
  }
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    return Error(kDesktopEntryErrorDomain, kDesktopEntryWriteFailed,
                 "Cannot create " + folder.string() + ": " + ec.message());
  }
  DesktopEntryInstallation installation;
  installation.path = folder / (entry.fileId + ".desktop");

  std::string existing;
  {
    std::ifstream in(installation.path, std::ios::binary);
    if (in) existing.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (existing != *text) {
    std::string why;
    if (!writeFile(installation.path, *text, why)) {
      return Error(kDesktopEntryErrorDomain, kDesktopEntryWriteFailed,
                   "Cannot write " + installation.path.string() + ": " + why);
    }
  }

  if (!registerAsDefault) {
    installation.registration = DesktopEntryInstallation::Registration::notRequested;
    return installation;
  }
  const auto xdgMime = findProgramOnPath("xdg-mime");
  if (!xdgMime) {
    installation.registration = DesktopEntryInstallation::Registration::toolMissing;
    return installation;
  }
  installation.registration = DesktopEntryInstallation::Registration::registered;
  for (const auto& scheme : entry.schemes) {
    std::string output;
    const int status =
        runProgram(*xdgMime, {"default", entry.fileId + ".desktop", "x-scheme-handler/" + lowercase(scheme)}, output);
    if (status != 0) {
      installation.registration = DesktopEntryInstallation::Registration::failed;
      installation.detail += "xdg-mime default for " + lowercase(scheme) + " exited with " + std::to_string(status) +
                             (output.empty() ? "" : ": " + output);
    }
  }
  return installation;
}

}  // namespace vx
