// The station's window, on Qt's offscreen platform: sending as a user types,
// the panes' bounds, notifications, and a picture of it for a person.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QTest>
#include <functional>

#include "app/station.h"
#include "app/window_main.h"
#include "net/station_fixture.h"

namespace {

using Lines = std::vector<std::string>;

// The station's host: one interface, loopback posing as Ethernet on the
// test namespace's network, until the test takes its address away.
bool g_addressed = true;
HostNetwork host() {
    const unsigned lan = IFF_UP | IFF_RUNNING | IFF_BROADCAST;
    return {{{"eth0", 1, lan, true, {g_addressed ? inet_addr("10.0.0.91") : 0u}}}, {}};
}

QWidget* w(plat::HWND h) { return static_cast<StationToolkit*>(plat::toolkit())->widget(h); }

Lines lines(plat::HWND h) {
    Lines out;
    auto* pane = qobject_cast<QListWidget*>(w(h));
    for (int i = 0; i < pane->count(); ++i) out.push_back(pane->item(i)->text().toStdString());
    return out;
}

// Enter sends as the button does, the text cut to 99 characters; a route
// length that is no number, below one, or more than the other stations can
// fill goes straight to the one station listed. With relays asked for and
// none to draw (nobody listed, or every listed station known unreachable)
// nothing is sent: going straight would give away who writes to whom.
// Without an address nothing is sent either. The caption names the address. Then
// the station in use, left as a picture beside the build for a person to look
// at. The controls stand in place; junk cannot grow the messages or the
// transfers pane without bound; clearing empties them but keeps the stations.
TEST(Window, DrivenAsAUserDrivesIt) {
    const QString typed(150, QChar(0x10D));  // č: one byte in Windows-1250
    plat::SetWindowText(edit_1, typed.toStdString().c_str());
    plat::SetWindowText(edit_2, "10.0.0.92");
    Sink at_r("10.0.0.92");
    const Lines sent{"JA -> 10.0.0.92 : " + typed.left(99).toStdString(), "VYGENEROVANA TRASA:", "10.0.0.92", ""};
    const Lines none{"Nie su dostupne ziadne stanice", ""};
    enum Before { NOTHING, LIST, CUT_OFF, NO_ADDRESS };
    const struct { const char* length; Before before; Lines shown; } rows[] = {
        {"2", NOTHING, {"Stanica neexistuje.", "", none[0], ""}},
        {"abc", LIST, sent}, {"-3", NOTHING, sent}, {"2", NOTHING, sent},
        {"0", NO_ADDRESS, {"Sprava pre 10.0.0.92 nebola potvrdena.", "Chyba pri pripojeni na vzdalenu stanicu.",
                           sent[0], sent[1], sent[2], sent[3]}},
        {"2", CUT_OFF, none},
    };
    for (const auto& [length, before, shown] : rows) {
        SCOPED_TRACE(length);
        if (before == LIST) net.save_IPaddr("10.0.0.92", rsa->get_my_keys());  // what key does not matter
        if (before == CUT_OFF) net.stations().unreachable(inet_addr("10.0.0.92"));
        g_addressed = before != NO_ADDRESS;
        print.reset();
        plat::SetWindowText(edit_3, length);
        QTest::keyClick(w(edit_1), Qt::Key_Return);
        const std::vector<Arrival> got = at_r.take();
        EXPECT_EQ(lines(listbox_1), shown);
        EXPECT_EQ(w(hwnd)->windowTitle().toStdString(),
                  g_addressed ? "Cibuľa – stanica 10.0.0.91 (eth0)" : "Cibuľa – stanica (bez adresy)");
        ASSERT_EQ(got.size(), shown == sent ? 1u : 0u);
        for (const Arrival& a : got) EXPECT_EQ(a.bytes.size(), 128u) << "one layer: 9 bytes of header and 99 of text";
    }
    ASSERT_TRUE(w(hwnd)->grab().save(CIBULA_PICTURE));

    // The controls stand where the window's layout puts them, and a resize moves none.
    const std::pair<plat::HWND, QRect> controls[] = {
        {edit_1, {10, 25, 650, 20}},       {edit_2, {10, 70, 450, 20}},     {edit_3, {480, 70, 50, 20}},
        {listbox_1, {10, 130, 500, 140}},  {listbox_2, {530, 130, 150, 260}}, {listbox_3, {10, 290, 500, 110}},
        {button_1, {560, 70, 85, 20}},     {button_2, {410, 105, 100, 20}},
    };
    for (QSize size : {QSize(700, 450), QSize(1000, 800)}) {
        w(hwnd)->resize(size);
        QApplication::processEvents();
        for (const auto& [h, geometry] : controls) EXPECT_EQ(w(h)->geometry(), geometry);
    }
    // A station clicked in the stations pane becomes the recipient.
    net.save_IPaddr("10.0.0.95", rsa->get_my_keys());
    auto* list = qobject_cast<QListWidget*>(w(listbox_2));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(1)).center());
    EXPECT_EQ(qobject_cast<QLineEdit*>(w(edit_2))->text(), "10.0.0.95");
    const int kept = plat::WidgetToolkit::PANE_LINES;
    for (plat::HWND h : {listbox_1, listbox_3}) {
        for (int i = 0; i < kept + 5; ++i)
            plat::SendMessage(h, plat::LB_INSERTSTRING, 0, reinterpret_cast<plat::LPARAM>(std::to_string(i).c_str()));
        const Lines shown = lines(h);
        ASSERT_EQ(shown.size(), static_cast<size_t>(kept));
        EXPECT_EQ((std::pair{shown.front(), shown.back()}), (std::pair{std::to_string(kept + 4), std::string("5")}));
    }
    QTest::mouseClick(w(button_2), Qt::LeftButton);
    EXPECT_EQ(lines(listbox_1), Lines{});
    EXPECT_EQ(lines(listbox_3), Lines{});
    EXPECT_EQ(lines(listbox_2), (Lines{"10.0.0.92", "10.0.0.95"}));
}

