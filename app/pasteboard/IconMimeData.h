// IconMimeData: one icon's pasteboard item as Qt clipboard and drag data. It lists the MIME
// types for the item's export file type and produces a type's data only when a receiver asks
// for it (retrieveData), once per type: the first answer is kept for later askers (a miss is
// not, so data asked for again after the artwork arrived is there).
//
//   item type identifier                 MIME type
//   com.adobe.pdf                        application/pdf
//   public.svg-image                     image/svg+xml
//   com.adobe.encapsulated-postscript    application/postscript
//   public.png                           image/png
//   public.file-url, public.url          text/uri-list (the temporary file when offered, else
//                                        the icon's web page; one URL, CRLF-terminated)
//   public.utf8-plain-text               text/plain (the SVG markup)
#pragma once

#include "app/service/Export/Pasteboard.h"
#include "app/service/ExportSettings.h"

#include <QByteArray>
#include <QMimeData>
#include <QStringList>
#include <QVariant>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace Vexelworks {

class IconMimeData : public QMimeData {
  Q_OBJECT

 public:
  explicit IconMimeData(std::shared_ptr<const IconPasteboardItem> item);
  // An item for the icon in the export options' colour, type and size.
  IconMimeData(std::shared_ptr<const Icon> icon, std::shared_ptr<ImageStore> imageStore, const ExportOptions& options);

  const IconPasteboardItem& item() const { return *item_; }

  QStringList formats() const override;
  bool hasFormat(const QString& mimeType) const override;

  // The MIME type of an item type identifier; empty for one that has none.
  static QString mimeTypeFor(std::string_view identifier);

 protected:
  QVariant retrieveData(const QString& mimeType, QMetaType type) const override;

 private:
  // The item type that answers a MIME type here, if this item offers it.
  std::optional<std::string_view> identifierFor(const QString& mimeType) const;

  std::shared_ptr<const IconPasteboardItem> item_;
  mutable std::map<QString, QByteArray> answers_;
};

}  // namespace Vexelworks
