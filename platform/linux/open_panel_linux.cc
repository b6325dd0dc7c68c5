#include "platform/linux/glib_main_loop.h"
#include "platform/log.h"
#include "platform/open_panel.h"
#include "platform/run_loop.h"

#include <gio/gio.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kestralune {

namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kUnavailable = "Kestralune open panel unavailable: ";
// The formats a profile photo can be made from.
constexpr const char* kImageTypes[] = {"image/png", "image/jpeg", "image/heic",
                                       "image/gif", "image/tiff", "image/webp"};

// D-Bus strings must be UTF-8; labels come from the UI and may not be.
GVariant* textVariant(const std::string& text) {
    g_autofree gchar* valid = g_utf8_make_valid(text.c_str(), -1);
    return g_variant_new_string(valid);
}

// The portal shows either files or folders. When both may be chosen, the allowed items
// decide: application bundles are folders here, everything else is a file.
bool choosesDirectories(const OpenPanelOptions& options) {
    return options.canChooseDirectories &&
           (!options.canChooseFiles ||
            options.allowedContent == OpenPanelOptions::AllowedContent::applicationBundles);
}

// a(sa(us)): one named filter of patterns, 0 for a glob, 1 for a MIME type.
GVariant* filterVariant(OpenPanelOptions::AllowedContent content) {
    GVariantBuilder patterns;
    g_variant_builder_init(&patterns, G_VARIANT_TYPE("a(us)"));
    const bool images = content == OpenPanelOptions::AllowedContent::images;
    if (images) {
        for (const char* type : kImageTypes) {
            g_variant_builder_add(&patterns, "(us)", 1u, type);
        }
    } else {
        g_variant_builder_add(&patterns, "(us)", 0u, "*.app");
    }
    GVariantBuilder filters;
    g_variant_builder_init(&filters, G_VARIANT_TYPE("a(sa(us))"));
    g_variant_builder_add(&filters, "(s@a(us))", images ? "Images" : "Applications",
                          g_variant_builder_end(&patterns));
    return g_variant_builder_end(&filters);
}

GVariant* portalOptions(const OpenPanelOptions& options, const std::string& token) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&builder, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    if (!options.prompt.empty()) {
        g_variant_builder_add(&builder, "{sv}", "accept_label", textVariant(options.prompt));
    }
    g_variant_builder_add(&builder, "{sv}", "multiple",
                          g_variant_new_boolean(options.allowsMultipleSelection));
    g_variant_builder_add(&builder, "{sv}", "directory",
                          g_variant_new_boolean(choosesDirectories(options)));
    if (options.allowedContent != OpenPanelOptions::AllowedContent::any) {
        g_variant_builder_add(&builder, "{sv}", "filters", filterVariant(options.allowedContent));
    }
    if (!options.directory.empty() && g_file_test(options.directory.c_str(), G_FILE_TEST_IS_DIR)) {
        g_variant_builder_add(&builder, "{sv}", "current_folder",
                              g_variant_new_bytestring(options.directory.c_str()));
    }
    return g_variant_builder_end(&builder);
}

// One panel from the call to its answer, on the GLib thread. The callbacks that wait for it
// hold it; a panel nobody answers stays, with its connection, for as long as it is open.
class PanelRequest : public std::enable_shared_from_this<PanelRequest> {
  public:
    using Held = std::shared_ptr<PanelRequest>;

    PanelRequest(RunLoop& mainLoop, OpenPanelOptions options, OpenPanelCompletion completion)
        : mainLoop(mainLoop), options(std::move(options)), completion(std::move(completion)) {}
    ~PanelRequest() {
        if (connection != nullptr) {
            g_dbus_connection_close(connection, nullptr, nullptr, nullptr);
            g_object_unref(connection);
        }
    }
    PanelRequest(const PanelRequest&) = delete;
    PanelRequest& operator=(const PanelRequest&) = delete;

    // A connection of its own, so a bus that goes away never takes the process with it (as
    // the shared one would) and each panel uses the session bus named at that moment.
    void start() {
        GError* error = nullptr;
        g_autofree gchar* address =
            g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
        if (address == nullptr) {
            failWith(error);
            return;
        }
        g_dbus_connection_new_for_address(
            address,
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr,
            [](GObject*, GAsyncResult* result, gpointer data) {
                const Held request = take(data);
                GError* error = nullptr;
                GDBusConnection* connection =
                    g_dbus_connection_new_for_address_finish(result, &error);
                connection != nullptr ? request->open(connection) : request->failWith(error);
            },
            hold());
    }

  private:
    gpointer hold() { return new Held(shared_from_this()); }
    static void release(gpointer data) { delete static_cast<Held*>(data); }
    // Takes back what hold() gave a callback that runs once.
    static Held take(gpointer data) {
        const std::unique_ptr<Held> held(static_cast<Held*>(data));
        return *held;
    }
    // A strong reference for the length of a callback that unsubscribes itself.
    static Held held(gpointer data) { return *static_cast<Held*>(data); }

