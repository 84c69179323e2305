#include "platform/foundation/UUID.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <thread>
#include <vector>

namespace vx {
namespace {

TEST(UUIDTest, RandomIsVersion4WithTheRfcVariantAndDistinct) {
  std::set<UUID> seen;
  for (int i = 0; i < 1000; ++i) {
    auto uuid = UUID::random();
    ASSERT_TRUE(uuid.ok());
    EXPECT_EQ(uuid->version(), 4);
    EXPECT_EQ(uuid->bytes()[8] & 0xC0, 0x80);
    EXPECT_FALSE(uuid->isNil());
    EXPECT_TRUE(seen.insert(*uuid).second);
  }
}

TEST(UUIDTest, RandomFromManyThreadsStaysUnique) {
  std::vector<std::vector<UUID>> perThread(4);
  std::vector<std::thread> threads;
  for (auto& bucket : perThread) {
    threads.emplace_back([&bucket] {
      for (int i = 0; i < 500; ++i) bucket.push_back(UUID::make());
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<UUID> all;
  for (const auto& bucket : perThread) all.insert(bucket.begin(), bucket.end());
  EXPECT_EQ(all.size(), 2000u);
}

TEST(UUIDTest, FailingRandomSourceIsAnErrorNeverAZeroUUID) {
  UUID::setRandomSourceForTesting([](std::uint8_t* buffer, std::size_t size) {
    std::memset(buffer, 0, size);
    return false;
  });
  auto uuid = UUID::random();
  UUID::setRandomSourceForTesting(nullptr);
  ASSERT_FALSE(uuid.ok());
  EXPECT_EQ(uuid.error().domain, "vx.UUID");
  EXPECT_TRUE(UUID::random().ok());
}

TEST(UUIDTest, MakeStopsTheProgramWhenTheRandomSourceFails) {
  EXPECT_DEATH(
      {
        UUID::setRandomSourceForTesting([](std::uint8_t*, std::size_t) { return false; });
        (void)UUID::make();
      },
      "random source failed");
}

TEST(UUIDTest, TextFormsAndParsing) {
  const auto uuid = UUID::parse("0f8fad5b-d9cb-469f-a165-70867728950e");
  ASSERT_TRUE(uuid.has_value());
  EXPECT_EQ(uuid->uuidString(), "0F8FAD5B-D9CB-469F-A165-70867728950E");
  EXPECT_EQ(uuid->string(UUID::LetterCase::Lower), "0f8fad5b-d9cb-469f-a165-70867728950e");
  EXPECT_EQ(uuid->string(UUID::LetterCase::Upper, false), "0F8FAD5BD9CB469FA16570867728950E");
  EXPECT_EQ(uuid->string(UUID::LetterCase::Lower, false), "0f8fad5bd9cb469fa16570867728950e");
  EXPECT_EQ(uuid->bytes()[0], 0x0F);
  EXPECT_EQ(uuid->bytes()[15], 0x0E);

  for (const char* same : {"0F8FAD5B-D9CB-469F-A165-70867728950E", "0f8fad5bd9cb469fa16570867728950e",
                           "0F8FAD5BD9CB469FA16570867728950e"}) {
    EXPECT_EQ(UUID::parse(same), uuid) << same;
  }
  for (const char* bad : {"", "0f8fad5b-d9cb-469f-a165-70867728950", "0f8fad5b-d9cb-469f-a165-70867728950e0",
                          "0f8fad5bd9cb-469f-a165-70867728950e-", "0f8fad5b-d9cb-469f-a165_70867728950e",
                          "0g8fad5b-d9cb-469f-a165-70867728950e", "0f8fad5bd9cb469fa16570867728950",
                          "{0f8fad5b-d9cb-469f-a165-70867728950e}", "0f8fad5b-d9cb-469f-a165-70867728950 "}) {
    EXPECT_FALSE(UUID::parse(bad).has_value()) << bad;
  }
  const auto made = UUID::make();
  EXPECT_EQ(UUID::parse(made.uuidString()), made);
  EXPECT_EQ(UUID::parse(made.string(UUID::LetterCase::Lower, false)), made);
  EXPECT_TRUE(UUID().isNil());
  EXPECT_EQ(std::hash<UUID>{}(made), std::hash<UUID>{}(*UUID::parse(made.uuidString())));
}

}  // namespace
}  // namespace vx
