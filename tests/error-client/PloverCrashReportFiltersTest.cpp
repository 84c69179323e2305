// Report filters and deep key paths: lookups on nested reports, stores and removals that fail
// with an error instead of a fault, and the pipeline/combine ordering and stop rules.
#include "reporting/error-client/PloverCrashReportFilters.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using Report = PloverReport;

const Report kReport = Report::parse(R"({
  "crash": {"threads": [{"name": "main"}, {"name": "worker"}], "error": {"type": "signal"}},
  "system": {"memory": {"size": 1024}}
})");

struct Outcome {
  std::vector<Report> reports;
  bool completed = false;
  std::optional<vx::Error> error;
  int calls = 0;
};

Outcome run(PloverCrashReportFilter& filter, std::vector<Report> input) {
  Outcome outcome;
  filter.filterReports(std::move(input),
                       [&](std::vector<Report> reports, bool completed, std::optional<vx::Error> error) {
                         outcome.reports = std::move(reports);
                         outcome.completed = completed;
                         outcome.error = std::move(error);
                         ++outcome.calls;
                       });
  return outcome;
}

// Appends its tag to every text report, on another thread, so ordering through asynchronous
// completions is what the test sees.
class TagFilter : public PloverCrashReportFilter {
 public:
  explicit TagFilter(std::string tag, bool fail = false) : tag_(std::move(tag)), fail_(fail) {}
  void filterReports(std::vector<Report> reports, Completion done) override {
    ++runs;
    std::thread([this, reports = std::move(reports), done]() mutable {
      for (auto& r : reports) r = r.get<std::string>() + tag_;
      done(std::move(reports), !fail_, fail_ ? std::optional(vx::Error("Tag", 0, "failed")) : std::nullopt);
    }).join();
  }
  int runs = 0;

 private:
  std::string tag_;
  bool fail_;
};

TEST(PloverDeepKeyTest, LookupTable) {
  struct Case {
    const char* path;
    std::optional<Report> expected;
  } cases[] = {
      {"crash/threads/1/name", Report("worker")},
      {"///crash/threads/1/name", Report("worker")},
      {"crash/threads/0/name", Report("main")},
      {"crash/threads/a/name", std::nullopt},
      {"crash/threads/7/name", std::nullopt},
      {"crash/threads/99999999999999999999999/name", std::nullopt},
      {"system/memory/size", Report(1024)},
      {"system/memory/size/deeper", std::nullopt},
      {"missing", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    const Report* found = plover_objectForKeyPath(kReport, c.path);
    if (c.expected) {
      ASSERT_NE(found, nullptr) << c.path;
      EXPECT_EQ(*found, *c.expected) << c.path;
    } else {
      EXPECT_EQ(found, nullptr) << c.path;
    }
  }
  EXPECT_EQ(plover_keysFromKeyPath("//a//b"), (std::vector<std::string>{"a", "", "b"}));
}

TEST(PloverDeepKeyTest, StoreAndRemoveGiveErrorsNotFaults) {
  Report report = kReport;
  EXPECT_FALSE(plover_setObjectForKeyPath(report, "x", "crash/threads/0/name"));
  EXPECT_EQ(*plover_objectForKeyPath(report, "crash/threads/0/name"), "x");
  EXPECT_FALSE(plover_setObjectForKeyPath(report, 5, "system/new"));
  EXPECT_EQ(*plover_objectForKeyPath(report, "system/new"), 5);
  EXPECT_FALSE(plover_removeObjectForKeyPath(report, "crash/threads/0"));
  EXPECT_EQ(report["crash"]["threads"].size(), 1u);

  auto noParent = plover_setObjectForKeyPath(report, 1, "nowhere/at/all");
  ASSERT_TRUE(noParent);
  EXPECT_EQ(noParent->description, "Parent [\"nowhere\",\"at\"] does not resolve to a valid object");
  auto scalarParent = plover_setObjectForKeyPath(report, 1, "system/memory/size/x");
  ASSERT_TRUE(scalarParent);
  EXPECT_NE(scalarParent->description.find("does not respond to \"setObject:forKey:\""), std::string::npos);
  EXPECT_TRUE(plover_setObjectForKeyPath(report, 1, "crash/threads/5"));
  EXPECT_TRUE(plover_removeObjectForKeyPath(report, "crash/threads/5"));
  auto empty = plover_setObjectForDeepKey(report, 1, {});
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->description, "deepKey [] must contain at least one key");
  EXPECT_TRUE(plover_removeObjectForDeepKey(report, {}));
}

