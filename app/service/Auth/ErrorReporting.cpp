#include "app/service/Auth/ErrorReporting.h"

#include "reporting/error-client/PloverClient.h"

namespace Vexelworks {

void reportErrorEvent(const std::string& message) {
  auto client = PloverClient::sharedClient();
  if (!client) return;
  auto event = std::make_shared<PloverEvent>(PloverSeverity::error);
  event->message = message;
  client->sendEvent(event);
}

void addInfoBreadcrumb(const std::string& message) {
  auto client = PloverClient::sharedClient();
  if (!client || !client->breadcrumbs()) return;
  PloverBreadcrumb breadcrumb(PloverSeverity::info, "info");
  breadcrumb.message = message;
  client->breadcrumbs()->addBreadcrumb(breadcrumb);
}

void setReportedUser(const std::optional<VexelUser>& user) {
  auto client = PloverClient::sharedClient();
  if (!client) return;
  if (!user) {
    client->setUser(nullptr);
    return;
  }
  auto reported = std::make_shared<PloverUser>(std::to_string(user->id));
  reported->email = user->email;
  reported->username = user->username;
  client->setUser(std::move(reported));
}

}  // namespace Vexelworks