    void open(GDBusConnection* opened) {
        connection = opened;
        static unsigned lastToken = 0;  // GLib thread only
        const std::string token = "kestralune" + std::to_string(++lastToken);
        std::string sender = g_dbus_connection_get_unique_name(connection) + 1;
        std::replace(sender.begin(), sender.end(), '.', '_');
        const std::string requestPath =
            std::string(kPortalPath) + "/request/" + sender + "/" + token;

        // Subscribed before the call: the portal may answer before its reply arrives.
        responseSubscription = g_dbus_connection_signal_subscribe(
            connection, kPortalName, "org.freedesktop.portal.Request", "Response",
            requestPath.c_str(), nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
               GVariant* parameters, gpointer data) { held(data)->answered(parameters); },
            hold(), release);
        ownerSubscription = g_dbus_connection_signal_subscribe(
            connection, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
            "/org/freedesktop/DBus", kPortalName, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
               GVariant* parameters, gpointer data) {
                const gchar* newOwner = nullptr;
                if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sss)"))) {
                    g_variant_get_child(parameters, 2, "&s", &newOwner);
                }
                if (newOwner != nullptr && *newOwner == '\0') {
                    held(data)->fail("the portal left the session bus");
                }
            },
            hold(), release);
        closedHandler = g_signal_connect_data(
            connection, "closed",
            G_CALLBACK(+[](GDBusConnection*, gboolean, GError*, gpointer data) {
                held(data)->fail("the session bus closed");
            }),
            hold(), [](gpointer data, GClosure*) { release(data); }, static_cast<GConnectFlags>(0));

        g_dbus_connection_call(
            connection, kPortalName, kPortalPath, "org.freedesktop.portal.FileChooser", "OpenFile",
            g_variant_new("(s@s@a{sv})", "", textVariant(options.title),
                          portalOptions(options, token)),
            G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                const Held request = take(data);
                GError* error = nullptr;
                GVariant* reply =
                    g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
                reply != nullptr ? g_variant_unref(reply) : request->failWith(error);
            },
            hold());
    }

    // (ua{sv}): 0 with the chosen "uris" is an accepted panel; anything else a cancelled one.
    void answered(GVariant* parameters) {
        std::vector<std::string> paths;
        guint32 response = 0;
        g_autoptr(GVariant) results = nullptr;
        g_autofree const gchar** uris = nullptr;
        if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ua{sv})"))) {
            g_variant_get(parameters, "(u@a{sv})", &response, &results);
        }
        if (response == 0 && results != nullptr &&
            g_variant_lookup(results, "uris", "^a&s", &uris)) {
            for (const gchar** uri = uris; *uri != nullptr; ++uri) {
                g_autofree gchar* path = g_filename_from_uri(*uri, nullptr, nullptr);
                if (path != nullptr) {
                    paths.emplace_back(path);
                } else {
                    logLine(std::string("Kestralune open panel skipped a non-local item: ") + *uri);
                }
            }
        }
        finish(std::move(paths));
    }

    void failWith(GError* error) {
        fail(error->message);
        g_error_free(error);
    }
    void fail(const std::string& reason) {
        if (completion) {
            logLine(kUnavailable + reason);
            finish({});
        }
    }

    void finish(std::vector<std::string> paths) {
        if (!completion) {
            return;
        }
        if (connection != nullptr) {
            g_dbus_connection_signal_unsubscribe(connection, responseSubscription);
            g_dbus_connection_signal_unsubscribe(connection, ownerSubscription);
            g_signal_handler_disconnect(connection, closedHandler);
        }
        mainLoop.async(
            [completion = std::move(completion), paths = std::move(paths)] { completion(paths); });
        completion = nullptr;
    }

    RunLoop& mainLoop;
    const OpenPanelOptions options;
    OpenPanelCompletion completion;  // empty once answered
    GDBusConnection* connection = nullptr;
    guint responseSubscription = 0;
    guint ownerSubscription = 0;
    gulong closedHandler = 0;
};

class PortalOpenPanel final : public OpenPanel {
  public:
    explicit PortalOpenPanel(RunLoop& mainLoop) : mainLoop(mainLoop) {}

    void runOpenPanel(const OpenPanelOptions& options, OpenPanelCompletion completion) override {
        GlibMainLoop::shared().invoke(
            [&mainLoop = mainLoop, options, completion = std::move(completion)]() mutable {
                std::make_shared<PanelRequest>(mainLoop, std::move(options), std::move(completion))
                    ->start();
            });
    }

  private:
    RunLoop& mainLoop;
};

}  // namespace

std::shared_ptr<OpenPanel> makeOpenPanel(RunLoop& mainLoop) {
    return std::make_shared<PortalOpenPanel>(mainLoop);
}

}  // namespace kestralune
