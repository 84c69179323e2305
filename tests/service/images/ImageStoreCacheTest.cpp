#include "app/service/Images/ImageStore.h"

#include "service/images/ImageTestSupport.h"
#include "tools/devservice/DevService.h"

#include "platform/foundation/DispatchQueue.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace Vexelworks {
namespace {

using namespace std::chrono_literals;
using namespace Vexelworks::testing;
using vx::devservice::DevService;

constexpr const char* kAnchorPath = "/static/icons/anchor-30015.svg";

class ImageStoreCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.start().ok());
    store_ = ImageStore::make();
  }

  // The anchor under its own id; the query tells the copies apart in the request log.
  std::shared_ptr<const Icon> anchorCopy(int n) {
    return makeIcon(std::to_string(n), "anchor", service_.url(std::string(kAnchorPath) + "?copy=" + std::to_string(n)));
  }

  std::size_t downloadsOf(int n) {
    std::size_t count = 0;
    for (const auto& request : service_.requests(kAnchorPath)) {
      if (request.queryValue("copy") == std::to_string(n)) ++count;
    }
    return count;
  }

  bool fetchAndWait(const std::shared_ptr<const Icon>& icon) {
    bool done = false;
    store_->fetch(icon, [&done] { done = true; });
    return vx::RunLoop::runUntil([&done] { return done; }, 15s);
  }

  DevService service_;
  std::shared_ptr<ImageStore> store_;
};

TEST_F(ImageStoreCacheTest, EveryCacheHasAByteLimit) {
  EXPECT_EQ(store_->svgCache().totalCostLimit(), kSVGCacheCostLimit);
  EXPECT_EQ(store_->pdfCache().totalCostLimit(), kPDFCacheCostLimit);
  EXPECT_EQ(store_->epsCache().totalCostLimit(), kEPSCacheCostLimit);
  for (const auto limit : {kSVGCacheCostLimit, kPDFCacheCostLimit, kEPSCacheCostLimit}) {
    EXPECT_GT(limit, 0u) << "0 would mean no limit";
  }
}

TEST_F(ImageStoreCacheTest, AnEvictedIconReadsAsNotLoadedAndIsDownloadedAndConvertedAgain) {
  const auto one = anchorCopy(1);
  const auto two = anchorCopy(2);
  const auto three = anchorCopy(3);
  ASSERT_TRUE(fetchAndWait(one));
  ASSERT_TRUE(fetchAndWait(two));
  // Room for exactly the two icons held now; the third pushes out the least recently used.
  store_->svgCache().setTotalCostLimit(store_->svgCache().totalCost());
  store_->pdfCache().setTotalCostLimit(store_->pdfCache().totalCost());
  ASSERT_TRUE(store_->svgData(*two, Color::black()).has_value());  // now "one" is the oldest use
  ASSERT_TRUE(fetchAndWait(three));

  EXPECT_FALSE(store_->svgData(*one, Color::black()).has_value());
  EXPECT_FALSE(store_->pdfData(*one, Color::black()).has_value());
  EXPECT_FALSE(store_->pdfData(*one, Color::white()).has_value());
  EXPECT_FALSE(store_->image(*one, 24, Color::black()).has_value());
  for (const auto& kept : {two, three}) {
    EXPECT_TRUE(store_->svgData(*kept, Color::black()).has_value()) << kept->id;
    EXPECT_TRUE(store_->image(*kept, 24, Color::black()).has_value()) << kept->id;
  }
  EXPECT_EQ(store_->svgCache().count(), 2u);
  EXPECT_EQ(store_->pdfCache().count(), 2u);

  // Fetching it again brings it back, downloaded a second time and converted again.
  ASSERT_TRUE(fetchAndWait(one));
  EXPECT_EQ(downloadsOf(1), 2u);
  EXPECT_EQ(downloadsOf(2), 1u);
  EXPECT_EQ(downloadsOf(3), 1u);
  const auto served = readFile(service_.dataDirectory() / "icons/anchor-30015.svg");
  EXPECT_EQ(store_->svgData(*one, Color::black()), served);
  const auto pdf = store_->pdfData(*one, Color::black());
  ASSERT_TRUE(pdf.has_value());
  const auto info = pdfInfo(*pdf);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->pages, 1);
  const auto image = store_->image(*one, 24, Color::black());
  ASSERT_TRUE(image.has_value());
  const auto bitmap = image->render(100);
  ASSERT_TRUE(bitmap.has_value());
  EXPECT_EQ(bitmap->pixel(50, 14), 0xFF000000u);
}

