// IconList: the icons of one search as the grid shows them. It pages through one SearchType a
// page at a time (at most one request in flight), keeps every icon received in arrival order,
// decides whether more pages may exist (not after a failed or empty page, nor, except for the
// latest uploads, once it holds the reported total), starts the SVG download of every icon it
// receives into the image store and tells its delegate after every page, failed ones included.
// A new search means a new list; the search window controller owns the current one.
//
// Threads: call it on the main thread. Page replies arrive on the API client's session thread
// and are moved to the main queue before they touch the list, so the list's fields change only
// on the main thread and the delegate is called there too.
#pragma once

#include "app/service/APIClient.h"
#include "app/service/ExportSettings.h"
#include "app/service/Export/Pasteboard.h"
#include "app/service/IconsOperations.h"
#include "app/service/Images/ImageStore.h"
#include "app/service/ZoomLevel.h"

#include "platform/foundation/Operation.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace Vexelworks {

namespace SearchTypes {
struct Search {
  std::string query;
};
struct Creator {
  std::int64_t id = 0;
};
struct Collection {
  std::int64_t id = 0;
};
struct StarterPack {};
struct LatestIcons {};
}  // namespace SearchTypes

// Which of the service's icon sets a list pages through.
using SearchType = std::variant<SearchTypes::Search, SearchTypes::Creator, SearchTypes::Collection,
                                SearchTypes::StarterPack, SearchTypes::LatestIcons>;

class IconList;

class IconListDelegate {
 public:
  virtual ~IconListDelegate() = default;
  // After every completed page request, successful or not, on the main thread, with the page
  // number of that request (1 for the first).
  virtual void iconListDidLoadPage(IconList& list, std::int64_t page) = 0;
};

class IconList : public std::enable_shared_from_this<IconList> {
 public:
  // A list whose requests are signed with the stored access token. Without one it logs "Access
  // token was not available" at ERROR, sends the same text as an error event, dispatches logOut
  // to every action handler (back to the sign-in prompt) and returns nullptr: the caller shows
  // nothing. `imageStore` receives the downloads (the application's one image store); without
  // one nothing is downloaded.
  static std::shared_ptr<IconList> make(SearchType searchType, std::shared_ptr<ImageStore> imageStore);
  // The same with an API client the caller already has.
  static std::shared_ptr<IconList> make(SearchType searchType, std::shared_ptr<ImageStore> imageStore,
                                        std::shared_ptr<APIClient> api);
  // Cancels every queued or running page request; a reply that still arrives finds no list.
  ~IconList();
  IconList(const IconList&) = delete;
  IconList& operator=(const IconList&) = delete;

  // Queues the request for `page` (callers pass nextPage()), unless a request is already queued
  // or running: then the call is dropped, not deferred. It does not look at hasMore(): the
  // caller does.
  void loadPage(std::int64_t page);

  const SearchType& searchType() const { return searchType_; }
  std::int64_t nextPage() const { return nextPage_; }
  bool hasMore() const { return hasMore_; }
  bool loading() const { return loading_; }
  // Every icon received so far, in arrival order (what the grid and pasteboard items use).
  const std::vector<IconPtr>& icons() const { return allIcons_; }
  const std::vector<IconPtr>& allIcons() const { return allIcons_; }
  // The total reported by the last successful page (0 when it reported none).
  std::int64_t resultCount() const { return resultCount_; }

  std::shared_ptr<IconListDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<IconListDelegate> delegate) { delegate_ = std::move(delegate); }

  const std::shared_ptr<const ExportOptions>& exportOptions() const { return exportOptions_; }
  void setExportOptions(std::shared_ptr<const ExportOptions> options) { exportOptions_ = std::move(options); }
  const ZoomLevel& zoomLevel() const { return zoomLevel_; }
  void setZoomLevel(const ZoomLevel& level) { zoomLevel_ = level; }

  const std::shared_ptr<APIClient>& api() const { return api_; }
  const std::shared_ptr<ImageStore>& imageStore() const { return imageStore_; }

  // Without an icon: none (an empty item). Otherwise the icon's pasteboard item with the image
  // store, the export colour, the given type (the export options' type when none) and the
  // export size.
  std::optional<IconPasteboardItem> pasteboardItem(const IconPtr& icon, std::optional<PasteboardType> type) const;

 private:
  IconList(SearchType searchType, std::shared_ptr<ImageStore> imageStore, std::shared_ptr<APIClient> api);
  std::shared_ptr<BaseIconsOperation> makeOperation(std::int64_t page) const;
  void pageCompleted(std::int64_t page, bool stopAtTotal, std::optional<std::vector<IconPtr>> icons,
                     std::int64_t total);
  void downloadArtwork(const std::vector<IconPtr>& icons);

  SearchType searchType_;
  std::int64_t nextPage_ = 1;
  bool hasMore_ = true;
  bool loading_ = false;
  std::vector<IconPtr> allIcons_;
  std::int64_t resultCount_ = 0;
  std::weak_ptr<IconListDelegate> delegate_;
  std::shared_ptr<const ExportOptions> exportOptions_;
  ZoomLevel zoomLevel_;
  std::shared_ptr<APIClient> api_;
  vx::OperationQueue queue_;
  std::shared_ptr<ImageStore> imageStore_;
};

}  // namespace Vexelworks
