// The export options the views start from, made from the stored settings.
#pragma once

#include "app/service/ExportSettings.h"

#include <memory>

namespace Vexelworks {

// Colour: black (the artwork's own colours; the export colour is never read from the settings).
// Type: "IconPasteboardType" as a PasteboardType, auto when missing or not an exact raw value.
// Size: "IconExportSize" in pixels, 300 when missing.
std::shared_ptr<const ExportOptions> exportOptionsFromDefaults();

}  // namespace Vexelworks
