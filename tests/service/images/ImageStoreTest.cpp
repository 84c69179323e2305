#include "app/service/Images/ImageStore.h"

#include "app/service/Logger.h"

#include "service/images/ImageTestSupport.h"
#include "tools/devservice/DevService.h"

#include "platform/foundation/DispatchQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

namespace Vexelworks {
namespace {

using namespace Vexelworks::testing;
using vx::devservice::DevService;

constexpr const char* kAnchorPath = "/static/icons/anchor-30015.svg";

class ImageStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.start().ok());
    store_ = ImageStore::make();
    previousSink_ = setLogSink([this](std::string_view, std::string_view line) {
      std::lock_guard lock(mutex_);
      logLines_.emplace_back(line);
    });
  }
  void TearDown() override { setLogSink(previousSink_); }

  // Fetches and serves the main queue until the completion has run.
  bool fetchAndWait(const std::shared_ptr<const Icon>& icon) {
    bool done = false;
    store_->fetch(icon, [&done] { done = true; });
    return vx::RunLoop::runUntil([&done] { return done; });
  }

  std::vector<std::string> logLines() {
    std::lock_guard lock(mutex_);
    return logLines_;
  }

  DevService service_;
  std::shared_ptr<ImageStore> store_;
  LogSink previousSink_;
  std::mutex mutex_;
  std::vector<std::string> logLines_;
};

TEST_F(ImageStoreTest, DownloadCachesSVGAndPDFAndTellsSubscribersBeforeTheCompletion) {
  const auto icon = makeIcon("30015", "anchor", service_.url(kAnchorPath));
  std::vector<std::string> events;
  store_->addHandler([&events](const ImageStoreChange& change) {
    EXPECT_TRUE(vx::DispatchQueue::isMainThread());
    events.push_back("first:" + std::get<ImageStoreChange::LoadedImage>(change.value).icon->id);
  });
  store_->addHandler([&events](const ImageStoreChange&) { events.push_back("second"); });

  EXPECT_FALSE(store_->svgData(*icon, Color::black()).has_value());
  bool done = false;
  store_->fetch(icon, [&] {
    EXPECT_TRUE(vx::DispatchQueue::isMainThread());
    events.push_back("completion");
    done = true;
  });
  ASSERT_TRUE(vx::RunLoop::runUntil([&done] { return done; }));
  EXPECT_EQ(events, (std::vector<std::string>{"first:30015", "second", "completion"}));

  // The SVG exactly as served; a plain GET without signing.
  const auto served = readFile(service_.dataDirectory() / "icons/anchor-30015.svg");
  EXPECT_EQ(store_->svgData(*icon, Color::black()), served);
  const auto requests = service_.requests(kAnchorPath);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_FALSE(requests[0].header("Authorization").has_value());

  const auto pdf = store_->pdfData(*icon, Color::black());
  ASSERT_TRUE(pdf.has_value());
  const auto info = pdfInfo(*pdf);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->pages, 1);
  EXPECT_NEAR(info->width, 100, 0.01);
  EXPECT_NEAR(info->height, 100, 0.01);
  EXPECT_FALSE(store_->epsData(*icon).has_value());
}

TEST_F(ImageStoreTest, ColoursAreMadeOnRequestFromTheCachedSVG) {
  const auto icon = makeIcon("30015", "anchor", service_.url(kAnchorPath));
  const auto white = Color::white();
  EXPECT_FALSE(store_->pdfData(*icon, white).has_value());
  EXPECT_FALSE(store_->image(*icon, 24, white).has_value());
  ASSERT_TRUE(fetchAndWait(icon));

  const auto svg = store_->svgData(*icon, white);
  ASSERT_TRUE(svg.has_value());
  EXPECT_NE(textOf(*svg).find("<svg fill=\"#FFFFFF\" "), std::string::npos);
  const auto whitePDF = store_->pdfData(*icon, white);
  ASSERT_TRUE(whitePDF.has_value());
  EXPECT_NE(*whitePDF, *store_->pdfData(*icon, Color::black()));
  EXPECT_EQ(pdfInfo(*whitePDF)->pages, 1);

  // The anchor's ring at the top centre: white in white, black in black.
  const auto whiteImage = store_->image(*icon, 24, white);
  ASSERT_TRUE(whiteImage.has_value());
  EXPECT_EQ(whiteImage->size(), 24);
  const auto whiteBitmap = whiteImage->render(100);
  ASSERT_TRUE(whiteBitmap.has_value());
  EXPECT_EQ(whiteBitmap->pixel(50, 14), 0xFFFFFFFFu);
  const auto blackBitmap = store_->image(*icon, 24, Color::black())->render(100);
  ASSERT_TRUE(blackBitmap.has_value());
  EXPECT_EQ(blackBitmap->pixel(50, 14), 0xFF000000u);
  EXPECT_EQ(alphaOf(blackBitmap->pixel(2, 2)), 0);
}

