#include "app/service/Export/ExportDefaults.h"

#include "app/service/Settings.h"

namespace Vexelworks {

std::shared_ptr<const ExportOptions> exportOptionsFromDefaults() {
  const auto type =
      pasteboardTypeFromRawValue(settingString(SettingKeys::iconPasteboardType, SettingFallbacks::iconPasteboardType))
          .value_or(PasteboardType::auto_);
  const auto size = static_cast<double>(settingInt(SettingKeys::iconExportSize, SettingFallbacks::iconExportSize));
  return std::make_shared<const ExportOptions>(Color::black(), type, size);
}

}  // namespace Vexelworks