TEST(PloverDeepKeyTest, UnsignedValueDetectsTheBase) {
  EXPECT_EQ(plover_unsignedLongLongValue("0x1F"), 31u);
  EXPECT_EQ(plover_unsignedLongLongValue("017"), 15u);
  EXPECT_EQ(plover_unsignedLongLongValue("42abc"), 42u);
  EXPECT_EQ(plover_unsignedLongLongValue("zz"), 0u);
  EXPECT_EQ(plover_unsignedValue(Report(18446744073709551615ull)), 18446744073709551615ull);
  EXPECT_EQ(plover_unsignedValue(Report("0x10")), 16u);
}

TEST(PloverPipelineTest, OrderFlatteningAddFilterAndStop) {
  auto a = std::make_shared<TagFilter>("A");
  auto b = std::make_shared<TagFilter>("B");
  auto c = std::make_shared<TagFilter>("C");
  auto pipeline =
      PloverCrashReportFilterPipeline::filterWithFilters({std::vector<PloverFilterPtr>{a, b}, PloverFilterPtr(c)});
  EXPECT_EQ(pipeline->filters().size(), 3u);
  auto out = run(*pipeline, {Report("r")});
  EXPECT_EQ(out.calls, 1);
  EXPECT_TRUE(out.completed);
  EXPECT_EQ(out.reports, (std::vector<Report>{"rABC"}));

  auto empty = PloverCrashReportFilterPipeline::filterWithFilters();
  empty->addFilter(a);
  empty->addFilter(b);
  EXPECT_EQ(run(*empty, {Report("r")}).reports, (std::vector<Report>{"rBA"}));

  auto failing = std::make_shared<TagFilter>("F", true);
  auto after = std::make_shared<TagFilter>("Z");
  auto stopped = PloverCrashReportFilterPipeline::filterWithFilters({PloverFilterPtr(failing), PloverFilterPtr(after)});
  auto result = run(*stopped, {Report("r")});
  EXPECT_FALSE(result.completed);
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->description, "failed");
  EXPECT_EQ(after->runs, 0);
}

TEST(PloverCombineTest, DictionariesFollowTheFirstOutputAndMismatchIsAnError) {
  auto threads = PloverCrashReportFilterObjectForKey::filterWithKey("crash/error/type", false);
  auto subset = std::make_shared<PloverCrashReportFilterSubset>(std::vector<std::string>{"system/memory/size"});
  auto combine = PloverCrashReportFilterCombine::filterWithFiltersAndKeys(
      {PloverFilterPtr(threads), "type", PloverFilterPtr(nullptr), PloverFilterPtr(subset), "sub"});
  EXPECT_EQ(combine->filters().size(), 2u);
  auto out = run(*combine, {kReport, kReport});
  ASSERT_TRUE(out.completed);
  ASSERT_EQ(out.reports.size(), 2u);
  EXPECT_EQ(out.reports[1], Report::parse(R"({"type":"signal","sub":{"size":1024}})"));

  PloverCrashReportFilterCombine mismatch({threads, subset}, {"only"});
  auto bad = run(mismatch, {kReport});
  EXPECT_FALSE(bad.completed);
  EXPECT_EQ(bad.error->description, "Key/filter mismatch (1 keys, 2 filters");
}

TEST(PloverFiltersTest, SimpleFiltersTable) {
  PloverCrashReportFilterObjectForKey missing("crash/none", false);
  auto m = run(missing, {kReport});
  EXPECT_FALSE(m.completed);
  EXPECT_EQ(m.error->description, "Key not found: crash/none");
  EXPECT_EQ(m.error->domain, "PloverCrashReportFilterObjectForKey");
  PloverCrashReportFilterObjectForKey allowed("crash/none", true);
  EXPECT_EQ(run(allowed, {kReport}).reports, (std::vector<Report>{Report::object()}));

  PloverCrashReportFilterConcatenate concat("\n== %@ ==\n", {"crash/error/type", "system/memory/size"});
  EXPECT_EQ(run(concat, {kReport}).reports[0], "signal\n== system/memory/size ==\n1024");

  PloverCrashReportFilterSubset subset({"crash/error/type", "crash/nothing"});
  auto s = run(subset, {kReport});
  EXPECT_FALSE(s.completed);
  EXPECT_EQ(s.error->description, "Report did not have key path crash/nothing");

  PloverCrashReportFilterStringToData toData;
  auto d = run(toData, {Report("héllo")});
  ASSERT_TRUE(d.completed);
  PloverCrashReportFilterDataToString toText;
  EXPECT_EQ(run(toText, d.reports).reports[0], "héllo");
  auto bad = run(toText, {Report::binary({0x61, 0xFF, 0x62})});
  EXPECT_FALSE(bad.completed);
  EXPECT_EQ(bad.error->description, "Could not convert report to UTF-8");
  PloverCrashReportFilterPassthrough pass;
  EXPECT_EQ(run(pass, {kReport}).reports[0], kReport);
}

}  // namespace
