#include "app/service/IconList/IconList.h"

#include "app/service/Action.h"
#include "app/service/Auth/ErrorReporting.h"
#include "app/service/Auth/TokenStore.h"
#include "app/service/Export/ExportDefaults.h"
#include "app/service/Helpers.h"
#include "app/service/Logger.h"
#include "app/service/ServiceConfig.h"

#include <cstdio>

namespace Vexelworks {

namespace {

void printLine(const std::string& line) {
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace

IconList::IconList(SearchType searchType, std::shared_ptr<ImageStore> imageStore, std::shared_ptr<APIClient> api)
    : searchType_(std::move(searchType)),
      exportOptions_(exportOptionsFromDefaults()),
      zoomLevel_(ZoomLevel::defaultLevel()),
      api_(std::move(api)),
      queue_("IconList.pages"),
      imageStore_(std::move(imageStore)) {
  queue_.setMaxConcurrentOperationCount(1);
}

std::shared_ptr<IconList> IconList::make(SearchType searchType, std::shared_ptr<ImageStore> imageStore) {
  auto token = TokenStore(kAccessTokenAccount).getToken();
  if (!token) {
    const std::string message = "Access token was not available";
    log(message, "ERROR", "IconList", "IconList", __LINE__);
    reportErrorEvent(message);
    dispatch(Actions::LogOut{});
    return nullptr;
  }
  return make(std::move(searchType), std::move(imageStore), APIClient::make(apiBaseURL(), *token));
}

std::shared_ptr<IconList> IconList::make(SearchType searchType, std::shared_ptr<ImageStore> imageStore,
                                         std::shared_ptr<APIClient> api) {
  if (!api) return nullptr;
  return std::shared_ptr<IconList>(new IconList(std::move(searchType), std::move(imageStore), std::move(api)));
}

IconList::~IconList() { queue_.cancelAllOperations(); }

std::shared_ptr<BaseIconsOperation> IconList::makeOperation(std::int64_t page) const {
  return std::visit(Overloaded{
                        [&](const SearchTypes::Search& search) -> std::shared_ptr<BaseIconsOperation> {
                          printLine("search: " + search.query);
                          return std::make_shared<SearchOperation>(api_, page, search.query);
                        },
                        [&](const SearchTypes::Creator& creator) -> std::shared_ptr<BaseIconsOperation> {
                          printLine("creator: " + std::to_string(creator.id));
                          return std::make_shared<CreatorIconsOperation>(api_, page, std::to_string(creator.id));
                        },
                        [&](const SearchTypes::Collection& collection) -> std::shared_ptr<BaseIconsOperation> {
                          printLine("collection: " + std::to_string(collection.id));
                          return std::make_shared<CollectionIconsOperation>(api_, page, std::to_string(collection.id));
                        },
                        [&](const SearchTypes::StarterPack&) -> std::shared_ptr<BaseIconsOperation> {
                          printLine("starter pack");
                          return std::make_shared<FreeIconsOperation>(api_, page);
                        },
                        [&](const SearchTypes::LatestIcons&) -> std::shared_ptr<BaseIconsOperation> {
                          printLine("latest icons");
                          return std::make_shared<RecentIconsOperation>(api_, page);
                        },
                    },
                    searchType_);
}

void IconList::loadPage(std::int64_t page) {
  if (loading_) return;
  auto operation = makeOperation(page);
  // The latest uploads report no total: only an empty or failed page ends them.
  const bool stopAtTotal = !std::holds_alternative<SearchTypes::LatestIcons>(searchType_);
  std::weak_ptr<IconList> weak = weak_from_this();
  operation->setQueryCompletionBlock([weak, page, stopAtTotal](std::optional<std::vector<IconPtr>> icons,
                                                               std::int64_t total, std::optional<vx::Error>) {
    // Arrives on the session's thread; the list changes on the main thread only.
    runOnMain([weak, page, stopAtTotal, icons = std::move(icons), total]() mutable {
      if (auto self = weak.lock()) self->pageCompleted(page, stopAtTotal, std::move(icons), total);
    });
  });
  // Set before the request is queued: its completion (which clears it) can never come first.
  loading_ = true;
  queue_.addOperation(operation);
}

void IconList::pageCompleted(std::int64_t page, bool stopAtTotal, std::optional<std::vector<IconPtr>> icons,
                             std::int64_t total) {
  loading_ = false;
  if (!icons) {
    hasMore_ = false;
  } else {
    nextPage_ = page + 1;
    allIcons_.insert(allIcons_.end(), icons->begin(), icons->end());
    resultCount_ = total;
    if (stopAtTotal && static_cast<std::int64_t>(allIcons_.size()) >= total) hasMore_ = false;
    // A page without icons is past the end, whatever the total says: asking for the next one
    // would only bring another empty page, and a grid shorter than its window would keep
    // asking. The latest uploads, which report no total, end here too.
    if (icons->empty()) hasMore_ = false;
    downloadArtwork(*icons);
  }
  if (auto delegate = delegate_.lock()) delegate->iconListDidLoadPage(*this, page);
}

void IconList::downloadArtwork(const std::vector<IconPtr>& icons) {
  if (!imageStore_) return;
  for (const auto& icon : icons) {
    // No look at the cache first: an icon that arrives again is downloaded again.
    auto operation = imageStore_->makeDownloadOperation(icon);
    operation->setDownloadCompletionBlock(imageStore_->didDownloadBlock(operation, [] {}));
    imageStore_->downloadQueue().addOperation(operation);
  }
}

std::optional<IconPasteboardItem> IconList::pasteboardItem(const IconPtr& icon,
                                                           std::optional<PasteboardType> type) const {
  if (!icon) return std::nullopt;
  return IconPasteboardItem(icon, imageStore_, exportOptions_->color(), type.value_or(exportOptions_->type()),
                            exportOptions_->size());
}

}  // namespace Vexelworks
