// The application's desktop entry: the ".desktop" file through which the desktop learns that
// this program opens URLs of its custom scheme ("x-scheme-handler/<scheme>"), so a browser that
// follows such a link starts it with the URL as its argument. The application installs the entry
// for the user at start-up and asks xdg-mime to make it the scheme's default handler.
#pragma once

#include "platform/foundation/Error.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vx {

inline constexpr const char* kDesktopEntryErrorDomain = "vx.DesktopEntry";
enum DesktopEntryErrorCode : std::int64_t {
  kDesktopEntryInvalidArgument = 1,  // a field that cannot be written into an entry
  kDesktopEntryNoDataFolder = 2,     // neither $XDG_DATA_HOME nor a home folder
  kDesktopEntryWriteFailed = 3,      // the file could not be written
};

struct DesktopEntry {
  // The desktop file id without ".desktop" ("com.vexelworks.Vexelworks"): letters, digits,
  // '.', '_' and '-', not starting with '.' or '-'.
  std::string fileId;
  // Shown in menus and "open with" lists; any UTF-8 text without control characters.
  std::string name;
  std::string comment;  // optional
  std::string icon;     // optional icon name or absolute path
  // The program to start; an absolute path.
  std::filesystem::path executable;
  // The URL schemes the program opens (RFC 3986 scheme syntax; written in lower case).
  std::vector<std::string> schemes;
};

// The text of the entry:
//   [Desktop Entry] Type=Application Name=… [Comment=…] [Icon=…]
//   Exec="<executable>" %u   (quoted and escaped as the desktop entry rules ask)
//   Terminal=false  NoDisplay=false  Categories=Graphics;
//   MimeType=x-scheme-handler/<scheme>;…
// Error kDesktopEntryInvalidArgument for a bad file id, an empty name, a control character in a
// text field, a relative or empty executable path, a path with control characters, no scheme or
// a scheme that is not RFC 3986 syntax.
Result<std::string> desktopEntryText(const DesktopEntry& entry);

// True for a URL scheme by RFC 3986: a letter, then letters, digits, '+', '-' or '.'.
bool isValidURLScheme(std::string_view scheme);

// Where per-user entries live: $XDG_DATA_HOME/applications (~/.local/share/applications when
// XDG_DATA_HOME is unset or not absolute); empty when no home folder is known.
std::filesystem::path userApplicationsDirectory();

struct DesktopEntryInstallation {
  enum class Registration {
    registered,    // xdg-mime made the entry the default handler of every scheme
    toolMissing,   // xdg-mime is not on PATH; the entry is installed, the default left alone
    failed,        // xdg-mime ran and failed for at least one scheme (see `detail`)
    notRequested,  // the caller asked only for the file
  };
  std::filesystem::path path;
  Registration registration = Registration::toolMissing;
  std::string detail;
};

// Writes the entry to userApplicationsDirectory()/<fileId>.desktop (mode 0644, through a
// temporary file and a rename, the folder made when missing), then, when `registerAsDefault` is
// true and xdg-mime is on PATH, runs "xdg-mime default <fileId>.desktop x-scheme-handler/<scheme>"
// for each scheme (no shell; the arguments are passed as they are). An unchanged file is not
// rewritten. Errors: those of desktopEntryText, kDesktopEntryNoDataFolder,
// kDesktopEntryWriteFailed. A failing xdg-mime is not an error: it shows in `registration`.
Result<DesktopEntryInstallation> installDesktopEntry(const DesktopEntry& entry, bool registerAsDefault = true);

// The full path of a program found on PATH (as execvp would find it), or none.
std::optional<std::filesystem::path> findProgramOnPath(std::string_view program);

}  // namespace vx
