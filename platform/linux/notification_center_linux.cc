#include "platform/files.h"
#include "platform/linux/glib_main_loop.h"
#include "platform/log.h"
#include "platform/notification_center.h"
#include "platform/run_loop.h"
#include "platform/user_folders.h"

#include <gio/gio.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kestralune {

// Found by argument-dependent lookup, which does not look into the unnamed namespace.
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(NotificationRequest, identifier, title, body, moment,
                                   threadIdentifier)

namespace {

constexpr const char* kServerName = "org.freedesktop.Notifications";
constexpr const char* kServerPath = "/org/freedesktop/Notifications";
constexpr const char* kServerInterface = "org.freedesktop.Notifications";

// A steady timer does not count the time a machine sleeps and the wall clock can be set, so
// while requests wait their moments are compared with the wall clock at least this often.
constexpr double kRecheckSeconds = 30;
// The newest delivered notifications that can still be removed; older ones stay on screen.
constexpr std::size_t kDeliveredLimit = 100;
constexpr std::size_t kStoreLimit = 4 << 20;

void logNotice(const std::string& text) {
    logLine("Kestralune notifications: " + text);
}

// What one call to the notification server came back with: the reply (null on failure,
// valid only during the handler), the GUID of the bus it went over, or the error's text.
struct Answer {
    GDBusMessage* reply = nullptr;
    std::string bus;
    std::string error;
};

// A private connection to the session bus, opened on first use and again after it closed.
// Opening it waits for the bus's handshake on this thread only. GLib thread only.
class SessionBus {
  public:
    ~SessionBus() { g_clear_object(&connection); }

    // Calls `method` with `body` (a floating reference is taken) at `destination`. With a
    // non-empty `onlyOnBus`, another bus instance is not called: a server's name and its
    // notification ids mean nothing there.
    void call(const std::string& destination, const char* method, GVariant* body,
              const std::string& onlyOnBus, std::function<void(const Answer&)> done) {
        std::shared_ptr<GVariant> held(g_variant_ref_sink(body), g_variant_unref);
        auto error = connect();
        if (error.empty() && !onlyOnBus.empty() &&
            onlyOnBus != g_dbus_connection_get_guid(connection)) {
            error = "the notification is on another bus";
        }
        if (!error.empty()) {
            done(Answer{nullptr, {}, error});
            return;
        }
        GDBusMessage* message = g_dbus_message_new_method_call(destination.c_str(), kServerPath,
                                                               kServerInterface, method);
        g_dbus_message_set_body(message, held.get());
        g_dbus_connection_send_message_with_reply(
            connection, message, G_DBUS_SEND_MESSAGE_FLAGS_NONE, -1, nullptr, nullptr,
            &SessionBus::replied, new std::function<void(const Answer&)>(std::move(done)));
        g_object_unref(message);
    }

  private:
    // Empty, or why there is no connection.
    std::string connect() {
        if (connection && !g_dbus_connection_is_closed(connection)) {
            return {};
        }
        g_clear_object(&connection);
        GError* error = nullptr;
        gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
        if (address) {
            connection = g_dbus_connection_new_for_address_sync(
                address,
                static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                  G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, &error);
            g_free(address);
        }
        const std::string text = error ? error->message : "";
        g_clear_error(&error);
        return text;
    }

    static void replied(GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::function<void(const Answer&)>> done(
            static_cast<std::function<void(const Answer&)>*>(data));
        auto* bus = G_DBUS_CONNECTION(source);
        GError* error = nullptr;
        GDBusMessage* reply = g_dbus_connection_send_message_with_reply_finish(bus, result, &error);
        if (reply && g_dbus_message_to_gerror(reply, &error)) {
            g_clear_object(&reply);
        }
        (*done)(Answer{reply, g_dbus_connection_get_guid(bus), error ? error->message : ""});
        g_clear_object(&reply);
        g_clear_error(&error);
    }

    GDBusConnection* connection = nullptr;
};

// A delivered notification and where it is shown. A server's notification id is only
// meaningful to that server process (`sender`, its unique name) on that bus instance (`bus`,
// its GUID): ids start again when either restarts, and a stale id must never close another
// program's notification.
struct Delivery {
    std::string identifier;
    std::string threadIdentifier;
    std::string bus;
    std::string sender;
    std::uint32_t serverId = 0;  // 0 until the server has answered
    std::uint64_t ticket = 0;    // matches the server's answer to this delivery; not kept
};

NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Delivery, identifier, threadIdentifier, bus, sender, serverId)

