#pragma once
// Which kind of notification area the desktop offers. On the D-Bus
// StatusNotifierItem kind (KDE Plasma; GNOME with the AppIndicator extension)
// Qt reports a left click on the icon only as QSystemTrayIcon::Trigger, never
// as DoubleClick. Qt takes that kind whenever a StatusNotifierWatcher on the
// session bus says a host is registered; this asks the same question.
class QDBusConnection;

// Asks `bus` for org.kde.StatusNotifierWatcher's IsStatusNotifierHostRegistered.
// False when the bus, the watcher or the answer is missing; never waits longer
// than a short limit.
bool StatusNotifierHostRegistered(const QDBusConnection& bus);
// The same on the session bus.
bool DesktopHasStatusNotifierTray();