// The notification service of a desktop that renders body markup or not, on
// a private bus; it numbers the notifications it shows from 1.
class Notifications : public QDBusVirtualObject {
public:
    bool markup = true;
    int asked = 0;                       // for its capabilities
    std::vector<QList<QVariant>> shown;  // the arguments of each Notify

    bool handleMessage(const QDBusMessage& m, const QDBusConnection& bus) override {
        if (m.member() == "Notify") shown.push_back(m.arguments());
        else ++asked;
        const QStringList can = markup ? QStringList{"body", "body-markup"} : QStringList{"body"};
        bus.send(m.createReply(m.member() == "Notify" ? QVariant(static_cast<uint>(shown.size())) : QVariant(can)));
        return true;
    }
    QString introspect(const QString&) const override { return {}; }
};

// Waits up to 5 s for `done`, and a little more for the answers to reach the station.
bool settle(const std::function<bool()>& done) {
    const bool ok = QTest::qWaitFor(done, 5000);
    QTest::qWait(200);
    return ok;
}

TEST(Notifier, BodyEscapedOnlyForMarkupAndOneNotificationPerSender) {
    QProcess daemon;
    daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
    if (!daemon.waitForStarted(5000)) GTEST_SKIP() << "no dbus-daemon";
    ASSERT_TRUE(daemon.waitForReadyRead(5000));
    const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
    QDBusConnection server = QDBusConnection::connectToBus(address, "server");
    Notifications service;
    ASSERT_TRUE(server.registerVirtualObject("/org/freedesktop/Notifications", &service));
    ASSERT_TRUE(server.registerService("org.freedesktop.Notifications"));
    const QString body = "<a href=\"http://x/\">klik</a> & <b>";
    for (bool markup : {true, false}) {
        SCOPED_TRACE(markup);
        service.markup = markup;
        service.asked = 0;
        service.shown.clear();
        plat::Notifier notifier(QDBusConnection::connectToBus(address, "station"));
        ASSERT_TRUE(settle([&] { return service.asked == 1; }));
        notifier.show("10.0.0.5", "Nová správa od 10.0.0.5", body);
        notifier.show("10.0.0.6", "Nová správa od 10.0.0.6", "druha");
        ASSERT_TRUE(settle([&] { return service.shown.size() == 2; }));
        notifier.show("10.0.0.5", "Nová správa od 10.0.0.5", "tretia");
        ASSERT_TRUE(settle([&] { return service.shown.size() == 3; }));
        EXPECT_EQ(service.shown[0][4].toString(),
                  markup ? "&lt;a href=&quot;http://x/&quot;&gt;klik&lt;/a&gt; &amp; &lt;b&gt;" : body);
        EXPECT_EQ(service.shown[1][1].toUInt(), 0u);
        EXPECT_EQ(service.shown[2][1].toUInt(), 1u) << "the sender's notification is replaced";
    }
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
    net.set_host_reader(host);
    InTempDir here;  // the station's transcript goes there
    int code = RUN_ALL_TESTS();
    net.set_rsa(nullptr);
    delete rsa;
    plat::set_toolkit(nullptr);
    return code;
}
