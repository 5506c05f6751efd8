#include "app/TrayKind.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>

namespace {
const char* const WatcherService = "org.kde.StatusNotifierWatcher";
const char* const WatcherPath = "/StatusNotifierWatcher";
// A watcher that does not answer must not hold up the program's start.
constexpr int AnswerLimitMs = 2000;
} // namespace

bool StatusNotifierHostRegistered(const QDBusConnection& bus) {
    if (!bus.isConnected() || !bus.interface())
        return false;
    const QDBusReply<bool> registered = bus.interface()->isServiceRegistered(WatcherService);
    if (!registered.isValid() || !registered.value())
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(WatcherService, WatcherPath, "org.freedesktop.DBus.Properties",
                                                      "Get");
    get << QString::fromLatin1(WatcherService) << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage answer = bus.call(get, QDBus::Block, AnswerLimitMs);
    if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty())
        return false;
    const QVariant value = answer.arguments().first().value<QDBusVariant>().variant();
    return value.typeId() == QMetaType::Bool && value.toBool();
}

bool DesktopHasStatusNotifierTray() {
    return StatusNotifierHostRegistered(QDBusConnection::sessionBus());
}
