#include "ui/TrayHostWatcher.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>

#include <cstdlib>
#include <memory>

#include <xcb/xcb.h>

namespace glimmet {

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
constexpr int busTimeoutMs = 2000;

template <class T> using XcbReply = std::unique_ptr<T, decltype(&std::free)>;

// The StatusNotifierWatcher runs and says a host (a panel's tray) is registered with it.
bool statusNotifierHostPresent() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(watcherService))
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(watcherService, watcherPath,
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << watcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(get, QDBus::Block, busTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage &&
           qvariant_cast<QDBusVariant>(reply.arguments().value(0)).variant().toBool();
}

xcb_connection_t* x11Connection() {
    const auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t atom(xcb_connection_t* connection, const QByteArray& name) {
    const XcbReply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, quint16(name.size()), name.constData()), nullptr),
        &std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// The selection an XEmbed tray manager owns on the display's default screen.
QByteArray traySelection() {
    char* host = nullptr;
    int display = 0, screen = 0;
    if (!xcb_parse_display(nullptr, &host, &display, &screen))
        screen = 0;
    std::free(host);
    return "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen);
}

bool xembedTrayPresent() {
    xcb_connection_t* connection = x11Connection();
    if (!connection)
        return false;
    const xcb_atom_t selection = atom(connection, traySelection());
    if (selection == XCB_ATOM_NONE)
        return false;
    const XcbReply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr),
        &std::free);
    return owner && owner->owner != XCB_WINDOW_NONE;
}

} // namespace

TrayHostWatcher::TrayHostWatcher(QObject* parent)
    : QObject(parent) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    auto* services =
        new QDBusServiceWatcher(watcherService, bus, QDBusServiceWatcher::WatchForRegistration, this);
    connect(services, &QDBusServiceWatcher::serviceRegistered, this,
            &TrayHostWatcher::checkStatusNotifierHost);
    // A watcher that starts before its host announces the host when it registers.
    bus.connect(watcherService, watcherPath, watcherService, QStringLiteral("StatusNotifierHostRegistered"),
                this, SLOT(checkStatusNotifierHost()));
    // A new XEmbed tray manager says so to every client with a "MANAGER" message on the root
    // window, which Qt already listens to.
    if (xcb_connection_t* connection = x11Connection()) {
        managerAtom = atom(connection, "MANAGER");
        trayAtom = atom(connection, traySelection());
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
}

TrayHostWatcher::~TrayHostWatcher() = default;

bool TrayHostWatcher::hostPresent() {
    return statusNotifierHostPresent() || xembedTrayPresent();
}

bool TrayHostWatcher::hostCanAppear() {
    const QString platform = QGuiApplication::platformName();
    return platform == u"xcb" || platform.startsWith(u"wayland");
}

void TrayHostWatcher::checkStatusNotifierHost() {
    if (!appeared && statusNotifierHostPresent())
        appear();
}

bool TrayHostWatcher::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (appeared || eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE)
        return false;
    const auto* client = reinterpret_cast<const xcb_client_message_event_t*>(event);
    if (client->format == 32 && client->type == managerAtom && client->data.data32[1] == trayAtom)
        QMetaObject::invokeMethod(this, &TrayHostWatcher::appear, Qt::QueuedConnection);
    return false; // Qt sees the message too
}

void TrayHostWatcher::appear() {
    if (appeared)
        return;
    appeared = true;
    emit hostAppeared();
}

} // namespace glimmet