TEST_F(ImageStoreCacheTest, ManyDownloadsStayWithinTheLimitsAndNoneIsLost) {
  // Every sample icon, with caches that hold only a handful of them.
  std::vector<std::shared_ptr<const Icon>> icons;
  std::map<std::string, std::filesystem::path> files;  // by icon id
  for (const auto& entry : std::filesystem::directory_iterator(service_.dataDirectory() / "icons")) {
    if (entry.path().extension() != ".svg") continue;
    const auto name = entry.path().filename().string();
    icons.push_back(makeIcon(std::to_string(icons.size() + 1), entry.path().stem().string(),
                             service_.url("/static/icons/" + name)));
    files[icons.back()->id] = entry.path();
  }
  ASSERT_GE(icons.size(), 40u);
  const std::size_t svgLimit = 8 * BoundedCache::costOf("10", Bytes(800));
  const std::size_t pdfLimit = 8 * BoundedCache::costOf("10", Bytes(4000));
  store_->svgCache().setTotalCostLimit(svgLimit);
  store_->pdfCache().setTotalCostLimit(pdfLimit);
  std::size_t stored = 0;
  store_->addHandler([&stored](const ImageStoreChange&) { ++stored; });
  std::size_t completed = 0;
  for (const auto& icon : icons) store_->fetch(icon, [&completed] { ++completed; });
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return completed == icons.size(); }, 60s)) << completed;
  EXPECT_EQ(stored, icons.size());
  EXPECT_LE(store_->svgCache().totalCost(), svgLimit);
  EXPECT_LE(store_->pdfCache().totalCost(), pdfLimit);
  EXPECT_LT(store_->pdfCache().count(), icons.size());
  EXPECT_GT(store_->pdfCache().count(), 0u);

  // Whatever was evicted comes back with one more fetch, exactly as served.
  std::size_t evicted = 0;
  for (const auto& icon : icons) {
    if (store_->pdfData(*icon, Color::black())) continue;
    ++evicted;
    ASSERT_TRUE(fetchAndWait(icon)) << icon->id;
    EXPECT_EQ(store_->svgData(*icon, Color::black()), readFile(files[icon->id])) << icon->id;
    const auto pdf = store_->pdfData(*icon, Color::black());
    ASSERT_TRUE(pdf.has_value()) << icon->id;
    EXPECT_FALSE(pdf->empty()) << icon->id;
  }
  EXPECT_GT(evicted, 0u);
}

TEST_F(ImageStoreCacheTest, ClearingEmptiesAllThreeCaches) {
  const auto icon = anchorCopy(1);
  ASSERT_TRUE(fetchAndWait(icon));
  store_->epsCache().setObject(icon->id, bytesOf("%!PS-Adobe-3.0 EPSF-3.0\n"));
  ASSERT_TRUE(store_->epsData(*icon).has_value());
  store_->clearCaches();
  for (ImageCache* cache : {&store_->svgCache(), &store_->pdfCache(), &store_->epsCache()}) {
    EXPECT_EQ(cache->count(), 0u);
    EXPECT_EQ(cache->totalCost(), 0u);
  }
  EXPECT_FALSE(store_->svgData(*icon, Color::black()).has_value());
  EXPECT_FALSE(store_->pdfData(*icon, Color::black()).has_value());
  EXPECT_FALSE(store_->epsData(*icon).has_value());
  ASSERT_TRUE(fetchAndWait(icon));
  EXPECT_EQ(downloadsOf(1), 2u);
  EXPECT_TRUE(store_->image(*icon, 24, Color::black()).has_value());
}

}  // namespace
}  // namespace Vexelworks
