#include "platform/net/Telephony.h"

#include <gio/gio.h>

#include <cstdint>
#include <utility>

#include "platform/base/Log.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/RunLoop.h"

namespace wharf::platform {

namespace {

std::mutex& sharedMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<Telephony>& sharedSlot() {
    static std::shared_ptr<Telephony> telephony;
    return telephony;
}

constexpr const char* kModemManagerName = "org.freedesktop.ModemManager1";
constexpr const char* kModemManagerPath = "/org/freedesktop/ModemManager1";
constexpr const char* kModemInterface = "org.freedesktop.ModemManager1.Modem";
constexpr int32_t kModemStateConnected = 11;  // MM_MODEM_STATE_CONNECTED

// MMModemAccessTechnology bits, most advanced first, with the phone's names.
// GSM alone (and POTS) carries no data the phone would name.
struct TechnologyBit {
    uint32_t mask;
    const char* name;
};
constexpr TechnologyBit kTechnologies[] = {
    {1u << 15, "CTRadioAccessTechnologyNR"},  // 5G NR: the phone reports NR, or NRNSA beside LTE
    {1u << 14, CTRadioAccessTechnologyLTE},          {1u << 16, CTRadioAccessTechnologyLTE},  // LTE Cat-M
    {1u << 17, CTRadioAccessTechnologyLTE},  // LTE NB-IoT
    {1u << 13, CTRadioAccessTechnologyCDMAEVDORevB}, {1u << 12, CTRadioAccessTechnologyCDMAEVDORevA},
    {1u << 11, CTRadioAccessTechnologyCDMAEVDORev0}, {1u << 9, CTRadioAccessTechnologyHSDPA},  // HSPA+
    {1u << 8, CTRadioAccessTechnologyHSDPA},  // HSPA
    {1u << 7, CTRadioAccessTechnologyHSUPA},         {1u << 6, CTRadioAccessTechnologyHSDPA},
    {1u << 5, CTRadioAccessTechnologyWCDMA},  // UMTS
    {1u << 10, CTRadioAccessTechnologyCDMA1x},       {1u << 4, CTRadioAccessTechnologyEdge},
    {1u << 3, CTRadioAccessTechnologyGPRS},
};

std::optional<std::string> technologyFor(uint32_t bits) {
    if ((bits & (1u << 15)) && (bits & (1u << 14))) return std::string("CTRadioAccessTechnologyNRNSA");
    for (const auto& t : kTechnologies)
        if (bits & t.mask) return std::string(t.name);
    return std::nullopt;
}

template <typename T>
std::optional<T> cachedProperty(GDBusProxy* proxy, const char* name, const GVariantType* type, T (*read)(GVariant*)) {
    GVariant* value = g_dbus_proxy_get_cached_property(proxy, name);
    if (!value) return std::nullopt;
    std::optional<T> out;
    if (g_variant_is_of_type(value, type)) out = read(value);
    g_variant_unref(value);
    return out;
}

}  // namespace

// ModemManager's objects as GIO's object-manager client caches them; its
// signals arrive on the main context.
struct SystemTelephony::Watch {
    SystemTelephony* owner = nullptr;
    GDBusObjectManager* manager = nullptr;
    std::mutex mutex;
    std::optional<std::string> reported;

    std::optional<std::string> current() const {
        if (!manager) return std::nullopt;
        std::optional<std::string> any;
        std::optional<std::string> connected;
        GList* objects = g_dbus_object_manager_get_objects(manager);
        for (GList* l = objects; l; l = l->next) {
            GDBusInterface* modem = g_dbus_object_get_interface(G_DBUS_OBJECT(l->data), kModemInterface);
            if (!modem) continue;
            auto* proxy = G_DBUS_PROXY(modem);
            const auto bits = cachedProperty<uint32_t>(proxy, "AccessTechnologies", G_VARIANT_TYPE_UINT32,
                                                       [](GVariant* v) { return g_variant_get_uint32(v); });
            const auto state = cachedProperty<int32_t>(proxy, "State", G_VARIANT_TYPE_INT32,
                                                       [](GVariant* v) { return g_variant_get_int32(v); });
            g_object_unref(modem);
            auto technology = technologyFor(bits.value_or(0));
            if (!technology) continue;
            if (state && *state >= kModemStateConnected && !connected) connected = technology;
            if (!any) any = technology;
        }
        g_list_free_full(objects, g_object_unref);
        return connected ? connected : any;
    }

    // Any change of ModemManager's objects: a changed technology is posted once.
    static void changed(Watch* watch) {
        auto now = watch->current();
        {
            std::lock_guard lock(watch->mutex);
            if (now == watch->reported) return;
            watch->reported = now;
        }
        try {
            NotificationCenter::defaultCenter().post(CTRadioAccessTechnologyDidChangeNotification, watch->owner);
        } catch (const std::exception& e) {
            log("Radio technology observer failed: %s", e.what());
        }
    }
};

SystemTelephony::SystemTelephony() : watch_(new Watch) {
    watch_->owner = this;
    const bool onMain = RunLoop::isMainThread();
    if (onMain) g_main_context_push_thread_default(g_main_context_default());
    GError* error = nullptr;
    // Never starts ModemManager: without it there is no radio to ask.
    watch_->manager = g_dbus_object_manager_client_new_for_bus_sync(
        G_BUS_TYPE_SYSTEM, G_DBUS_OBJECT_MANAGER_CLIENT_FLAGS_DO_NOT_AUTO_START, kModemManagerName, kModemManagerPath,
        nullptr, nullptr, nullptr, nullptr, &error);
    if (onMain) g_main_context_pop_thread_default(g_main_context_default());
    if (!watch_->manager) {
        log("No cellular radio technology: the system bus cannot be reached (%s)",
            error ? error->message : "unknown error");
        if (error) g_error_free(error);
        return;
    }
    // Every signal's handler gets the watch first (swapped) and looks at nothing else.
    for (const char* signal : {"object-added", "object-removed", "interface-added", "interface-removed",
                               "interface-proxy-properties-changed", "notify::name-owner"})
        g_signal_connect_swapped(watch_->manager, signal, G_CALLBACK(+[](Watch* watch) { Watch::changed(watch); }),
                                 watch_);
    watch_->reported = watch_->current();
}

SystemTelephony::~SystemTelephony() {
    if (watch_->manager) {
        g_signal_handlers_disconnect_by_data(watch_->manager, watch_);
        g_object_unref(watch_->manager);
    }
    delete watch_;
}

std::optional<std::string> SystemTelephony::currentRadioAccessTechnology() const { return watch_->current(); }

std::shared_ptr<Telephony> Telephony::shared() {
    std::lock_guard lock(sharedMutex());
    auto& slot = sharedSlot();
    if (!slot) slot = std::make_shared<SystemTelephony>();
    return slot;
}

void Telephony::setShared(std::shared_ptr<Telephony> telephony) {
    std::lock_guard lock(sharedMutex());
    sharedSlot() = std::move(telephony);
}

std::optional<std::string> FakeTelephony::currentRadioAccessTechnology() const {
    std::lock_guard lock(mutex_);
    return technology_;
}

void FakeTelephony::setRadioAccessTechnology(std::optional<std::string> technology) {
    {
        std::lock_guard lock(mutex_);
        if (technology_ == technology) return;
        technology_ = std::move(technology);
    }
    NotificationCenter::defaultCenter().post(CTRadioAccessTechnologyDidChangeNotification, this);
}

}  // namespace wharf::platform
