#include "telemetry/ZerEvuzev/Model/MSFieldTable.h"

#include "telemetry/ZerEvuzev/Util/MSUtility.h"

std::string MSFieldDateText(vx::Date date) { return MSUtility::dateToISO8601(date); }
