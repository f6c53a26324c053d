// The station's window, on Qt's offscreen platform: its controls, the send and
// clear commands as a user drives them, and a picture of it for a person.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "app/station.h"
#include "app/window_main.h"
#include "net/station_fixture.h"

namespace {

StationToolkit* g_tk = nullptr;

QWidget* w(plat::HWND h) { return g_tk->widget(h); }
QLineEdit* edit(plat::HWND h) { return qobject_cast<QLineEdit*>(w(h)); }
QListWidget* pane(plat::HWND h) { return qobject_cast<QListWidget*>(w(h)); }
QPushButton* button(plat::HWND h) { return qobject_cast<QPushButton*>(w(h)); }

std::vector<std::string> lines(plat::HWND h) {
    std::vector<std::string> out;
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
};

TEST_F(Window, ControlsStandWhereTheyBelongAndStayOnResize) {
    struct Expect {
        plat::HWND h;
        QRect geometry;
        const char* text;
    };
    const Expect controls[] = {
        {edit_1, {10, 25, 650, 20}, ""},
        {edit_2, {10, 70, 450, 20}, ""},
        {edit_3, {480, 70, 50, 20}, "0"},
        {listbox_1, {10, 130, 500, 140}, nullptr},
        {listbox_2, {530, 130, 150, 260}, nullptr},
        {listbox_3, {10, 290, 500, 110}, nullptr},
        {button_1, {560, 70, 85, 20}, "Poslať"},
        {button_2, {410, 105, 100, 20}, "Vymazat okna"},
    };
    EXPECT_EQ(w(hwnd)->size(), QSize(700, 450));
    int order = 0;
    for (const Expect& c : controls) {
        EXPECT_EQ(w(c.h)->geometry(), c.geometry) << order;
        EXPECT_EQ(w(c.h)->objectName().toInt(), ++order) << "created in this order";
    }
    EXPECT_EQ(button(button_1)->text(), "Poslať");
    EXPECT_EQ(button(button_2)->text(), "Vymazat okna");
    w(hwnd)->resize(1000, 800);
    QApplication::processEvents();
    for (const Expect& c : controls) EXPECT_EQ(w(c.h)->geometry(), c.geometry);
    w(hwnd)->resize(700, 450);
}

TEST_F(Window, SendWithNobodyKnownSaysSoInOrder) {
    type(edit_1, "ahoj");
    type(edit_2, "10.1.2.3");
    type(edit_3, "2");
    QTest::mouseClick(button(button_1), Qt::LeftButton);
    EXPECT_EQ(lines(listbox_1), (std::vector<std::string>{"Stanica neexistuje.", "",
                                                           "Nie su dostupne ziadne stanice", ""}));
}

TEST_F(Window, ClearKeepsTheStations) {
    TestStation other("127.0.0.94", 31);
    net.save_IPaddr("127.0.0.94", other.rsa.get_my_keys());
    print.printout_mess("x");
    print.printout_transmission("y");
    QTest::mouseClick(button(button_2), Qt::LeftButton);
    EXPECT_EQ(pane(listbox_1)->count(), 0);
    EXPECT_EQ(pane(listbox_3)->count(), 0);
    EXPECT_EQ(lines(listbox_2), std::vector<std::string>{"127.0.0.94"});
}

TEST_F(Window, RouteLengthThatIsNoPositiveNumberGoesStraight) {
    TestStation r("127.0.0.92", 32), other("127.0.0.95", 33);
    net.save_IPaddr("127.0.0.95", other.rsa.get_my_keys());
    net.save_IPaddr("127.0.0.92", r.rsa.get_my_keys());
    for (const char* length : {"abc", "-3"}) {
        Catcher at_r("127.0.0.92");
        type(edit_1, "priamo");
        type(edit_2, "127.0.0.92");
        type(edit_3, length);
        QTest::mouseClick(button(button_1), Qt::LeftButton);
        std::string packet = at_r.bytes();
        EXPECT_EQ(packet.size(), 64u) << length << ": one layer, for the recipient";
        EXPECT_EQ(lines(listbox_1)[0], "JA -> 127.0.0.92 : priamo");
        EXPECT_EQ(lines(listbox_1)[1], "VYGENEROVANA TRASA:");
        EXPECT_EQ(lines(listbox_1)[2], "127.0.0.92");
    }
}

TEST_F(Window, LongTextIsCutTo99AndEnterSends) {
    TestStation r("127.0.0.92", 32);
    net.save_IPaddr("127.0.0.92", r.rsa.get_my_keys());
    Catcher at_r("127.0.0.92");
    type(edit_1, QString(150, QChar(0x10D)));  // č
    type(edit_2, "127.0.0.92");
    QTest::keyClick(edit(edit_1), Qt::Key_Return);
    EXPECT_EQ(at_r.bytes().size(), 128u);
    EXPECT_EQ(lines(listbox_1)[0], "JA -> 127.0.0.92 : " + QString(99, QChar(0x10D)).toStdString());
}

TEST_F(Window, PickedStationBecomesTheRecipient) {
    TestStation a("127.0.0.92", 32), b("127.0.0.95", 33);
    net.save_IPaddr("127.0.0.92", a.rsa.get_my_keys());
    net.save_IPaddr("127.0.0.95", b.rsa.get_my_keys());
    QListWidget* list = pane(listbox_2);
    ASSERT_EQ(lines(listbox_2), (std::vector<std::string>{"127.0.0.92", "127.0.0.95"}));
    auto click = [list](QPoint at) { QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at); };
    QPoint second = list->visualItemRect(list->item(1)).center();

