#include "app/service/Icon.h"
#include "app/service/ServiceConfig.h"
#include "app/service/VexelUser.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>

namespace Vexelworks {
namespace {

using nlohmann::json;

json validIcon() {
  return json::parse(R"({
    "id": "1234",
    "term_slug": "coffee-cup",
    "term": "coffee cup",
    "icon_url": "https://static.example.test/svg/1234.svg",
    "permalink": "/term/coffee-cup/1234",
    "uploader_id": "77",
    "uploader": {"name": "Ada Lovelace", "username": "ada", "location": "London",
                 "permalink": "/ada"},
    "collection": [{"id": "9", "name": "Kitchen"}, {"id": "10", "name": "Other"}]
  })");
}

const vx::URL& webBase() {
  static const vx::URL base = *vx::URL::parse("https://www.example.test");
  return base;
}

// What a fixture expects of the built icon.
enum class Outcome { none, complete, defaultCreator, noCollection };

TEST(IconTest, FixtureTable) {
  struct Case {
    const char* name;
    std::function<void(json&)> change;
    Outcome outcome;
  };
  const std::vector<Case> cases = {
      {"complete", [](json&) {}, Outcome::complete},
      {"id is a number", [](json& j) { j["id"] = 1234; }, Outcome::none},
      {"id missing", [](json& j) { j.erase("id"); }, Outcome::none},
      {"id null", [](json& j) { j["id"] = nullptr; }, Outcome::none},
      {"term_slug missing", [](json& j) { j.erase("term_slug"); }, Outcome::none},
      {"term is a list", [](json& j) { j["term"] = json::array({"a"}); }, Outcome::none},
      {"icon_url missing", [](json& j) { j.erase("icon_url"); }, Outcome::none},
      {"icon_url with a space", [](json& j) { j["icon_url"] = "https://x.test/a b.svg"; }, Outcome::none},
      {"icon_url is a number", [](json& j) { j["icon_url"] = 5; }, Outcome::none},
      {"permalink missing", [](json& j) { j.erase("permalink"); }, Outcome::none},
      {"permalink is an object", [](json& j) { j["permalink"] = json::object(); }, Outcome::none},
      {"uploader_id missing", [](json& j) { j.erase("uploader_id"); }, Outcome::none},
      {"uploader_id is a number", [](json& j) { j["uploader_id"] = 77; }, Outcome::none},
      {"uploader missing", [](json& j) { j.erase("uploader"); }, Outcome::none},
      {"uploader is text", [](json& j) { j["uploader"] = "ada"; }, Outcome::none},
      {"uploader location null", [](json& j) { j["uploader"]["location"] = nullptr; }, Outcome::defaultCreator},
      {"uploader name missing", [](json& j) { j["uploader"].erase("name"); }, Outcome::defaultCreator},
      {"uploader username a number", [](json& j) { j["uploader"]["username"] = 3; }, Outcome::defaultCreator},
      {"uploader permalink missing", [](json& j) { j["uploader"].erase("permalink"); }, Outcome::defaultCreator},
      {"uploader empty object", [](json& j) { j["uploader"] = json::object(); }, Outcome::defaultCreator},
      {"collection empty list", [](json& j) { j["collection"] = json::array(); }, Outcome::noCollection},
      {"collection missing", [](json& j) { j.erase("collection"); }, Outcome::noCollection},
      {"collection first lacks name", [](json& j) { j["collection"][0].erase("name"); }, Outcome::noCollection},
      {"collection is an object",
       [](json& j) {
         j["collection"] = json{{"id", "9"}};
       },
       Outcome::noCollection},
      {"collection first is text", [](json& j) { j["collection"] = json::array({"x"}); }, Outcome::noCollection},
  };
  for (const auto& c : cases) {
    json fixture = validIcon();
    c.change(fixture);
    auto icon = Icon::make(fixture, webBase());
    if (c.outcome == Outcome::none) {
      EXPECT_EQ(icon, nullptr) << c.name;
      continue;
    }
    ASSERT_NE(icon, nullptr) << c.name;
    EXPECT_EQ(icon->id, "1234") << c.name;
    ASSERT_NE(icon->creator, nullptr) << c.name;
    if (c.outcome == Outcome::defaultCreator) {
      EXPECT_EQ(icon->creator->id, "6") << c.name;
      EXPECT_EQ(*icon->creator, *Creator::defaultCreator()) << c.name;
    } else {
      EXPECT_EQ(icon->creator->id, "77") << c.name;
    }
    if (c.outcome == Outcome::noCollection) {
      EXPECT_EQ(icon->collection, nullptr) << c.name;
    } else {
      ASSERT_NE(icon->collection, nullptr) << c.name;
      EXPECT_EQ(icon->collection->id, "9");
      EXPECT_EQ(icon->collection->name, "Kitchen");
    }
  }
  EXPECT_EQ(Icon::make(json::array(), webBase()), nullptr);
  EXPECT_EQ(Icon::make(json(), webBase()), nullptr);
}

TEST(IconTest, CompleteIconFields) {
  auto icon = Icon::make(validIcon(), webBase());
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(icon->termSlug, "coffee-cup");
  EXPECT_EQ(icon->name, "Coffee Cup");
  EXPECT_EQ(icon->svgURL.string(), "https://static.example.test/svg/1234.svg");
  EXPECT_EQ(icon->iconURL.string(), "https://www.example.test/term/coffee-cup/1234");
  EXPECT_EQ(*icon->creator, (Creator{"77", "Ada Lovelace", "ada", "London", "/ada"}));
  EXPECT_EQ(icon->title(), "Coffee Cup by Ada Lovelace");
}

TEST(IconTest, PermalinkIsEncodedAsAPathAndResolvedAgainstTheWebSite) {
  struct Case {
    std::string permalink;
    std::string url;
  };
  const std::vector<Case> cases = {
      {"/term/cup/1", "https://www.example.test/term/cup/1"},
      {"term/cup", "https://www.example.test/term/cup"},
      {"/term/coffee cup", "https://www.example.test/term/coffee%20cup"},
      {"/a?b#c", "https://www.example.test/a%3Fb%23c"},
      {"/caf\xC3\xA9", "https://www.example.test/caf%C3%A9"},
      {"/already%20encoded", "https://www.example.test/already%2520encoded"},
      {"", "https://www.example.test"},
  };
  for (const auto& c : cases) {
    json fixture = validIcon();
    fixture["permalink"] = c.permalink;
    auto icon = Icon::make(fixture, webBase());
    ASSERT_NE(icon, nullptr) << c.permalink;
    EXPECT_EQ(icon->iconURL.string(), c.url) << c.permalink;
  }
}

TEST(IconTest, DefaultWebBaseComesFromTheServiceConfiguration) {
  setWebBaseURL(vx::URL::parse("http://127.0.0.1:9999"));
  auto icon = Icon::make(validIcon());
  setWebBaseURL(std::nullopt);
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(icon->iconURL.string(), "http://127.0.0.1:9999/term/coffee-cup/1234");
}

TEST(IconTest, CapitalisationTable) {
  struct Case {
    std::string in, out;
  };
  const std::vector<Case> cases = {
      {"coffee cup", "Coffee Cup"},
      {"DNA", "Dna"},
      {"COFFEE CUP", "Coffee Cup"},
      {"hello-world", "Hello-World"},
      {"don't stop", "Don't Stop"},
      {"3d printer", "3d Printer"},
      {"  two  spaces ", "  Two  Spaces "},
      {"\xC3\xA9"
       "clair",
       "\xC3\x89"
       "clair"},  // éclair -> Éclair
      {"\xC3\x89"
       "COLE",
       "\xC3\x89"
       "cole"},                                                  // ÉCOLE -> École
      {"\xD0\xBC\xD0\xB8\xD1\x80", "\xD0\x9C\xD0\xB8\xD1\x80"},  // мир -> Мир
      {"", ""},
      {"bad\xFFutf", "Bad\xFFUtf"},  // malformed bytes pass through and end the word
  };
  for (const auto& c : cases) EXPECT_EQ(capitalized(c.in), c.out) << c.in;
}

TEST(IconTest, TitleWithoutCreatorName) {
  json fixture = validIcon();
  fixture["uploader"]["name"] = "";
  auto icon = Icon::make(fixture, webBase());
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(icon->creator->id, "77");  // an empty name still makes a creator
  EXPECT_EQ(icon->title(), "Coffee Cup");
}

TEST(IconTest, DefaultCreatorRecord) {
  auto a = Creator::defaultCreator();
  auto b = Creator::defaultCreator();
  EXPECT_NE(a.get(), b.get());  // a new record each time
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(a->id, "6");
  EXPECT_FALSE(a->name.empty());
  EXPECT_TRUE(a->location.empty());
  EXPECT_EQ(a->permalink, "/" + a->username);
}

TEST(CollectionTest, Table) {
  EXPECT_NE(Collection::make(json{{"id", "1"}, {"name", "n"}}), nullptr);
  EXPECT_EQ(Collection::make(json{{"id", 1}, {"name", "n"}}), nullptr);
  EXPECT_EQ(Collection::make(json{{"id", "1"}}), nullptr);
  EXPECT_EQ(Collection::make(json::array()), nullptr);
}

json validUser() {
  return json::parse(R"({"full_name": "Ada Lovelace",
    "auth_user": {"id": "4821", "username": "ada", "email": "ada@example.test"}})");
}