struct FailureCase {
  const char* name;
  int status;  // 0: the connection is refused
  const char* expectedDescription;
};

class ImageStoreFailureTest : public ImageStoreTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ImageStoreFailureTest, FailedDownloadStoresNothingAndNeverCompletes) {
  const auto& c = GetParam();
  std::string url;
  if (c.status == 0) {
    DevService closed;
    ASSERT_TRUE(closed.start().ok());
    url = closed.url(kAnchorPath);
    closed.stop();
  } else if (c.status == 404) {
    url = service_.url("/static/icons/no-such-icon.svg");
  } else {
    service_.setFault("/static/.*", vx::devservice::Fault::withStatus(c.status));
    url = service_.url(kAnchorPath);
  }
  const auto icon = makeIcon("777", "missing", url);
  std::atomic<int> notified{0};
  store_->addHandler([&notified](const ImageStoreChange&) { ++notified; });
  bool completed = false;

  ::testing::internal::CaptureStdout();
  store_->fetch(icon, [&completed] { completed = true; });
  store_->downloadQueue().waitUntilAllOperationsAreFinished();
  vx::RunLoop::runFor(std::chrono::milliseconds(200));
  const auto output = ::testing::internal::GetCapturedStdout();

  EXPECT_FALSE(completed);
  EXPECT_EQ(notified.load(), 0);
  EXPECT_EQ(store_->svgCache().count(), 0u);
  EXPECT_EQ(store_->pdfCache().count(), 0u);
  EXPECT_FALSE(store_->svgData(*icon, Color::black()).has_value());
  EXPECT_FALSE(store_->pdfData(*icon, Color::white()).has_value());
  EXPECT_NE(output.find("ERROR LOADING SVG FOR ICON 777 "), std::string::npos) << output;
  EXPECT_NE(output.find(c.expectedDescription), std::string::npos) << output;
  if (c.status != 0) {
    const std::string expected = "[DEBUG] ImageStore.start()[169] [" + std::to_string(c.status) + "] " + url;
    EXPECT_EQ(logLines(), std::vector<std::string>{expected});
  }
}

