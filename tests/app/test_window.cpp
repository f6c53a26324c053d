// The station's window, on Qt's offscreen platform: sending as a user types,
// the panes' bounds, notifications, and a picture of it for a person.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QListWidget>
#include <QProcess>
#include <QTest>
#include <functional>

#include "app/station.h"
#include "app/window_main.h"
#include "net/station_fixture.h"

namespace {

using Lines = std::vector<std::string>;

QWidget* w(plat::HWND h) { return static_cast<StationToolkit*>(plat::toolkit())->widget(h); }

Lines lines(plat::HWND h) {
    Lines out;
    auto* pane = qobject_cast<QListWidget*>(w(h));
    for (int i = 0; i < pane->count(); ++i) out.push_back(pane->item(i)->text().toStdString());
    return out;
}

// Enter sends as the button does, the text cut to 99 characters; a route
// length that is no number, below one, or more than the other stations can
// fill goes straight to the one station listed. Then the station in use, left
// as a picture beside the build for a person to look at.
TEST(Window, EnterSendsTheTypedTextCutStraightToTheRecipient) {
    net.save_IPaddr("10.0.0.92", rsa->get_my_keys());  // what key does not matter: nobody reads it
    const QString typed(150, QChar(0x10D));  // č: one byte in Windows-1250
    plat::SetWindowText(edit_1, typed.toStdString().c_str());
    plat::SetWindowText(edit_2, "10.0.0.92");
    Sink at_r("10.0.0.92");
    for (const char* length : {"abc", "-3", "2"}) {
        SCOPED_TRACE(length);
        print.reset();
        plat::SetWindowText(edit_3, length);
        QTest::keyClick(w(edit_1), Qt::Key_Return);
        const std::vector<Arrival> got = at_r.take();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].bytes.size(), 128u) << "one layer: 9 bytes of header and 99 of text";
        EXPECT_EQ(lines(listbox_1),
                  (Lines{"JA -> 10.0.0.92 : " + typed.left(99).toStdString(), "VYGENEROVANA TRASA:", "10.0.0.92", ""}));
    }
    ASSERT_TRUE(w(hwnd)->grab().save(CIBULA_PICTURE));
}

// Junk cannot grow the messages or the transfers pane without bound.
TEST(Window, PanesKeepTheirNewestLines) {
    const int kept = plat::WidgetToolkit::PANE_LINES;
    for (plat::HWND h : {listbox_1, listbox_3}) {
        for (int i = 0; i < kept + 5; ++i)
            plat::SendMessage(h, plat::LB_INSERTSTRING, 0, reinterpret_cast<plat::LPARAM>(std::to_string(i).c_str()));
        const Lines shown = lines(h);
        ASSERT_EQ(shown.size(), static_cast<size_t>(kept));
        EXPECT_EQ(shown.front(), std::to_string(kept + 4));
        EXPECT_EQ(shown.back(), "5");
    }
}

// The notification service of a desktop that renders body markup, on a
// private bus; it numbers the notifications it shows from 1.
class Notifications : public QDBusVirtualObject {
public:
    std::vector<QList<QVariant>> shown;  // the arguments of each Notify

    bool handleMessage(const QDBusMessage& m, const QDBusConnection& bus) override {
        if (m.member() == "Notify") shown.push_back(m.arguments());
        const QVariant id(static_cast<uint>(shown.size()));
        bus.send(m.createReply(m.member() == "Notify" ? id : QVariant(QStringList{"body", "body-markup"})));
        return true;
    }
    QString introspect(const QString&) const override { return {}; }
};

// Waits up to 5 s for `done`, and a little more for the answers to reach the station.
bool settle(const std::function<bool()>& done) {
    for (int i = 0; i < 100 && !done(); ++i) QTest::qWait(50);
    QTest::qWait(200);
    return done();
}

TEST(Notifier, BodyEscapedForMarkupAndOneNotificationPerSender) {
    QProcess daemon;
    daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
    if (!daemon.waitForStarted(5000)) GTEST_SKIP() << "no dbus-daemon";
    ASSERT_TRUE(daemon.waitForReadyRead(5000));
    const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
    QDBusConnection server = QDBusConnection::connectToBus(address, "server");
    Notifications service;
    ASSERT_TRUE(server.registerVirtualObject("/org/freedesktop/Notifications", &service));
    ASSERT_TRUE(server.registerService("org.freedesktop.Notifications"));
    {
        plat::Notifier notifier(QDBusConnection::connectToBus(address, "station"));
        notifier.show("10.0.0.5", "Nová správa od 10.0.0.5", "<a href=\"http://x/\">klik</a> & <b>");
        notifier.show("10.0.0.6", "Nová správa od 10.0.0.6", "druha");
        ASSERT_TRUE(settle([&] { return service.shown.size() == 2; }));
        notifier.show("10.0.0.5", "Nová správa od 10.0.0.5", "tretia");
        ASSERT_TRUE(settle([&] { return service.shown.size() == 3; }));
    }
    EXPECT_EQ(service.shown[0][4].toString(), "&lt;a href=&quot;http://x/&quot;&gt;klik&lt;/a&gt; &amp; &lt;b&gt;");
    EXPECT_EQ(service.shown[1][1].toUInt(), 0u);
    EXPECT_EQ(service.shown[2][1].toUInt(), 1u) << "the sender's notification is replaced";
    server.unregisterObject("/org/freedesktop/Notifications");
    QDBusConnection::disconnectFromBus("server");
    daemon.terminate();
    daemon.waitForFinished(5000);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Messages arrive here too; none may become a notification on the desktop.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    StationToolkit tk;
    plat::set_toolkit(&tk);
    if (!create_window()) return 1;
    make_keys(5);
    net.set_own_address(inet_addr("10.0.0.91"));
    int code = RUN_ALL_TESTS();
    net.set_rsa(nullptr);
    delete rsa;
    plat::set_toolkit(nullptr);
    return code;
}
