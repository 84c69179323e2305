#include "telemetry/ZerEvuzev/Security/MSKeychainUtil.h"

#include "platform/foundation/Bundle.h"
#include "platform/security/Keychain.h"
#include "telemetry/ZerEvuzev/Util/MSLogger.h"

const std::string& MSKeychainUtil::serviceName() {
  static const std::string name = vx::Bundle::main().bundleIdentifier() + ".ZerEvuzev";
  return name;
}

bool MSKeychainUtil::storeString(const std::string& value, const std::string& key, const std::string& service) {
  const vx::Keychain& keychain = vx::Keychain::shared();
  auto added = keychain.add(service, key, value);
  if (!added && vx::keychainStatus(added.error()) == vx::kKeychainErrorDuplicateItem) {
    // Replace, as the platform keychain does: delete the old item, then add once more.
    (void)keychain.remove({service, key});
    added = keychain.add(service, key, value);
  }
  if (!added) {
    MSLogError(kMSLogTag, "Failed to store item with key \"%s\" in the keychain. Status: %d", key.c_str(),
               vx::keychainStatus(added.error()));
    return false;
  }
  return true;
}

bool MSKeychainUtil::storeString(const std::string& value, const std::string& key) {
  return storeString(value, key, serviceName());
}

std::optional<std::string> MSKeychainUtil::deleteStringForKey(const std::string& key, const std::string& service) {
  auto value = stringForKey(key, service);
  if (!value) return std::nullopt;
  auto removed = vx::Keychain::shared().remove({service, key});
  if (!removed) return std::nullopt;
  return value;
}

std::optional<std::string> MSKeychainUtil::deleteStringForKey(const std::string& key) {
  return deleteStringForKey(key, serviceName());
}

std::optional<std::string> MSKeychainUtil::stringForKey(const std::string& key, const std::string& service,
                                                        std::int32_t* status) {
  auto data = vx::Keychain::shared().read({service, key});
  if (status != nullptr) *status = vx::keychainStatus(data);
  if (!data) return std::nullopt;
  return std::string(data->begin(), data->end());
}

std::optional<std::string> MSKeychainUtil::stringForKey(const std::string& key, std::int32_t* status) {
  return stringForKey(key, serviceName(), status);
}

bool MSKeychainUtil::clear() {
  auto removed = vx::Keychain::shared().remove({serviceName(), std::nullopt});
  return removed || vx::keychainStatus(removed.error()) == vx::kKeychainErrorItemNotFound;
}
