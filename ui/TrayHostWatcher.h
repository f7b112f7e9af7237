#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>

#include <cstdint>

namespace glimmet {

// Watches for a system tray host that starts after the bridge: a StatusNotifierWatcher with a
// registered host on the session bus, or an XEmbed tray manager on the X display. Qt keeps its
// first answer about a D-Bus tray for the whole process, so the app asks Qt for a tray only
// once hostPresent() holds. Main thread; owned by the app until the tray icon exists.
class TrayHostWatcher : public QObject, private QAbstractNativeEventFilter {
    Q_OBJECT
public:
    explicit TrayHostWatcher(QObject* parent = nullptr);
    ~TrayHostWatcher() override;

    // Whether a tray host is there now. Asks the session bus and the X server, never Qt.
    static bool hostPresent();
    // Whether a host can still come: the application runs on an X11 or Wayland display.
    static bool hostCanAppear();

signals:
    // A tray host appeared; emitted once.
    void hostAppeared();

private slots:
    void checkStatusNotifierHost();

private:
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;
    void appear();

    std::uint32_t managerAtom = 0;
    std::uint32_t trayAtom = 0;
    bool appeared = false;
};

} // namespace glimmet