class LinuxNotificationCenter final : public NotificationCenter,
                                      public std::enable_shared_from_this<LinuxNotificationCenter> {
  public:
    LinuxNotificationCenter(RunLoop& runLoop, std::string folder)
        : runLoop(runLoop),
          folder(std::move(folder)),
          storePath(this->folder + "/notifications.json") {
        load();
    }

    ~LinuxNotificationCenter() override {
        if (saveQueued) {
            save();
        }
        if (timer) {
            timer->invalidate();
        }
    }

    void getAuthorizationStatus(
        std::function<void(NotificationAuthorizationStatus)> completion) override {
        askServer([completion](bool reachable) {
            completion(reachable ? NotificationAuthorizationStatus::authorized
                                 : NotificationAuthorizationStatus::denied);
        });
    }

    void requestAuthorization(
        std::function<void(bool, std::optional<std::string>)> completion) override {
        askServer([completion](bool reachable) { completion(reachable, std::nullopt); });
    }

    void add(NotificationRequest request) override {
        removePendingNotificationRequests({request.identifier});
        pending.push_back(std::move(request));
        changed();
    }

    void getPendingNotificationRequests(
        std::function<void(std::vector<NotificationRequest>)> completion) override {
        runLoop.async(weakBlock(shared_from_this(), [completion](LinuxNotificationCenter& self) {
            completion(self.pending);
        }));
    }

    void removePendingNotificationRequests(const std::vector<std::string>& identifiers) override {
        if (std::erase_if(pending, [&](const auto& request) {
                return contains(identifiers, request.identifier);
            }) > 0) {
            changed();
        }
    }

    void getDeliveredNotifications(
        std::function<void(std::vector<DeliveredNotification>)> completion) override {
        runLoop.async(weakBlock(shared_from_this(), [completion](LinuxNotificationCenter& self) {
            std::vector<DeliveredNotification> list;
            for (const auto& delivery : self.delivered) {
                list.push_back({delivery.identifier, delivery.threadIdentifier});
            }
            completion(std::move(list));
        }));
    }

    void removeDeliveredNotifications(const std::vector<std::string>& identifiers) override {
        if (takeDelivered(identifiers)) {
            changed();
        }
    }

    void registerForRemoteNotifications() override {
        logNotice("remote notifications have no service on this desktop; not registered");
    }

    // Looks at the moments for the first time: those that passed while the host was not
    // running are shown on the next turn of the run loop.
    void start() { arm(); }

  private:
    static bool contains(const std::vector<std::string>& list, const std::string& text) {
        return std::find(list.begin(), list.end(), text) != list.end();
    }

    double nowSeconds() const {
        return std::chrono::duration<double>(runLoop.clock().now().time_since_epoch()).count();
    }

    // Runs `work` with the center on the main run loop, unless the center is gone by then.
    // From any thread.
    static void onMainLoop(RunLoop& loop, std::weak_ptr<LinuxNotificationCenter> center,
                           std::function<void(LinuxNotificationCenter&)> work) {
        loop.async([center = std::move(center), work = std::move(work)] {
            if (auto self = center.lock()) {
                work(*self);
            }
        });
    }

    // Whether GetServerInformation answers, reported on the main run loop. The completion is
    // moved along, never copied, so that what it holds is released on the main thread.
    void askServer(std::function<void(bool reachable)> completion) {
        GlibMainLoop::shared().invoke([loop = &runLoop, center = weak_from_this(), bus = bus,
                                       completion = std::move(completion)]() mutable {
            bus->call(
                kServerName, "GetServerInformation", g_variant_new("()"), {},
                [loop, center, completion = std::move(completion)](const Answer& answer) mutable {
                    onMainLoop(
                        *loop, center,
                        [reachable = answer.reply != nullptr,
                         completion = std::move(completion)](auto&) { completion(reachable); });
                });
        });
    }

    // Saves and re-arms once on the next turn: a sync of 44 alerts writes the file once.
    void changed() {
        if (saveQueued) {
            return;
        }
        saveQueued = true;
        runLoop.async(weakBlock(shared_from_this(), [](LinuxNotificationCenter& self) {
            self.save();
            self.arm();
        }));
    }

    void arm() {
        if (timer) {
            timer->invalidate();
            timer = nullptr;
        }
        if (pending.empty()) {
            return;
        }
        const auto earliest =
            std::min_element(pending.begin(), pending.end(),
                             [](const auto& a, const auto& b) { return a.moment < b.moment; });
        const double wait =
            std::clamp(static_cast<double>(earliest->moment) - nowSeconds(), 0.0, kRecheckSeconds);
        timer = runLoop.scheduleTimer(
            wait, false,
            weakBlock(shared_from_this(), [](LinuxNotificationCenter& self) { self.showDue(); }));
    }

    void showDue() {
        const double now = nowSeconds();
        std::vector<NotificationRequest> due;
        std::erase_if(pending, [&](const NotificationRequest& request) {
            if (static_cast<double>(request.moment) > now) {
                return false;
            }
            due.push_back(request);
            return true;
        });
        std::stable_sort(due.begin(), due.end(),
                         [](const auto& a, const auto& b) { return a.moment < b.moment; });
        // The newest deliveries are kept; older ones stay on screen but can no longer be removed.
        const std::size_t total = delivered.size() + due.size();
        if (total > kDeliveredLimit) {
            delivered.erase(delivered.begin(),
                            delivered.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                    delivered.size(), total - kDeliveredLimit)));
        }
        std::vector<std::uint64_t> tickets;
        for (const auto& request : due) {
            // A new delivery of the same request replaces the one on screen.
            takeDelivered({request.identifier});
            tickets.push_back(++lastTicket);
            delivered.push_back(
                {request.identifier, request.threadIdentifier, {}, {}, 0, tickets.back()});
        }
        if (!due.empty()) {
            // Out of the file before it is shown: a host that stops now never shows it twice.
            save();
        }
        for (std::size_t i = 0; i < due.size(); ++i) {
            show(due[i], tickets[i]);
        }
        arm();
    }

    void show(const NotificationRequest& request, std::uint64_t ticket) {
        GlibMainLoop::shared().invoke(
            [loop = &runLoop, center = weak_from_this(), bus = bus, request, ticket] {
                // The bus carries UTF-8 only; the texts come from the UI as they are.
                gchar* title = g_utf8_make_valid(request.title.c_str(), -1);
                gchar* text = g_utf8_make_valid(request.body.c_str(), -1);
                GVariant* body = g_variant_new("(susssasa{sv}i)", "Kestralune", 0U, "", title, text,
                                               nullptr, nullptr, -1);
                g_free(title);
                g_free(text);
                bus->call(
                    kServerName, "Notify", body, {},
                    [loop, center, identifier = request.identifier, ticket](const Answer& answer) {
                        GVariant* values =
                            answer.reply ? g_dbus_message_get_body(answer.reply) : nullptr;
                        Delivery shown{{}, {}, answer.bus, {}, 0, ticket};
                        if (values && g_variant_is_of_type(values, G_VARIANT_TYPE("(u)"))) {
                            shown.sender = g_dbus_message_get_sender(answer.reply);
                            g_variant_get(values, "(u)", &shown.serverId);
                        } else {
                            logNotice("could not show " + identifier + ": " + answer.error);
                        }
                        onMainLoop(*loop, center, [shown](auto& self) { self.shown(shown); });
                    });
            });
    }

    // Records where the server shows a delivery; a server id of 0 means it could not.
    void shown(const Delivery& answer) {
        auto delivery = std::find_if(delivered.begin(), delivered.end(),
                                     [&](const auto& d) { return d.ticket == answer.ticket; });
        if (delivery == delivered.end()) {
            close(answer);  // removed while the server was showing it
        } else if (answer.serverId == 0) {
            delivered.erase(delivery);
        } else {
            *delivery = {delivery->identifier, delivery->threadIdentifier,
                         answer.bus,           answer.sender,
                         answer.serverId,      answer.ticket};
        }
        changed();
    }

    // Takes the deliveries named by `identifiers` off the list and off the screen.
    bool takeDelivered(const std::vector<std::string>& identifiers) {
        return std::erase_if(delivered, [&](const Delivery& delivery) {
                   if (!contains(identifiers, delivery.identifier)) {
                       return false;
                   }
                   close(delivery);
                   return true;
               }) > 0;
    }

    void close(const Delivery& delivery) {
        if (delivery.serverId == 0) {
            return;  // not on screen yet; its answer will find it gone
        }
        GlibMainLoop::shared().invoke([bus = bus, delivery] {
            bus->call(delivery.sender, "CloseNotification", g_variant_new("(u)", delivery.serverId),
                      delivery.bus, [](const Answer&) {});
        });
    }

    void load() {
        const auto text = readFile(storePath, kStoreLimit);
        if (!text) {
            return;
        }
        try {
            const auto json = nlohmann::json::parse(*text);
            pending = json.at("pending").get<std::vector<NotificationRequest>>();
            delivered = json.at("delivered").get<std::vector<Delivery>>();
        } catch (const nlohmann::json::exception& error) {
            logNotice("ignored unreadable " + storePath + ": " + error.what());
            pending.clear();
            delivered.clear();
        }
    }

    void save() {
        saveQueued = false;
        const nlohmann::json json = {{"pending", pending}, {"delivered", delivered}};
        auto failure = createDirectories(folder, 0700);
        if (failure.empty()) {
            failure = replaceFile(
                storePath, json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        }
        if (!failure.empty()) {
            logNotice(failure);
        }
    }

    RunLoop& runLoop;
    const std::string folder;
    const std::string storePath;
    const std::shared_ptr<SessionBus> bus = std::make_shared<SessionBus>();
    std::vector<NotificationRequest> pending;
    std::vector<Delivery> delivered;
    std::shared_ptr<Timer> timer;
    bool saveQueued = false;
    std::uint64_t lastTicket = 0;
};

}  // namespace

std::shared_ptr<NotificationCenter> makeNotificationCenter(RunLoop& runLoop) {
    auto center = std::make_shared<LinuxNotificationCenter>(
        runLoop, applicationSupportPath() + "/Kestralune");
    center->start();
    return center;
}

}  // namespace kestralune