INSTANTIATE_TEST_SUITE_P(Failures, ImageStoreFailureTest,
                         ::testing::Values(FailureCase{"NotFound", 404, "HTTP status 404"},
                                           FailureCase{"ServerError", 500, "HTTP status 500"},
                                           FailureCase{"ConnectionRefused", 0, "Could not connect to the server."}),
                         [](const ::testing::TestParamInfo<FailureCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(ImageStoreTest, ABodyThatIsNotSVGIsStoredWithAnEmptyPDF) {
  service_.addRoute("GET", "/test/page.svg", [](const auto&, auto& response) {
    response.body = "<html><body>Maintenance</body></html>";
    response.contentType = "text/html";
  });
  const auto icon = makeIcon("5", "page", service_.url("/test/page.svg"));
  ASSERT_TRUE(fetchAndWait(icon));
  EXPECT_TRUE(store_->svgData(*icon, Color::black()).has_value());
  const auto pdf = store_->pdfData(*icon, Color::black());
  ASSERT_TRUE(pdf.has_value());
  EXPECT_TRUE(pdf->empty());
  EXPECT_FALSE(store_->image(*icon, 24, Color::black()).has_value());
  EXPECT_FALSE(store_->image(*icon, 24, Color::white()).has_value());
}

TEST_F(ImageStoreTest, FetchingTwiceDownloadsTwiceAndReplacesTheEntries) {
  std::atomic<int> calls{0};
  service_.addRoute("GET", "/test/changing.svg", [&calls](const auto&, auto& response) {
    const int n = ++calls;
    response.body = R"(<svg xmlns="http://www.w3.org/2000/svg" width=")" + std::to_string(10 * n) +
                    R"(" height="10"><rect width="5" height="5"/></svg>)";
    response.contentType = "image/svg+xml";
  });
  const auto icon = makeIcon("9", "changing", service_.url("/test/changing.svg"));
  ASSERT_TRUE(fetchAndWait(icon));
  EXPECT_NEAR(pdfInfo(*store_->pdfData(*icon, Color::black()))->width, 10, 0.01);
  ASSERT_TRUE(fetchAndWait(icon));
  EXPECT_EQ(calls.load(), 2);
  EXPECT_NE(textOf(*store_->svgData(*icon, Color::black())).find("width=\"20\""), std::string::npos);
  EXPECT_NEAR(pdfInfo(*store_->pdfData(*icon, Color::black()))->width, 20, 0.01);
}

TEST_F(ImageStoreTest, ClearCachesForgetsEverything) {
  const auto icon = makeIcon("30015", "anchor", service_.url(kAnchorPath));
  ASSERT_TRUE(fetchAndWait(icon));
  store_->epsCache().setObject(icon->id, bytesOf("%!PS"));
  EXPECT_TRUE(store_->epsData(*icon).has_value());
  store_->clearCaches();
  EXPECT_FALSE(store_->svgData(*icon, Color::black()).has_value());
  EXPECT_FALSE(store_->pdfData(*icon, Color::black()).has_value());
  EXPECT_FALSE(store_->epsData(*icon).has_value());
  EXPECT_FALSE(store_->image(*icon, 24, Color::black()).has_value());
}

TEST_F(ImageStoreTest, ManyDownloadsInParallel) {
  std::vector<std::shared_ptr<const Icon>> icons;
  for (const auto& entry : std::filesystem::directory_iterator(service_.dataDirectory() / "icons")) {
    if (entry.path().extension() != ".svg") continue;
    const auto name = entry.path().filename().string();
    icons.push_back(makeIcon(entry.path().stem().string(), "", service_.url("/static/icons/" + name)));
  }
  ASSERT_GE(icons.size(), 10u);
  std::size_t done = 0;
  for (const auto& icon : icons) store_->fetch(icon, [&done] { ++done; });
  ASSERT_TRUE(vx::RunLoop::runUntil([&] { return done == icons.size(); }, std::chrono::seconds(60)));
  for (const auto& icon : icons) {
    SCOPED_TRACE(icon->id);
    const auto pdf = store_->pdfData(*icon, Color::black());
    ASSERT_TRUE(pdf.has_value());
    EXPECT_FALSE(pdf->empty());
  }
}

TEST_F(ImageStoreTest, AnOperationBuiltByACallerUsesTheStoresCompletion) {
  const auto icon = makeIcon("30015", "anchor", service_.url(kAnchorPath));
  auto operation = store_->makeDownloadOperation(icon);
  EXPECT_EQ(operation->session(), store_->downloadSession());
  EXPECT_EQ(operation->url(), icon->svgURL);
  bool done = false;
  operation->setDownloadCompletionBlock(store_->didDownloadBlock(operation, [&done] { done = true; }));
  vx::OperationQueue queue;
  queue.addOperation(operation);
  // The completion may reach the main queue before the operation has marked itself finished.
  ASSERT_TRUE(vx::RunLoop::runUntil([&done, &operation] { return done && operation->isFinished(); }));
  EXPECT_NE(operation->task(), nullptr);
  EXPECT_TRUE(store_->pdfData(*icon, Color::black()).has_value());
}

}  // namespace
}  // namespace Vexelworks
