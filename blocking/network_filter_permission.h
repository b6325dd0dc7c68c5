#pragma once

#include "channel/encodable_value.h"
#include "platform/network_filter_manager.h"

#include <functional>
#include <memory>
#include <string>

namespace kestralune {

// Whether the bundle at `path` is a content-filter provider: its Info.plist declares the
// filter-data extension point ("NSExtension" / "NSExtensionPointIdentifier") or the
// filter-data provider class ("NetworkExtension" / "NEProviderClasses"). A path that is no
// bundle, or values of the wrong type, give false.
bool isNetworkFilterExtension(const std::string& path);

// Looks for a filter provider in `bundlePath`'s Contents/PlugIns, then its
// Contents/Library/SystemExtensions (entries in listing order, first match wins; a folder
// that cannot be listed counts as empty). With one, loads `manager`'s preferences, sets the
// block server's filter configuration, enables it and saves.
//
// `completion` gets a map with "enabled" (Boolean) and "summary" (string) exactly once, on
// the main thread: before this returns when the bundle has no provider, otherwise from the
// manager's completion. The manager is kept alive until then. Main thread only.
void requestNetworkFilterPermission(const std::string& bundlePath,
                                    std::shared_ptr<NetworkFilterManager> manager,
                                    std::function<void(EncodableMap)> completion);

}  // namespace kestralune
