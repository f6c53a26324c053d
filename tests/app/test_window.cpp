// The station's window, on Qt's offscreen platform: its controls, the send and
// clear commands as a user drives them, and a picture of it for a person.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <functional>

#include "app/station.h"
#include "app/window_main.h"
#include "net/station_fixture.h"

namespace {

using Lines = std::vector<std::string>;
StationToolkit* g_tk = nullptr;

QWidget* w(plat::HWND h) { return g_tk->widget(h); }
QLineEdit* edit(plat::HWND h) { return qobject_cast<QLineEdit*>(w(h)); }
QListWidget* pane(plat::HWND h) { return qobject_cast<QListWidget*>(w(h)); }
QPushButton* button(plat::HWND h) { return qobject_cast<QPushButton*>(w(h)); }

Lines lines(plat::HWND h) {
    Lines out;
    for (int i = 0; i < pane(h)->count(); ++i) out.push_back(pane(h)->item(i)->text().toStdString());
    return out;
}

void type(plat::HWND h, const QString& text) { edit(h)->setText(text); }

class Window : public ::testing::Test, protected InTempDir {
protected:
    void SetUp() override {
        net.stations().erase_all();
        print.refresh_ip_window(&net.stations());
        print.reset();
        type(edit_1, "");
        type(edit_2, "");
        type(edit_3, "0");
    }
    // Lists `s` as its HELLO would.
    void knows(TestStation& s) { net.save_IPaddr(s.name().c_str(), s.rsa.get_my_keys()); }
};

TEST_F(Window, ControlsStandWhereTheyBelongAndStayOnResize) {
    const std::pair<plat::HWND, QRect> controls[] = {
        {edit_1, {10, 25, 650, 20}},
        {edit_2, {10, 70, 450, 20}},
        {edit_3, {480, 70, 50, 20}},
        {listbox_1, {10, 130, 500, 140}},
        {listbox_2, {530, 130, 150, 260}},
        {listbox_3, {10, 290, 500, 110}},
        {button_1, {560, 70, 85, 20}},
        {button_2, {410, 105, 100, 20}},
    };
    EXPECT_EQ(w(hwnd)->size(), QSize(700, 450));
    for (int order = 0; order < 8; ++order) {
        EXPECT_EQ(w(controls[order].first)->geometry(), controls[order].second) << order;
        EXPECT_EQ(w(controls[order].first)->objectName().toInt(), order + 1) << "created in this order";
    }
    EXPECT_EQ(edit(edit_3)->text(), "0");
    EXPECT_EQ(button(button_1)->text(), "Poslať");
    EXPECT_EQ(button(button_2)->text(), "Vymazat okna");
    w(hwnd)->resize(1000, 800);
    QApplication::processEvents();
    for (const auto& [h, geometry] : controls) EXPECT_EQ(w(h)->geometry(), geometry);
    w(hwnd)->resize(700, 450);
}

TEST_F(Window, SendWithNobodyKnownSaysSoInOrder) {
    type(edit_1, "ahoj");
    type(edit_2, "10.1.2.3");
    type(edit_3, "2");
    QTest::mouseClick(button(button_1), Qt::LeftButton);
    EXPECT_EQ(lines(listbox_1), (Lines{"Stanica neexistuje.", "", "Nie su dostupne ziadne stanice", ""}));
}

// A route length that is no positive number goes straight to the recipient;
// the text is cut to 99 characters; Enter sends as the button does.
TEST_F(Window, SendStraightWithCutTextByButtonOrEnter) {
    TestStation r("10.0.0.92", 32), other("10.0.0.95", 33);
    knows(other);
    knows(r);
    const QString long_text(150, QChar(0x10D));  // č
    const struct { QString text, length; bool enter; size_t bytes; QString shown; } sends[] = {
        {"priamo", "abc", false, 64, "priamo"},
        {"priamo", "-3", false, 64, "priamo"},
        {long_text, "0", true, 128, long_text.left(99)},
    };
    Sink at_r("10.0.0.92");
    for (const auto& s : sends) {
        SCOPED_TRACE(s.length.toStdString());
        type(edit_1, s.text);
        type(edit_2, "10.0.0.92");
        type(edit_3, s.length);
        if (s.enter) QTest::keyClick(edit(edit_1), Qt::Key_Return);
        else QTest::mouseClick(button(button_1), Qt::LeftButton);
        EXPECT_EQ(at_r.one().size(), s.bytes) << "one layer, for the recipient";
        const Lines shown = lines(listbox_1);
        ASSERT_GE(shown.size(), 3u);
        EXPECT_EQ(Lines(shown.begin(), shown.begin() + 3),
                  (Lines{"JA -> 10.0.0.92 : " + s.shown.toStdString(), "VYGENEROVANA TRASA:", "10.0.0.92"}));
    }
}

TEST_F(Window, PickedStationBecomesTheRecipient) {
    TestStation a("10.0.0.92", 32), b("10.0.0.95", 33);
    knows(a);
    knows(b);
    QListWidget* list = pane(listbox_2);
    ASSERT_EQ(lines(listbox_2), (Lines{"10.0.0.92", "10.0.0.95"}));
    auto click = [list](QPoint at) { QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at); };
    QPoint second = list->visualItemRect(list->item(1)).center();

