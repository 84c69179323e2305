// The records the service's JSON replies become: an icon with its creator and collection.
// Each is built by one factory from a decoded JSON object and is either complete or not made at
// all. A member that is missing or holds another JSON type (a number where text is expected)
// counts as missing. Records never change once made and are shared by reference.
#pragma once

#include "platform/foundation/URL.h"

#include <nlohmann/json_fwd.hpp>

#include <memory>
#include <string>
#include <string_view>

namespace Vexelworks {

struct Creator {
  std::string id;
  std::string name;
  std::string username;
  std::string location;
  std::string permalink;

  // From the creator's id (given by the caller) and an object whose "name", "username",
  // "location" and "permalink" are all text ("location" may be empty but must be there).
  // nullptr when one is missing or not text, or `json` is not an object.
  static std::shared_ptr<const Creator> make(std::string id, const nlohmann::json& json);

  // The stand-in used when an icon's "uploader" lacks a member: id "6", the service's own
  // name and user name, empty location, permalink "/" + user name. A new record per call.
  static std::shared_ptr<const Creator> defaultCreator();
  static constexpr std::string_view kDefaultId = "6";
  static constexpr std::string_view kDefaultName = "Vexelworks";
  static constexpr std::string_view kDefaultUsername = "vexelworks";

  bool operator==(const Creator&) const = default;
};

struct Collection {
  std::string id;
  std::string name;

  // From an object whose "id" and "name" are text; nullptr otherwise.
  static std::shared_ptr<const Collection> make(const nlohmann::json& json);

  bool operator==(const Collection&) const = default;
};

struct Icon {
  std::string id;
  std::string termSlug;
  std::string name;                              // capitalised: every word starts upper-case and goes on lower-case
  vx::URL svgURL;                                // the icon's SVG file
  vx::URL iconURL;                               // the icon's page on the web site
  std::shared_ptr<const Creator> creator;        // never null
  std::shared_ptr<const Collection> collection;  // may be null

  // From an object of an icon page reply. Needs the text members "id", "term_slug", "term",
  // "icon_url" (parsing as a URL), "permalink" (percent-encoded as a URL path, then resolved
  // against the web-site base URL), "uploader_id" and the object "uploader"; nullptr when any
  // is missing or of another type. An "uploader" that does not make a creator gives the default
  // creator. A non-empty "collection" list gives a collection from its first element (none when
  // that element is incomplete).
  static std::shared_ptr<const Icon> make(const nlohmann::json& json);
  // The same, resolving the permalink against `webBase` instead of the configured web site.
  static std::shared_ptr<const Icon> make(const nlohmann::json& json, const vx::URL& webBase);

  // "Name by Creator", or the name alone when the creator's name is empty.
  std::string title() const;
};

// Every word of the text starts with a capital letter and goes on in lower case ("coffee cup"
// and "COFFEE CUP" give "Coffee Cup", "DNA" gives "Dna"). A word starts after a blank or a
// punctuation mark other than an apostrophe. Letters outside ASCII are mapped too.
std::string capitalized(std::string_view text);

}  // namespace Vexelworks
