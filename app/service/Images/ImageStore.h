// ImageStore: the application's one in-memory store of icon artwork. It downloads each icon's
// SVG from the icon's svgURL (one URL session, its own download queue), keeps the SVG and a PDF
// rendering of it per icon id, and hands out SVG, PDF and images in any export colour,
// recolouring the SVG text on request (SVGRecolor.h). Subscribers hear of every stored icon on
// the main queue.
//
// Threads: fetch() and the readers may be called from any thread (the application calls them on
// the main thread); the readers recolour and convert on the caller's thread. Downloads run in
// parallel on the download queue; storing and PDF conversion run on the global queue. The
// caches are the only state those threads share, and they lock.
//
// Memory: the caches are bounded by bytes (ImageCache); artwork that was evicted is simply not
// loaded, and fetching it again restores it.
#pragma once

#include "app/service/Action.h"
#include "app/service/AsyncOperation.h"
#include "app/service/BoundedCache.h"
#include "app/service/Color.h"
#include "app/service/Icon.h"
#include "app/service/Images/PDFConverter.h"
#include "app/service/Images/SVGConverter.h"
#include "app/service/Images/SVGDocument.h"

#include "platform/foundation/Error.h"
#include "platform/foundation/Operation.h"
#include "platform/net/URLSession.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace Vexelworks {

// What the image store publishes. One case: an icon's artwork has just been stored.
struct ImageStoreChange {
  struct LoadedImage {
    std::shared_ptr<const Icon> icon;
  };
  std::variant<LoadedImage> value;

  static ImageStoreChange loadedImage(std::shared_ptr<const Icon> icon) {
    return ImageStoreChange{LoadedImage{std::move(icon)}};
  }
};

// Error domain of failed downloads; the code is the HTTP status of a reply other than 200.
inline constexpr const char* kImageStoreErrorDomain = "Vexelworks.ImageStore";

// One SVG download: a plain GET of the icon's svgURL (no signing, no extra headers). A reply
// other than HTTP 200 is a failed download: the completion gets no body and an error whose code
// is the status, so an error page is never taken for artwork.
class DownloadOperation : public AsyncOperation {
 public:
  using CompletionBlock =
      std::function<void(std::shared_ptr<const Icon> icon, std::optional<Bytes> body, std::optional<vx::Error> error)>;

  DownloadOperation(std::shared_ptr<const Icon> icon, vx::URL url, std::shared_ptr<vx::URLSession> session);

  const std::shared_ptr<const Icon>& icon() const { return icon_; }
  const vx::URL& url() const { return url_; }
  const std::shared_ptr<vx::URLSession>& session() const { return session_; }
  // The data task, once started.
  std::shared_ptr<vx::URLSessionDataTask> task() const;
  // Called on the session's callback queue before the operation finishes.
  void setDownloadCompletionBlock(CompletionBlock block) { completion_ = std::move(block); }

  void start() override;

 private:
  std::shared_ptr<const Icon> icon_;
  vx::URL url_;
  std::shared_ptr<vx::URLSession> session_;
  mutable std::mutex mutex_;
  std::shared_ptr<vx::URLSessionDataTask> task_;
  CompletionBlock completion_;
};

// An icon image: the artwork in one colour, square, `size` points on a side, drawn on request at
// whatever pixel size it is drawn at, so one image serves every size.
class IconImage {
 public:
  IconImage(std::shared_ptr<const SVGDocument> document, double size) : document_(std::move(document)), size_(size) {}

  double size() const { return size_; }
  const SVGDocument& document() const { return *document_; }

  // The artwork drawn into `pixels` by `pixels` (fitted and centred by the artwork's own aspect
  // rules); none for a size below 1 or beyond SVGDocument::kMaxBitmapEdge.
  std::optional<Bitmap> render(int pixels) const { return document_->render(pixels, pixels); }
  // render() as PNG; empty when render() gives none.
  Bytes pngData(int pixels) const { return document_->pngData(pixels, pixels); }

 private:
  std::shared_ptr<const SVGDocument> document_;
  double size_;
};