    type(edit_2, "10.9.9.9");
    click(second);
    EXPECT_EQ(edit(edit_2)->text(), "127.0.0.95");
    type(edit_2, "10.9.9.9");
    click({list->viewport()->width() / 2, list->viewport()->height() - 5});
    EXPECT_EQ(edit(edit_2)->text(), "10.9.9.9") << "below the lines";
    click(second);
    EXPECT_EQ(edit(edit_2)->text(), "127.0.0.95") << "the line picked already, clicked again";
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Up);
    EXPECT_EQ(edit(edit_2)->text(), "127.0.0.92");

    Catcher at_a("127.0.0.92");
    type(edit_1, "vybrana");
    QTest::mouseClick(button(button_1), Qt::LeftButton);
    EXPECT_EQ(at_a.bytes().size(), 64u);
    EXPECT_EQ(lines(listbox_1)[0], "JA -> 127.0.0.92 : vybrana");
}

// Not a check: leaves a picture of a station in use beside the build.
TEST_F(Window, Picture) {
    TestStation writer("127.0.0.96", 34), relay("127.0.0.97", 35);
    net.save_IPaddr("127.0.0.96", writer.rsa.get_my_keys());
    net.save_IPaddr("127.0.0.97", relay.rsa.get_my_keys());
    // A message for this station, written by another.
    writer.net.stations().add(dotted(net.own_address()).c_str(), rsa->get_my_keys());
    std::stack<uint32_t> route;
    route.push(net.own_address());
    const char* text = "Dobrý deň, ako sa máš? Ďakujem, že čítaš.";
    std::string wire = plat::utf8_to_cp1250(text);
    int len = static_cast<int>(wire.size());
    uint32_t to = 0, first = 0;
    std::unique_ptr<char[]> packet(writer.net.create_onion(route, wire.c_str(), &len, &to, &first));
    ASSERT_TRUE(packet);
    {
        Catcher ack("127.0.0.96");
        net.handle_message(packet.get(), len, writer.net.own_address());
        EXPECT_EQ(ack.bytes(), "ACK");
    }
    print.printout_transmission("PRENOS: 127.0.0.96 -> 127.0.0.91 -> 127.0.0.97");
    {
        Catcher at_relay("127.0.0.97");
        type(edit_1, "Ahoj, tu je odpoveď.");
        type(edit_2, "127.0.0.97");
        QTest::mouseClick(button(button_1), Qt::LeftButton);
        EXPECT_FALSE(at_relay.bytes().empty());
    }
    net.handle_message("ACK", 3, inet_addr("127.0.0.97"));
    ASSERT_TRUE(w(hwnd)->grab().save(CIBULA_PICTURE));
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
    net.set_own_address(inet_addr("127.0.0.91"));
    int code = RUN_ALL_TESTS();
    net.set_rsa(nullptr);
    delete rsa;
    rsa = nullptr;
    plat::set_toolkit(nullptr);
    return code;
}