    type(edit_2, "10.9.9.9");
    click(second);
    EXPECT_EQ(edit(edit_2)->text(), "10.0.0.95");
    type(edit_2, "10.9.9.9");
    click({list->viewport()->width() / 2, list->viewport()->height() - 5});
    EXPECT_EQ(edit(edit_2)->text(), "10.9.9.9") << "below the lines";
    click(second);
    EXPECT_EQ(edit(edit_2)->text(), "10.0.0.95") << "the line picked already, clicked again";
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Up);
    EXPECT_EQ(edit(edit_2)->text(), "10.0.0.92");

    Sink at_a("10.0.0.92");
    type(edit_1, "vybrana");
    QTest::mouseClick(button(button_1), Qt::LeftButton);
    EXPECT_EQ(at_a.one().size(), 64u);
    EXPECT_EQ(lines(listbox_1)[0], "JA -> 10.0.0.92 : vybrana");
}

// Clearing keeps the stations; then a station in use, left as a picture
// beside the build for a person to look at.
TEST_F(Window, ClearThenAStationInUse) {
    TestStation writer("10.0.0.96", 34), relay("10.0.0.97", 35);
    knows(writer);
    knows(relay);
    print.printout_mess("x");
    print.printout_transmission("y");
    QTest::mouseClick(button(button_2), Qt::LeftButton);
    EXPECT_EQ(pane(listbox_1)->count() + pane(listbox_3)->count(), 0);
    EXPECT_EQ(lines(listbox_2), (Lines{"10.0.0.96", "10.0.0.97"}));

    // A message written in Windows-1250, shown in Unicode and acknowledged.
    writer.net.stations().add("10.0.0.91", rsa->get_my_keys());
    std::stack<uint32_t> route;
    route.push(net.own_address());
    const std::string text = "Dobrý deň, ako sa máš? Ďakujem, že čítaš.", wire = plat::utf8_to_cp1250(text);
    int len = static_cast<int>(wire.size());
    uint32_t to = 0, first = 0;
    std::unique_ptr<char[]> packet(writer.net.create_onion(route, wire.c_str(), &len, &to, &first));
    ASSERT_TRUE(packet);
    Sink at_writer("10.0.0.96"), at_relay("10.0.0.97");
    net.handle_message(packet.get(), len, writer.net.own_address());
    EXPECT_EQ(at_writer.one(), "ACK");
    print.printout_transmission("PRENOS: 10.0.0.96 -> 10.0.0.91 -> 10.0.0.97");
    type(edit_1, "Ahoj, tu je odpoveď.");
    type(edit_2, "10.0.0.97");
    QTest::mouseClick(button(button_1), Qt::LeftButton);
    EXPECT_EQ(at_relay.one().size(), 64u);
    net.handle_message("ACK", 3, inet_addr("10.0.0.97"));
    const Lines shown = lines(listbox_1);
    ASSERT_EQ(shown.size(), 7u);
    EXPECT_EQ(shown[1], "JA -> 10.0.0.97 : Ahoj, tu je odpoveď.");
    EXPECT_EQ(shown[5], "10.0.0.96 -> JA : " + text);
    ASSERT_TRUE(w(hwnd)->grab().save(CIBULA_PICTURE));
}

