// The notification-area icon as Qt reports clicks on it: through the icon's
// activation signal, on both kinds of tray; and the question which kind the
// desktop offers, asked of a real session bus.
#include <gtest/gtest.h>

#include <QAction>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QThread>
#include <csignal>
#include <cstdio>

#include "app/TrayKind.h"
#include "tests/app/FormFixture.h"

namespace {

struct TActivationCase {
    const char* Name;
    bool StatusNotifier; // the tray's kind
    QSystemTrayIcon::ActivationReason Reason;
    bool ShownBefore;
    bool ShownAfter;
    bool Menu;
};
void PrintTo(const TActivationCase& c, std::ostream* os) {
    *os << c.Name;
}

const TActivationCase ActivationCases[] = {
    {"StatusNotifierTriggerShowsTheWindow", true, QSystemTrayIcon::Trigger, false, true, false},
    {"StatusNotifierTriggerKeepsItShown", true, QSystemTrayIcon::Trigger, true, true, false},
    {"StatusNotifierDoubleClickShowsTheWindow", true, QSystemTrayIcon::DoubleClick, false, true, false},
    {"StatusNotifierContextShowsTheMenu", true, QSystemTrayIcon::Context, false, false, true},
    {"StatusNotifierMiddleClickIsIgnored", true, QSystemTrayIcon::MiddleClick, false, false, false},
    {"XEmbedTriggerIsIgnored", false, QSystemTrayIcon::Trigger, false, false, false},
    {"XEmbedDoubleClickShowsTheWindow", false, QSystemTrayIcon::DoubleClick, false, true, false},
    {"XEmbedContextShowsTheMenu", false, QSystemTrayIcon::Context, false, false, true},
    {"XEmbedContextOnAShownWindowShowsNoMenu", false, QSystemTrayIcon::Context, true, true, false},
};

class TrayActivation : public FormFixture, public testing::WithParamInterface<TActivationCase> {};

TEST_P(TrayActivation, ClickOnTheIcon) {
    const TActivationCase& c = GetParam();
    Options.StatusNotifierTray = c.StatusNotifier;
    CreateForm();
    Form->StartRunMode(false);
    if (c.ShownBefore)
        Form->miProperties->trigger();
    ASSERT_EQ(Form->isVisible(), c.ShownBefore);

    emit Form->TrayIcon->activated(c.Reason);
    EXPECT_EQ(Form->isVisible(), c.ShownAfter);
    EXPECT_EQ(Form->PopupMenu->isVisible(), c.Menu);
    Form->PopupMenu->hide();
}

INSTANTIATE_TEST_SUITE_P(Tray, TrayActivation, testing::ValuesIn(ActivationCases),
                         [](const auto& test) { return std::string(test.param.Name); });

// A session bus of the test's own: dbus-daemon in the background, ended with the test.
class TSessionBus {
public:
    TSessionBus() {
        FILE* daemon = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1 2>/dev/null", "r");
        if (!daemon)
            return;
        char line[512];
        if (std::fgets(line, sizeof line, daemon))
            Address = QString::fromUtf8(line).trimmed();
        if (std::fgets(line, sizeof line, daemon))
            pid_ = std::atoi(line);
        ::pclose(daemon);
    }
    ~TSessionBus() {
        if (pid_ > 0)
            ::kill(pid_, SIGTERM);
    }
    TSessionBus(const TSessionBus&) = delete;
    TSessionBus& operator=(const TSessionBus&) = delete;

    QString Address;

private:
    pid_t pid_ = -1;
};

// The watcher's one property, answered on a thread of its own so that the
// blocking question from the test's thread can be served.
class TWatcher : public QDBusVirtualObject {
public:
    explicit TWatcher(QVariant answer) : answer_(std::move(answer)) {}
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != "org.freedesktop.DBus.Properties" || message.member() != "Get")
            return false;
        if (message.arguments().value(1).toString() != "IsStatusNotifierHostRegistered")
            connection.send(message.createErrorReply(QDBusError::UnknownProperty, "no such property"));
        else
            connection.send(message.createReply(QVariant::fromValue(QDBusVariant(answer_))));
        return true;
    }

private:
    QVariant answer_;
};

struct TWatcherCase {
    const char* Name;
    bool Watcher;   // a watcher service is on the bus
    QVariant Answer; // what it says
    bool Expected;
};
void PrintTo(const TWatcherCase& c, std::ostream* os) {
    *os << c.Name;
}

class TrayKind : public testing::TestWithParam<TWatcherCase> {};

TEST_P(TrayKind, TheWatcherOnTheSessionBusDecides) {
    TestApplication();
    const TWatcherCase& c = GetParam();
    TSessionBus bus;
    if (bus.Address.isEmpty())
        GTEST_SKIP() << "dbus-daemon is not installed";
    static int serial = 0;
    const QString suffix = QString::number(++serial);
    QThread thread;
    thread.start();
    TWatcher watcher(c.Answer);
    watcher.moveToThread(&thread);
    {
        QDBusConnection host = QDBusConnection::connectToBus(bus.Address, "watcher" + suffix);
        ASSERT_TRUE(host.isConnected()) << host.lastError().message().toStdString();
        if (c.Watcher) {
            ASSERT_TRUE(host.registerVirtualObject("/StatusNotifierWatcher", &watcher));
            ASSERT_TRUE(host.registerService("org.kde.StatusNotifierWatcher"));
        }
        QDBusConnection program = QDBusConnection::connectToBus(bus.Address, "program" + suffix);
        ASSERT_TRUE(program.isConnected());
        EXPECT_EQ(StatusNotifierHostRegistered(program), c.Expected);
        host.unregisterObject("/StatusNotifierWatcher");
    }
    QDBusConnection::disconnectFromBus("watcher" + suffix);
    QDBusConnection::disconnectFromBus("program" + suffix);
    thread.quit();
    thread.wait();
    watcher.moveToThread(QThread::currentThread());
}

const TWatcherCase WatcherCases[] = {
    {"NoWatcher", false, QVariant(true), false},
    {"HostRegistered", true, QVariant(true), true},
    {"NoHostRegistered", true, QVariant(false), false},
    {"AnswerOfAnotherType", true, QVariant(QString("true")), false},
};

INSTANTIATE_TEST_SUITE_P(Tray, TrayKind, testing::ValuesIn(WatcherCases),
                         [](const auto& test) { return std::string(test.param.Name); });

TEST(TrayKindWithoutBus, AConnectionThatFailedSaysNo) {
    TestApplication();
    const QDBusConnection none = QDBusConnection::connectToBus(QString("unix:path=/nonexistent/bus"), "nobus");
    EXPECT_FALSE(StatusNotifierHostRegistered(none));
    QDBusConnection::disconnectFromBus("nobus");
}

} // namespace
