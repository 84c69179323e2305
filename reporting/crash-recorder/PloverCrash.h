// The recorder's shared facade. Of it, the error-reporting client reaches only systemInfo, and
// only before the recorder is installed (the application never installs it).
#pragma once

#include "platform/foundation/Value.h"

struct PloverCrash_MonitorContext;

class PloverCrash {
 public:
  static PloverCrash& sharedInstance();

  // A new map of the system facts, built afresh on every call, keys in the recorder's order:
  // text keys only when present, number and flag keys always. Before install the system monitor
  // has gathered nothing, so only the number keys are there, all zero or false.
  vx::ValueMap systemInfo() const;

  // Builds the map from the system block of an event record.
  static vx::ValueMap systemInfoFromContext(const PloverCrash_MonitorContext& context);

 private:
  PloverCrash() = default;
};
