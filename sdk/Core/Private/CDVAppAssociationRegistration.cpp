#include "Core/Public/CDVAppAssociationRegistration.h"

#include <map>
#include <mutex>

#include "foundation/Exception.h"
#include "foundation/Format.h"
#include "foundation/Immortal.h"

namespace {

// The registry map of one host. The host is held weakly: when it dies, its entry is dropped the
// next time its address turns up (or on the next sweep), so a new host at the same address
// never sees the old objects.
struct HostEntry {
  std::weak_ptr<platform::Object> host;
  // A null object under a key marks a creation in progress.
  std::map<std::string, std::shared_ptr<platform::Object>> objects;
};

std::recursive_mutex gMutex;
platform::Immortal<std::map<const platform::Object*, HostEntry>> gHostsStorage;
constinit std::map<const platform::Object*, HostEntry>& gHosts = *gHostsStorage;

void sweepDeadHosts() {
  for (auto it = gHosts.begin(); it != gHosts.end();) {
    it = it->second.host.expired() ? gHosts.erase(it) : std::next(it);
  }
}

}  // namespace

std::shared_ptr<platform::Object> CDVAppAssociationRegistration::registeredObjectWithHost(
    const std::shared_ptr<platform::Object>& host, const std::string& key,
    const std::function<std::shared_ptr<platform::Object>()>& creationBlock) {
  if (!host) return nullptr;
  std::lock_guard lock(gMutex);
  sweepDeadHosts();
  HostEntry& entry = gHosts[host.get()];
  entry.host = host;

  auto found = entry.objects.find(key);
  if (found != entry.objects.end()) {
    if (!found->second) {
      throw platform::Exception("Reentering registeredObjectWithHost:key:creationBlock: not allowed",
                                platform::format("host: %@ key: %@", host->description(), key));
    }
    return found->second;
  }

  entry.objects.emplace(key, nullptr);  // in progress
  std::shared_ptr<platform::Object> created;
  try {
    created = creationBlock ? creationBlock() : nullptr;
  } catch (...) {
    gHosts[host.get()].objects.erase(key);
    throw;
  }
  // The creation block may have added other keys: look the entry up again.
  HostEntry& after = gHosts[host.get()];
  if (created) {
    after.objects[key] = created;
  } else {
    after.objects.erase(key);
  }
  return created;
}