TEST(VexelUserTest, FixtureTable) {
  struct Case {
    const char* name;
    std::function<void(json&)> change;
    std::optional<std::int64_t> id;
  };
  const std::vector<Case> cases = {
      {"complete", [](json&) {}, 4821},
      {"id digits then letter", [](json& j) { j["auth_user"]["id"] = "12a"; }, std::nullopt},
      {"id a number", [](json& j) { j["auth_user"]["id"] = 12; }, std::nullopt},
      {"id empty", [](json& j) { j["auth_user"]["id"] = ""; }, std::nullopt},
      {"id with blank", [](json& j) { j["auth_user"]["id"] = " 12"; }, std::nullopt},
      {"id beyond 64 bits", [](json& j) { j["auth_user"]["id"] = "9223372036854775808"; }, std::nullopt},
      {"id largest", [](json& j) { j["auth_user"]["id"] = "9223372036854775807"; }, INT64_MAX},
      {"id negative", [](json& j) { j["auth_user"]["id"] = "-5"; }, -5},
      {"id plus sign", [](json& j) { j["auth_user"]["id"] = "+5"; }, 5},
      {"id double sign", [](json& j) { j["auth_user"]["id"] = "+-5"; }, std::nullopt},
      {"id hex", [](json& j) { j["auth_user"]["id"] = "0x10"; }, std::nullopt},
      {"full_name missing", [](json& j) { j.erase("full_name"); }, std::nullopt},
      {"full_name null", [](json& j) { j["full_name"] = nullptr; }, std::nullopt},
      {"auth_user missing", [](json& j) { j.erase("auth_user"); }, std::nullopt},
      {"auth_user a list", [](json& j) { j["auth_user"] = json::array(); }, std::nullopt},
      {"username missing", [](json& j) { j["auth_user"].erase("username"); }, std::nullopt},
      {"email a bool", [](json& j) { j["auth_user"]["email"] = true; }, std::nullopt},
  };
  for (const auto& c : cases) {
    json fixture = validUser();
    c.change(fixture);
    auto user = VexelUser::make(fixture);
    ASSERT_EQ(user.has_value(), c.id.has_value()) << c.name;
    if (user) {
      EXPECT_EQ(user->id, *c.id) << c.name;
      EXPECT_EQ(user->name, "Ada Lovelace");
      EXPECT_EQ(user->username, "ada");
      EXPECT_EQ(user->email, "ada@example.test");
    }
  }
}

}  // namespace
}  // namespace Vexelworks
