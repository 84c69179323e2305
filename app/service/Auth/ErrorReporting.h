// How the application's own code reports to the error-reporting client: a failure as an error
// event with the logged text, an expected miss as an info breadcrumb, and the signed-in user.
// Every call asks for the shared client first and does nothing when there is none.
#pragma once

#include "app/service/VexelUser.h"

#include <optional>
#include <string>

namespace Vexelworks {

// An event of level error whose message is `message`, sent without a completion.
void reportErrorEvent(const std::string& message);
// A breadcrumb of level info, category "info", with the message.
void addInfoBreadcrumb(const std::string& message);
// The user attached to later events: id (decimal), e-mail and user name; none clears it.
void setReportedUser(const std::optional<VexelUser>& user);

}  // namespace Vexelworks
