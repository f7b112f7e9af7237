// A stand-in tray host for the tray test: owns org.kde.StatusNotifierWatcher on the session
// bus, accepts item registrations and says a host is present. Prints "ready" once it owns
// the name.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>

#include <cstdio>

class Watcher : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredItems)

public:
    bool isHostRegistered() const { return true; }
    QStringList registeredItems() const { return items; }

public slots:
    void RegisterStatusNotifierItem(const QString& service) {
        // An item may register by object path; it then lives on the caller's connection.
        const QString item = service.startsWith(u'/') ? message().service() + service : service;
        items << item;
    }

private:
    QStringList items;
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Watcher watcher;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties) ||
        !bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher")))
        return 1;
    std::puts("ready");
    std::fflush(stdout);
    return app.exec();
}

#include "TrayWatcherStub.moc"
