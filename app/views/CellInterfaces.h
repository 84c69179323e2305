// The interfaces of the grids' small views, registered by name with vx::InterfaceRegistry:
// "IconCollectionFooterView", "RelatedIconsHeader", "LoadingCell", "LoadingViewController" and
// "NotFoundView". Each builds its widget tree and connects the outlets its class names.
#pragma once

namespace Vexelworks {

// Registers (or re-registers) the five interfaces. Call once on the main thread at start-up,
// before a grid registers them by nib name; tests call it in their set-up.
void registerCellInterfaces();

}  // namespace Vexelworks