// A peer's line breaks and tabs cannot forge lines; junk cannot grow a pane
// without bound.
TEST_F(Window, ControlCharactersShowAsQuestionMarksAndPanesKeepTheirNewestLines) {
    print.printout_mess("riadok\nJA -> 10.0.0.1 : falosny\t\x7f", "10.0.0.5", "IN");
    EXPECT_EQ(lines(listbox_1), Lines{"10.0.0.5 -> JA : riadok?JA -> 10.0.0.1 : falosny??"});
    for (int i = 0; i < plat::WidgetToolkit::PANE_LINES + 5; ++i)
        print.printout_transmission(std::to_string(i).c_str());
    ASSERT_EQ(pane(listbox_3)->count(), plat::WidgetToolkit::PANE_LINES);
    EXPECT_EQ(lines(listbox_3).front(), std::to_string(plat::WidgetToolkit::PANE_LINES + 4));
    EXPECT_EQ(lines(listbox_3).back(), "5");
}

// The notification service of a desktop, on a private bus: it may render body
// markup or not, and numbers the notifications it shows from 1.
class Notifications : public QDBusVirtualObject {
public:
    explicit Notifications(bool markup) : markup_(markup) {}
    struct Shown {
        uint replaces;
        QString summary, body;
    };
    std::vector<Shown> shown;
    int asked = 0;

    bool handleMessage(const QDBusMessage& m, const QDBusConnection& bus) override {
        if (m.member() == "GetCapabilities") {
            ++asked;
            bus.send(m.createReply(QVariant(markup_ ? QStringList{"body", "body-markup"} : QStringList{"body"})));
        } else if (m.member() == "Notify" && m.arguments().size() == 8) {
            const QList<QVariant> a = m.arguments();
            shown.push_back({a[1].toUInt(), a[3].toString(), a[4].toString()});
            bus.send(m.createReply(QVariant(a[1].toUInt() ? a[1].toUInt() : static_cast<uint>(shown.size()))));
        } else {
            return false;
        }
        return true;
    }
    QString introspect(const QString&) const override { return {}; }

private:
    bool markup_;
};

bool settle(const std::function<bool()>& done) {
    for (int i = 0; i < 100 && !done(); ++i) QTest::qWait(50);
    return done();
}

TEST(Notifier, BodyEscapedOnlyForMarkupAndOneNotificationPerSender) {
    QProcess daemon;
    daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
    if (!daemon.waitForStarted(5000)) GTEST_SKIP() << "no dbus-daemon";
    ASSERT_TRUE(daemon.waitForReadyRead(5000));
    const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
    const QString body = "<a href=\"http://x/\">klik</a> & <img src=\"y\"/>";
    for (bool markup : {true, false}) {
        SCOPED_TRACE(markup);
        const QString tag = markup ? "markup" : "plain";
        QDBusConnection server = QDBusConnection::connectToBus(address, "server-" + tag);
        Notifications service(markup);
        ASSERT_TRUE(server.registerVirtualObject("/org/freedesktop/Notifications", &service));
        ASSERT_TRUE(server.registerService("org.freedesktop.Notifications"));
        {
            plat::Notifier notifier(QDBusConnection::connectToBus(address, "station-" + tag));
            ASSERT_TRUE(settle([&] { return service.asked == 1; }));
            QTest::qWait(200);  // its answer reaches the station
            notifier.show("10.0.0.5", "Nová správa od 10.0.0.5", body);
            notifier.show("10.0.0.6", "Nová správa od 10.0.0.6", "druha");
            ASSERT_TRUE(settle([&] { return service.shown.size() == 2; }));
            QTest::qWait(200);  // the ids reach the station
            notifier.show("10.0.0.5", "Nová správa od 10.0.0.5", "tretia");
            ASSERT_TRUE(settle([&] { return service.shown.size() == 3; }));
        }
        EXPECT_EQ(service.shown[0].body.toStdString(),
                  (markup ? body.toHtmlEscaped() : body).toStdString());
        EXPECT_EQ(service.shown[0].summary, "Nová správa od 10.0.0.5");
        EXPECT_EQ(service.shown[1].replaces, 0u);
        EXPECT_EQ(service.shown[2].replaces, 1u) << "the sender's notification is replaced";
        QDBusConnection::disconnectFromBus("station-" + tag);
        server.unregisterService("org.freedesktop.Notifications");
        server.unregisterObject("/org/freedesktop/Notifications");
        QDBusConnection::disconnectFromBus("server-" + tag);
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
    g_tk = &tk;
    plat::set_toolkit(&tk);
    if (!create_window()) return 1;
    make_keys(5);
    net.set_own_address(inet_addr("10.0.0.91"));
    int code = RUN_ALL_TESTS();
    net.set_rsa(nullptr);
    delete rsa;
    rsa = nullptr;
    plat::set_toolkit(nullptr);
    return code;
}