// What the store keeps per icon id: bounded by bytes, least recently used entries evicted
// first, so memory follows what is being looked at rather than everything ever loaded. An
// evicted icon reads as not loaded; the next fetch downloads and converts it again.
using ImageCache = BoundedCache;

// Byte limits of the store's caches. A grid window of icons (a few thousand at the smallest
// zoom on a large screen) fits with room to spare; beyond that, old artwork makes way.
inline constexpr std::size_t kSVGCacheCostLimit = 4u << 20;
inline constexpr std::size_t kPDFCacheCostLimit = 8u << 20;
inline constexpr std::size_t kEPSCacheCostLimit = 8u << 20;

class ImageStore : public std::enable_shared_from_this<ImageStore> {
 public:
  using ChangeHandler = std::function<void(const ImageStoreChange&)>;
  using Completion = std::function<void()>;

  // Use make(): downloads need the store to be held by a shared_ptr.
  static std::shared_ptr<ImageStore> make();
  ImageStore();

  // Subscribers, in the order added; each change reaches each of them on the main queue.
  void addHandler(ChangeHandler handler);
  std::size_t handlerCount() const;

  // The store's entry in the action-handler list: no action concerns it.
  void handle(const Action& action);

  // One block per subscriber on the main queue, in order; nothing when there is none.
  void notify(const ImageStoreChange& change);

  // Queues a download of the icon's SVG; the cache is not consulted. On success the SVG and its
  // PDF are stored, subscribers hear loadedImage, and then `completion` runs on the main queue.
  // On failure one line goes to standard output and `completion` never runs.
  void fetch(std::shared_ptr<const Icon> icon, Completion completion = nullptr);

  // The cached SVG: as downloaded for artwork black, recoloured for any other colour. None when
  // not cached (or, for a colour, when the SVG is not valid UTF-8).
  std::optional<Bytes> svgData(const Icon& icon, const Color& color) const;
  // Black: the cached PDF. Any other colour: the recoloured SVG converted now (never cached).
  // None when the needed entry is not cached.
  std::optional<Bytes> pdfData(const Icon& icon, const Color& color) const;
  // The EPS cache's entry (nothing fills it).
  std::optional<Bytes> epsData(const Icon& icon) const;
  // The artwork in the colour as an image of `size` points; none when pdfData() gives none or
  // an empty PDF (the artwork is not a readable SVG).
  std::optional<IconImage> image(const Icon& icon, double size, const Color& color) const;

  // The download completion: what fetch() attaches to its operation. Those who build their own
  // DownloadOperation (an icon list's prefetch) attach the block this returns. It holds the
  // store and the operation weakly.
  DownloadOperation::CompletionBlock didDownloadBlock(const std::shared_ptr<DownloadOperation>& operation,
                                                      Completion completion);
  // A DownloadOperation for the icon on this store's session, completion not yet attached.
  std::shared_ptr<DownloadOperation> makeDownloadOperation(std::shared_ptr<const Icon> icon);

  // Empties the PDF, EPS and SVG caches, in that order.
  void clearCaches();

  vx::OperationQueue& downloadQueue() { return downloadQueue_; }
  const std::shared_ptr<vx::URLSession>& downloadSession() const { return downloadSession_; }
  SVGConverter& svgConverter() { return svgConverter_; }
  const PDFConverter& pdfConverter() const { return pdfConverter_; }
  ImageCache& svgCache() { return svgCache_; }
  ImageCache& pdfCache() { return pdfCache_; }
  ImageCache& epsCache() { return epsCache_; }

 private:
  static void didDownload(const std::weak_ptr<ImageStore>& store, const std::weak_ptr<DownloadOperation>& operation,
                          const std::shared_ptr<const Icon>& icon, std::optional<Bytes> body,
                          const std::optional<vx::Error>& error, Completion completion);

  mutable std::mutex handlersMutex_;
  std::vector<ChangeHandler> handlers_;
  ImageCache svgCache_;
  ImageCache pdfCache_;
  ImageCache epsCache_;
  vx::OperationQueue downloadQueue_;
  std::shared_ptr<vx::URLSession> downloadSession_;
  SVGConverter svgConverter_;
  PDFConverter pdfConverter_;
};

}  // namespace Vexelworks
