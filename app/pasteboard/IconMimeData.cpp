#include "app/pasteboard/IconMimeData.h"

namespace Vexelworks {

namespace T = PasteboardTypeIdentifier;

IconMimeData::IconMimeData(std::shared_ptr<const IconPasteboardItem> item) : item_(std::move(item)) {}

IconMimeData::IconMimeData(std::shared_ptr<const Icon> icon, std::shared_ptr<ImageStore> imageStore,
                           const ExportOptions& options)
    : IconMimeData(std::make_shared<const IconPasteboardItem>(std::move(icon), std::move(imageStore), options.color(),
                                                              options.type(), options.size())) {}

QString IconMimeData::mimeTypeFor(std::string_view identifier) {
  if (identifier == T::pdf) return QStringLiteral("application/pdf");
  if (identifier == T::svg) return QStringLiteral("image/svg+xml");
  if (identifier == T::eps) return QStringLiteral("application/postscript");
  if (identifier == T::png) return QStringLiteral("image/png");
  if (identifier == T::fileURL || identifier == T::url) return QStringLiteral("text/uri-list");
  if (identifier == T::utf8PlainText) return QStringLiteral("text/plain");
  return {};
}

QStringList IconMimeData::formats() const {
  QStringList list;
  for (const auto identifier : item_->writableTypes()) {
    const auto mime = mimeTypeFor(identifier);
    if (!mime.isEmpty() && !list.contains(mime)) list.append(mime);
  }
  return list;
}

bool IconMimeData::hasFormat(const QString& mimeType) const { return formats().contains(mimeType); }

std::optional<std::string_view> IconMimeData::identifierFor(const QString& mimeType) const {
  // The first offered type with this MIME type answers it: the file before the web page.
  for (const auto identifier : item_->writableTypes()) {
    if (mimeTypeFor(identifier) == mimeType) return identifier;
  }
  return std::nullopt;
}

QVariant IconMimeData::retrieveData(const QString& mimeType, QMetaType) const {
  if (const auto known = answers_.find(mimeType); known != answers_.end()) return known->second;
  const auto identifier = identifierFor(mimeType);
  if (!identifier) return {};
  const auto data = item_->pasteboardPropertyList(*identifier);
  // A miss is not kept: the artwork may have arrived by the next time someone asks.
  if (!data) return {};
  QByteArray answer(reinterpret_cast<const char*>(data->data()), static_cast<qsizetype>(data->size()));
  if (mimeType == QLatin1String("text/uri-list")) answer.append("\r\n");
  answers_.emplace(mimeType, answer);
  return answer;
}

}  // namespace Vexelworks
