// The main window as laid out from its template, in the Fusion style: every control inside the
// window and inside the frame it belongs to, none overlapping another, every text fitting its
// control, and a fixed frame that fits the controls with the same margin on every side. The
// pictures of the window (idle, mid-transfer), the help window and the about box are saved under
// build/screenshots for a person to look at.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyleFactory>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <filesystem>

#include "ClientWindowFixture.h"
#include "tools/AgentProcess.h"
#include "ui/AboutDlg.h"
#include "ui/DialogUnits.h"

namespace kalvoran::testing {
namespace {

// Where the pictures go: build/screenshots, beside build/bin.
QString ScreenshotPath(const char* name) {
    const std::filesystem::path dir = agentsim::testing::BinDir().parent_path() / "screenshots";
    std::filesystem::create_directories(dir);
    return QString::fromStdString((dir / name).string());
}

void SaveScreenshot(QWidget& window, const char* name) {
    EXPECT_TRUE(window.grab().save(ScreenshotPath(name))) << name;
}

// The window's controls: its direct children other than the frames that group them.
std::vector<QWidget*> Controls(QWidget& window) {
    std::vector<QWidget*> controls;
    for (QWidget* child : window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (qobject_cast<QGroupBox*>(child) == nullptr && !child->isWindow()) {
            controls.push_back(child);
        }
    }
    return controls;
}

std::string Name(const QWidget* widget) {
    return widget->objectName().toStdString();
}

class ClientLayoutTest : public ClientWindowFixture {
protected:
    static void SetUpTestSuite() { QApplication::setStyle(QStyleFactory::create("Fusion")); }
    void SetUp() override {
        ClientWindowFixture::SetUp();
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    }
    DialogUnits Units() { return DialogUnits(dialog.fontMetrics()); }
};

TEST_F(ClientLayoutTest, EveryControlLiesInsideTheWindowAndInsideItsFrame) {
    const QRect window = dialog.rect();
    const auto frames = dialog.findChildren<QGroupBox*>(Qt::FindDirectChildrenOnly);
    ASSERT_EQ(frames.size(), 6);
    for (QWidget* control : Controls(dialog)) {
        const QRect place = control->geometry();
        EXPECT_TRUE(window.contains(place)) << Name(control);
        for (QGroupBox* frame : frames) {
            if (!frame->geometry().contains(place.center())) {
                continue;
            }
            // Inside the frame, and below its top line and caption.
            const QRect inside =
                frame->geometry().adjusted(1, frame->fontMetrics().height(), -1, -1);
            EXPECT_TRUE(inside.contains(place)) << Name(control) << " in " << Name(frame);
        }
    }
}

TEST_F(ClientLayoutTest, NoTwoControlsOverlapAndEveryTextFits) {
    const std::vector<QWidget*> controls = Controls(dialog);
    for (std::size_t i = 0; i < controls.size(); ++i) {
        for (std::size_t j = i + 1; j < controls.size(); ++j) {
            EXPECT_FALSE(controls[i]->geometry().intersects(controls[j]->geometry()))
                << Name(controls[i]) << " and " << Name(controls[j]);
        }
        QWidget* control = controls[i];
        if (qobject_cast<QLabel*>(control) != nullptr && control->objectName() != "picture") {
            EXPECT_GE(control->width(), control->sizeHint().width()) << Name(control);
            EXPECT_GE(control->height(), control->fontMetrics().height()) << Name(control);
        }
        if (auto* button = qobject_cast<QPushButton*>(control)) {
            const QString text = button->text().remove(QLatin1Char('&'));
            EXPECT_GT(button->width(), button->fontMetrics().horizontalAdvance(text) + 8)
                << Name(control);
        }
    }
    for (QGroupBox* frame : dialog.findChildren<QGroupBox*>()) {
        EXPECT_GT(frame->width(), frame->fontMetrics().horizontalAdvance(frame->title()) + 16);
    }
}

TEST_F(ClientLayoutTest, FixedFrameFitsTheControlsWithTheSameMarginOnEverySide) {
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    QRect extent;
    for (QWidget* child : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (!child->isWindow()) {
            extent |= child->geometry();
        }
    }
    const int margin = Units().X(7);
    EXPECT_EQ(extent.left(), margin);
    EXPECT_EQ(dialog.width() - 1 - extent.right(), margin);
    EXPECT_EQ(dialog.height() - 1 - extent.bottom(), Units().Y(7));
    EXPECT_EQ(extent.top(), Units().Y(7));
    SaveScreenshot(dialog, "client-idle.png");
}

TEST_F(ClientLayoutTest, HelpWindowAndAboutBoxShowTheirTexts) {
    QTest::mouseClick(Find<QPushButton>(QStringLiteral("help")), Qt::LeftButton);
    auto* help = dialog.findChild<QDialog*>(QStringLiteral("helpWindow"));
    ASSERT_NE(help, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(help));
    SaveScreenshot(*help, "client-help.png");

    help->findChild<QTextBrowser*>()->scrollToAnchor(QStringLiteral("types"));
    SaveScreenshot(*help, "client-help-types.png");

    QTest::mouseClick(help->findChild<QPushButton*>(QStringLiteral("about")), Qt::LeftButton);
    auto* about = help->findChild<CAboutDlg*>();
    ASSERT_NE(about, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(about));
    EXPECT_EQ(about->windowTitle(), QStringLiteral("About Kalvoran TFTP Client Utility"));
    EXPECT_TRUE(about->isModal());
    SaveScreenshot(*about, "client-about.png");
}

// The window in the middle of a send to agent-sim, which holds back one acknowledgement so that
// the picture catches the bar and the byte count part of the way.
TEST_F(ClientLayoutTest, MidSendTheBarAndTheByteCountShowHowFarTheSendHasCome) {
    const std::string image = Blocks(40000);  // 79 blocks
    WriteFileBytes(dir.File("app.bin"), image);
    agentsim::testing::AgentProcess agent;
    ASSERT_TRUE(agent.Start({"--address", "127.0.12.1", "--dir", dir.File("agent"),
                             "--status-steps", "1", "--fault", "delay:40:1200"}))
        << agent.Output();
    dialog.SetAddressFields({127, 0, 12, 1});
    Find<QLineEdit>(QStringLiteral("downloadFileName"))
        ->setText(QString::fromStdString(dir.File("app.bin")));
    auto* bar = Find<QProgressBar>(QStringLiteral("progressBar"));
    auto* bytes = Find<QLineEdit>(QStringLiteral("bytesSentRecvd"));

    int shownValue = -1;
    QString shownBytes;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (shownValue < 0 && bar->value() > 0) {
            shownValue = bar->value();
            shownBytes = bytes->text();
            SaveScreenshot(dialog, "client-mid-transfer.png");
        }
    });
    probe.start(50);
    QTest::mouseClick(Find<QPushButton>(QStringLiteral("downloadToDevice")), Qt::LeftButton);
    probe.stop();

    EXPECT_TRUE(ReadFileBytes(dir.File("agent/image.bin")) == image);
    EXPECT_GT(shownValue, 0);
    EXPECT_LT(shownValue, 79);
    EXPECT_GT(shownBytes.toInt(), 0);
    EXPECT_LT(shownBytes.toInt(), 40000);
    EXPECT_EQ(bar->value(), 0);  // every session ends with the bar at 0
    EXPECT_TRUE(Log().contains(QStringLiteral("Sending file:"))) << Log().toStdString();
}

}  // namespace
}  // namespace kalvoran::testing
