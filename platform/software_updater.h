#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kestralune {

// One release announced by the update feed: an item of the appcast.
struct AppcastItem {
    std::string title;
    // The build number compared with CFBundleVersion (sparkle:version).
    std::string versionString;
    // The version a user reads (sparkle:shortVersionString); the build number when absent.
    std::string displayVersionString;
    // The enclosure: the archive holding the new bundle.
    std::string fileURL;
    std::uint64_t contentLength = 0;
    std::string contentType;
    // Base64 of the Ed25519 signature over the archive's bytes (sparkle:edSignature).
    std::string edSignature;

    friend bool operator==(const AppcastItem&, const AppcastItem&) = default;
};

// What the updater asks and tells its owner. Called on the main thread only.
class SoftwareUpdaterDelegate {
  public:
    virtual ~SoftwareUpdaterDelegate() = default;
    // A check found an update that can be installed; installing it begins.
    virtual void updaterDidFindValidUpdate(const AppcastItem& item) = 0;
    // A check found nothing newer, or could not be completed.
    virtual void updaterDidNotFindUpdate() = 0;
    // The update is unpacked and checked, and the bundle is about to be replaced and the
    // application relaunched. True postpones that: the updater then waits until
    // `installHandler` is called (on the main thread; later calls do nothing).
    virtual bool updaterShouldPostponeRelaunchForUpdate(const AppcastItem& item,
                                                        std::function<void()> installHandler) = 0;
};

// The software updater behind its standard controller: checks the feed on its own once a
// day while automatic checks are on, and on request; installs what it finds. Main thread
// only.
class UpdaterController {
  public:
    virtual ~UpdaterController() = default;
    // Stored in the user defaults; on until the user turns it off.
    virtual bool automaticallyChecksForUpdates() const = 0;
    virtual void setAutomaticallyChecksForUpdates(bool enabled) = 0;
    // False while a check or an install is under way, and when the bundle names no feed or
    // no public key.
    virtual bool canCheckForUpdates() const = 0;
    // A check the user asked for; does nothing while canCheckForUpdates() is false.
    virtual void checkForUpdates() = 0;
};

// Creates a controller and starts its updater (initWithStartingUpdater:updaterDelegate:).
// The delegate is held weakly.
using UpdaterControllerFactory =
    std::function<std::shared_ptr<UpdaterController>(std::weak_ptr<SoftwareUpdaterDelegate>)>;

}  // namespace kestralune
