#include "app/service/Images/ImageStore.h"

#include "app/service/Images/SVGRecolor.h"
#include "app/service/Logger.h"

#include "platform/foundation/DispatchQueue.h"

#include <cstdio>

namespace Vexelworks {

// ---------------------------------------------------------------------------------------------
// DownloadOperation

DownloadOperation::DownloadOperation(std::shared_ptr<const Icon> icon, vx::URL url,
                                     std::shared_ptr<vx::URLSession> session)
    : icon_(std::move(icon)), url_(std::move(url)), session_(std::move(session)) {}

std::shared_ptr<vx::URLSessionDataTask> DownloadOperation::task() const {
  std::lock_guard lock(mutex_);
  return task_;
}

void DownloadOperation::start() {
  if (isCancelled()) {
    finishCancelled();
    return;
  }
  setExecuting(true);
  // The task's completion keeps the operation alive until it has finished.
  auto self = std::static_pointer_cast<DownloadOperation>(shared_from_this());
  auto task = session_->dataTask(
      vx::URLRequest(url_), [self](std::vector<std::uint8_t> data, std::optional<vx::HTTPURLResponse> response,
                                   std::optional<vx::Error> error) {
        std::optional<Bytes> body;
        if (!error) body = std::move(data);
        if (response && response->statusCode != 200) {
          const std::string message = "[" + std::to_string(response->statusCode) + "] " + self->url_.string();
          // Fixed call site: the download log line has always been reported from here.
          log(message, "DEBUG", "start()", "ImageStore", 169);
          // An error page is not artwork: the download failed.
          body.reset();
          if (!error) {
            error = vx::Error(kImageStoreErrorDomain, response->statusCode,
                              "HTTP status " + std::to_string(response->statusCode));
          }
        }
        if (self->completion_) self->completion_(self->icon_, std::move(body), error);
        self->setExecuting(false);
        self->setFinished(true);
      });
  {
    std::lock_guard lock(mutex_);
    task_ = task;
  }
  task->resume();
}

// ---------------------------------------------------------------------------------------------
// ImageStore

std::shared_ptr<ImageStore> ImageStore::make() { return std::make_shared<ImageStore>(); }

ImageStore::ImageStore()
    : svgCache_(kSVGCacheCostLimit),
      pdfCache_(kPDFCacheCostLimit),
      epsCache_(kEPSCacheCostLimit),
      downloadQueue_("ImageStore.download"),
      downloadSession_(vx::URLSession::make(vx::URLSessionConfiguration::defaultConfiguration())) {}

void ImageStore::addHandler(ChangeHandler handler) {
  std::lock_guard lock(handlersMutex_);
  handlers_.push_back(std::move(handler));
}

std::size_t ImageStore::handlerCount() const {
  std::lock_guard lock(handlersMutex_);
  return handlers_.size();
}

void ImageStore::handle(const Action&) {}

void ImageStore::notify(const ImageStoreChange& change) {
  std::vector<ChangeHandler> handlers;
  {
    std::lock_guard lock(handlersMutex_);
    handlers = handlers_;
  }
  for (auto& handler : handlers) {
    vx::DispatchQueue::main()->async([handler = std::move(handler), change] { handler(change); });
  }
}

std::shared_ptr<DownloadOperation> ImageStore::makeDownloadOperation(std::shared_ptr<const Icon> icon) {
  auto url = icon->svgURL;
  return std::make_shared<DownloadOperation>(std::move(icon), std::move(url), downloadSession_);
}

void ImageStore::fetch(std::shared_ptr<const Icon> icon, Completion completion) {
  auto operation = makeDownloadOperation(std::move(icon));
  operation->setDownloadCompletionBlock(didDownloadBlock(operation, std::move(completion)));
  downloadQueue_.addOperation(operation);
}

DownloadOperation::CompletionBlock ImageStore::didDownloadBlock(const std::shared_ptr<DownloadOperation>& operation,
                                                                Completion completion) {
  std::weak_ptr<ImageStore> store = weak_from_this();
  std::weak_ptr<DownloadOperation> weakOperation = operation;
  return [store, weakOperation, completion = std::move(completion)](
             std::shared_ptr<const Icon> icon, std::optional<Bytes> body, std::optional<vx::Error> error) {
    didDownload(store, weakOperation, icon, std::move(body), error, completion);
  };
}

void ImageStore::didDownload(const std::weak_ptr<ImageStore>& weakStore,
                             const std::weak_ptr<DownloadOperation>& operation, const std::shared_ptr<const Icon>& icon,
                             std::optional<Bytes> body, const std::optional<vx::Error>& error, Completion completion) {
  auto store = weakStore.lock();
  if (operation.expired() || !store || !body) {
    const std::string line =
        "ERROR LOADING SVG FOR ICON " + icon->id + " " + (error ? error->description : std::string("nil")) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    return;
  }
  vx::DispatchQueue::global()->async(
      [store, icon, body = std::move(*body), completion = std::move(completion)]() mutable {
        store->svgCache_.setObject(icon->id, body);
        auto pdf = store->pdfConverter_.convert(body);
        store->pdfCache_.setObject(icon->id, std::move(pdf));
        store->notify(ImageStoreChange::loadedImage(icon));
        if (completion) vx::DispatchQueue::main()->async(std::move(completion));
      });
}

std::optional<Bytes> ImageStore::svgData(const Icon& icon, const Color& color) const {
  auto svg = svgCache_.object(icon.id);
  if (!svg) return std::nullopt;
  if (isArtworkBlack(color)) return svg;
  return recoloredSVG(*svg, color);
}

std::optional<Bytes> ImageStore::pdfData(const Icon& icon, const Color& color) const {
  if (isArtworkBlack(color)) return pdfCache_.object(icon.id);
  const auto svg = svgData(icon, color);
  if (!svg) return std::nullopt;
  return pdfConverter_.convert(*svg);
}

std::optional<Bytes> ImageStore::epsData(const Icon& icon) const { return epsCache_.object(icon.id); }

std::optional<IconImage> ImageStore::image(const Icon& icon, double size, const Color& color) const {
  // In black the image needs the stored PDF, whose emptiness says the artwork is unreadable;
  // in a colour, a PDF would be converted from the recoloured SVG, which is readable exactly
  // when the document below can be made. Either way the image draws from the SVG itself, so
  // it is sharp at any pixel size.
  if (isArtworkBlack(color)) {
    const auto pdf = pdfCache_.object(icon.id);
    if (!pdf || pdf->empty()) return std::nullopt;
  }
  const auto svg = svgData(icon, color);
  if (!svg) return std::nullopt;
  auto document = SVGDocument::make(*svg);
  if (!document) return std::nullopt;
  return IconImage(std::move(document), size);
}

void ImageStore::clearCaches() {
  pdfCache_.removeAllObjects();
  epsCache_.removeAllObjects();
  svgCache_.removeAllObjects();
}

}  // namespace Vexelworks
