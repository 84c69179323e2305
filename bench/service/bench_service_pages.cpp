// Parsing a 100-icon page reply into Icon records, beside the bare JSON parse of the same bytes:
// how much the record rules cost on top of reading the JSON.
#include "app/service/Helpers.h"
#include "app/service/IconsOperations.h"

#include <benchmark/benchmark.h>

#include <fstream>

namespace {

// A page reply of 100 icons in the API's shape, made from the sample catalogue.
std::string makePageReply() {
  std::ifstream in(VX_SAMPLE_CATALOG);
  const auto catalog = nlohmann::json::parse(in);
  std::map<std::string, nlohmann::json> creators;
  for (const auto& c : catalog["creators"]) creators[c["id"]] = c;
  nlohmann::json icons = nlohmann::json::array();
  const auto& source = catalog["icons"];
  for (std::size_t i = 0; icons.size() < 100; ++i) {
    const auto& icon = source[i % source.size()];
    const auto& creator = creators[icon["uploader_id"]];
    icons.push_back({{"id", icon["id"]},
                     {"term", icon["term"]},
                     {"term_slug", icon["term_slug"]},
                     {"icon_url", "http://127.0.0.1:8765/static/" + icon["file"].get<std::string>()},
                     {"permalink", icon["permalink"]},
                     {"uploader_id", icon["uploader_id"]},
                     {"uploader",
                      {{"name", creator["name"]},
                       {"username", creator["username"]},
                       {"location", creator["location"]},
                       {"permalink", creator["permalink"]}}},
                     {"collection", nlohmann::json::array({{{"id", "2001"}, {"name", "Weather Basics"}}})}});
  }
  return nlohmann::json{{"icons", icons}, {"total", 1000}}.dump();
}

const std::string& reply() {
  static const std::string text = makePageReply();
  return text;
}

void BM_ParsePageIntoIcons(benchmark::State& state) {
  for (auto _ : state) {
    auto json = Vexelworks::decodeJSON(std::string_view(reply()));
    auto icons = Vexelworks::parseIcons((*json)["icons"]);
    benchmark::DoNotOptimize(icons.data());
    if (icons.size() != 100) state.SkipWithError("not every icon parsed");
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("pages");
}
BENCHMARK(BM_ParsePageIntoIcons);

void BM_BareJsonParse(benchmark::State& state) {
  for (auto _ : state) {
    auto json = nlohmann::json::parse(reply());
    benchmark::DoNotOptimize(json.size());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("pages");
}
BENCHMARK(BM_BareJsonParse);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  // The ratio of the two, measured in this run.
  const int rounds = 200;
  auto time = [&](auto&& body) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) body();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / rounds;
  };
  const double records = time([] {
    auto json = Vexelworks::decodeJSON(std::string_view(reply()));
    benchmark::DoNotOptimize(Vexelworks::parseIcons((*json)["icons"]).size());
  });
  const double bare = time([] { benchmark::DoNotOptimize(nlohmann::json::parse(reply()).size()); });
  std::printf("pages/s into records: %.0f, bare JSON parse: %.0f, ratio (records/bare time): %.2f\n", 1.0 / records,
              1.0 / bare, records / bare);
  benchmark::Shutdown();
  return 0;
}
