// The window's parts as the operator meets them: the agent address control, the two Browse
// buttons (answered through the file dialog's test hook), the about box from the window's menu,
// and the help window.
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>

#include "ClientWindowFixture.h"
#include "tftp/TransferTypes.h"
#include "ui/AboutDlg.h"
#include "ui/FileBrowser.h"

namespace kalvoran::testing {
namespace {

class ClientWindowPartsTest : public ClientWindowFixture {
protected:
    void SetUp() override {
        ClientWindowFixture::SetUp();
        dialog.show();
        dialog.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    }
    QLineEdit* Field(int i) { return Find<QLineEdit>(QStringLiteral("agentAddress%1").arg(i)); }
    // Types text key by key into whichever field has the focus, as the operator would.
    void Type(const QString& keys) {
        for (QChar key : keys) {
            QWidget* focus = QApplication::focusWidget();
            ASSERT_NE(focus, nullptr);
            if (key == QLatin1Char('<')) {
                QTest::keyClick(focus, Qt::Key_Backspace);
            } else {
                QTest::keyClicks(focus, QString(key));
            }
        }
    }
};

struct AddressCase {
    const char* keys;  // '<' is Backspace
    net::Octets octets;
};

TEST_F(ClientWindowPartsTest, AddressFieldsBehaveAsOperatorsExpect) {
    const AddressCase cases[] = {
        {"10.1.2.3", {10, 1, 2, 3}},         // a dot moves on
        {"192168001002", {192, 168, 1, 2}},  // so does a third digit
        {"300", {255, 0, 0, 0}},             // above 255 becomes 255
        {"1..2", {1, 2, 0, 0}},              // a dot in an empty field is ignored
        {"1.2<<5", {15, 0, 0, 0}},           // Backspace at a field's start goes back
        {"", {0, 0, 0, 0}},                  // blank fields read 0
    };
    for (const AddressCase& c : cases) {
        for (int i = 0; i < 4; ++i) {
            Field(i)->clear();
        }
        Field(0)->setFocus();
        Type(QString::fromLatin1(c.keys));
        EXPECT_EQ(dialog.AddressFields(), c.octets) << c.keys;
    }
}

TEST_F(ClientWindowPartsTest, PastingADottedAddressFillsAllFourFields) {
    QApplication::clipboard()->setText(QStringLiteral("10.1.2.3"));
    Field(2)->setFocus();
    Field(2)->selectAll();
    QTest::keySequence(Field(2), QKeySequence::Paste);
    EXPECT_EQ(dialog.AddressFields(), (net::Octets{10, 1, 2, 3}));
    EXPECT_EQ(Field(0)->text(), QStringLiteral("10"));
}

struct BrowseCase {
    const char* button;
    const char* field;
    bool mustExist;
    int filterCount;
};

TEST_F(ClientWindowPartsTest, BrowseFillsItsFieldOnOkAndNothingOnCancel) {
    const BrowseCase cases[] = {{"browseDownload", "downloadFileName", true, 4},
                                {"browseUpload", "uploadFileName", false, 3}};
    Find<QComboBox>(QStringLiteral("transferType"))->setCurrentIndex(CREATE_CONFIG_FILE);
    for (const BrowseCase& c : cases) {
        auto* field = Find<QLineEdit>(QString::fromLatin1(c.field));
        SetNextBrowseAnswer(QStringLiteral("/fw/picked.bin"));
        QTest::mouseClick(Find<QPushButton>(QString::fromLatin1(c.button)), Qt::LeftButton);
        EXPECT_EQ(field->text(), QStringLiteral("/fw/picked.bin")) << c.button;

        SetNextBrowseAnswer(std::nullopt);
        QTest::mouseClick(Find<QPushButton>(QString::fromLatin1(c.button)), Qt::LeftButton);
        EXPECT_EQ(field->text(), QStringLiteral("/fw/picked.bin")) << c.button;

        const std::optional<BrowseRequest>& request = LastBrowseRequest();
        ASSERT_TRUE(request.has_value());
        EXPECT_EQ(request->mustExist, c.mustExist) << c.button;
        ASSERT_EQ(request->nameFilters.size(), c.filterCount) << c.button;
        EXPECT_EQ(request->nameFilters.front(), QStringLiteral("Binary Files (*.bin)"));
        EXPECT_EQ(request->nameFilters.back(), QStringLiteral("All Files (*)"));
        EXPECT_EQ(request->defaultSuffix, QStringLiteral("bin"));
    }
}

TEST_F(ClientWindowPartsTest, WindowMenuOpensTheAboutBoxWithTheProgramsTexts) {
    EXPECT_FALSE(dialog.windowIcon().isNull());
    EXPECT_GE(dialog.windowIcon().availableSizes().size(), 4);

    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(4, 4),
                            dialog.mapToGlobal(QPoint(4, 4)));
    QApplication::sendEvent(&dialog, &click);
    auto* menu = dialog.findChild<QMenu*>();
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(menu->actions().size(), 1);
    EXPECT_EQ(menu->actions().front()->text(),
              QStringLiteral("&About Kalvoran TFTP Client Utility ..."));
    menu->actions().front()->trigger();

    auto* about = dialog.findChild<CAboutDlg*>();
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(about->isVisible());
    const auto Text = [about](const char* name) {
        return about->findChild<QLabel*>(QString::fromLatin1(name))->text();
    };
    EXPECT_EQ(Text("aboutProduct"), QStringLiteral("Kalvoran TFTP Client Utility "));
    // The project's version, as --version, the man pages and the package give it.
    EXPECT_EQ(Text("aboutRevision"), QStringLiteral("Revision " KALVORAN_VERSION "Eng"));
    EXPECT_EQ(dialog.windowTitle(),
              QStringLiteral("Kalvoran TFTP Client Utility " KALVORAN_VERSION "Eng"));
    EXPECT_FALSE(Text("aboutCompany").isEmpty());
    EXPECT_FALSE(Find<QLabel>(QStringLiteral("aboutIcon"))->pixmap().isNull());
    QTest::mouseClick(about->findChild<QPushButton*>(QStringLiteral("ok")), Qt::LeftButton);
    EXPECT_FALSE(about->isVisible());
}

TEST_F(ClientWindowPartsTest, HelpOpensOneWindowWithTheProgramsOwnHelp) {
    auto* help = Find<QPushButton>(QStringLiteral("help"));
    QTest::mouseClick(help, Qt::LeftButton);
    QTest::mouseClick(help, Qt::LeftButton);
    const auto windows = dialog.findChildren<QDialog*>(QStringLiteral("helpWindow"));
    ASSERT_EQ(windows.size(), 1);
    EXPECT_TRUE(windows.front()->isVisible());
    EXPECT_FALSE(dialog.ExitRequested().has_value());

    const QString text = windows.front()->findChild<QTextBrowser*>()->toPlainText();
    QStringList expected = {
        QStringLiteral("KalvoranTFTPclient <filetype> <filename> <IP address> [silent]"),
        QStringLiteral("$XDG_CONFIG_HOME/KalvoranTFTPclient.INI"),
        QStringLiteral("CAP_NET_RAW"),
        QStringLiteral("net.ipv4.ping_group_range"),
        QStringLiteral("the agent answered no ping"),
    };
    for (const TransferTypeInfo& type : AllTransferTypes()) {
        expected.append(QString::fromLatin1(type.displayString.data(),
                                            static_cast<qsizetype>(type.displayString.size())));
    }
    for (const QString& phrase : expected) {
        EXPECT_TRUE(text.contains(phrase)) << phrase.toStdString();
    }
}

}  // namespace
}  // namespace kalvoran::testing
