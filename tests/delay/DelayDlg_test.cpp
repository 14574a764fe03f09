// The delay dialog in simulated time: caption and bar range, the wait and its end, the usage,
// the error box and icon, that nothing the operator does ends the wait early, and how it looks.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStyle>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "FakeDelayClock.h"
#include "delay/DelayArguments.h"
#include "delay/DelayDlg.h"

namespace kalvoran::delay {
namespace {

using namespace std::chrono_literals;

class DelayDlgTest : public ::testing::Test {
protected:
    std::unique_ptr<CDelayDlg> MakeDialog(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "delay");
        auto dialog = std::make_unique<CDelayDlg>(std::move(arguments), clock);
        dialog->SetErrorReporter([this](const QString& caption, const QString& text) {
            reported.push_back(caption + QLatin1Char('|') + text);
        });
        return dialog;
    }

    // A dialog whose wait has begun.
    std::unique_ptr<CDelayDlg> StartWait(const char* argument) {
        auto dialog = MakeDialog({argument});
        EXPECT_TRUE(dialog->OnInitDialog());
        dialog->OnStartDelay();
        return dialog;
    }

    static QProgressBar& Bar(CDelayDlg& dialog) {
        return *dialog.findChild<QProgressBar*>(QStringLiteral("progressBar"));
    }

    test::FakeDelayClock clock;
    QStringList reported;
};

TEST_F(DelayDlgTest, oneArgument_setsCaptionAndAnUncutBarRange) {
    const struct {
        const char* argument;
        const char* caption;
        int barMaximum;
    } cases[] = {
        {"30", "Delay 30 seconds", 30},
        {"12abc", "Delay 12 seconds", 12},
        {"70000", "Delay 70000 seconds", 70000},
        {"100000", "Delay 100000 seconds", 100000},
    };
    for (const auto& c : cases) {
        auto dialog = StartWait(c.argument);
        EXPECT_EQ(dialog->windowTitle(), QString::fromLatin1(c.caption)) << c.argument;
        EXPECT_EQ(Bar(*dialog).maximum(), c.barMaximum) << c.argument;
        EXPECT_EQ(Bar(*dialog).value(), 0) << c.argument;
        EXPECT_TRUE(dialog->IsWaiting()) << c.argument;
    }
    EXPECT_TRUE(reported.isEmpty());
}

TEST_F(DelayDlgTest, argumentCount_decidesTheExitCodeAndTheUsage) {
    const QString usage =
        QStringLiteral("Error|Wrong number of arguments!\nUsage: delay <seconds>");
    const struct {
        std::vector<std::string> arguments;
        int exitCode;
        QStringList reported;
    } cases[] = {
        {{}, kExitDone, {}},
        {{"1", "2"}, kExitUsage, {usage}},
        {{"5", "x", "y"}, kExitUsage, {usage}},
        {{"-3"}, kExitDone, {}},
        {{"abc"}, kExitDone, {}},
    };
    for (const auto& c : cases) {
        reported.clear();
        auto dialog = MakeDialog(c.arguments);
        EXPECT_EQ(dialog->DoModal(), c.exitCode) << c.arguments.size();
        EXPECT_EQ(reported, c.reported) << c.arguments.size();
        EXPECT_FALSE(dialog->IsWaiting());
    }
}

TEST_F(DelayDlgTest, wait_fillsTheBarOncePerSecondAndEndsAtItsLength) {
    auto dialog = StartWait("3");
    QSignalSpy finished(dialog.get(), &QDialog::finished);
    for (const int second : {1, 2}) {
        clock.Advance(1s);
        dialog->OnDelayTick();
        EXPECT_EQ(Bar(*dialog).value(), second);
        EXPECT_FALSE(dialog->HasEnded()) << second;
    }
    clock.Advance(999ms);
    dialog->OnDelayTick();
    EXPECT_FALSE(dialog->HasEnded());
    clock.Advance(1ms);
    dialog->OnDelayTick();
    EXPECT_EQ(Bar(*dialog).value(), 3);
    EXPECT_EQ(finished.count(), 1);
}

TEST_F(DelayDlgTest, clockJump_catchesUpAndEndsWithTheBarFull) {
    auto dialog = StartWait("10");
    clock.Advance(1s);
    dialog->OnDelayTick();
    clock.Advance(6s);
    dialog->OnDelayTick();
    EXPECT_EQ(Bar(*dialog).value(), 7);
    clock.Advance(30s);
    dialog->OnDelayTick();
    EXPECT_TRUE(dialog->HasEnded());
    EXPECT_EQ(Bar(*dialog).value(), Bar(*dialog).maximum());
}

TEST_F(DelayDlgTest, closeBoxEscEnterAndButtons_doNotEndTheWait) {
    auto dialog = MakeDialog({"5"});
    QSignalSpy finished(dialog.get(), &QDialog::finished);
    ASSERT_TRUE(dialog->OnInitDialog());
    dialog->show();
    dialog->OnStartDelay();
    EXPECT_FALSE(dialog->close());
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    QTest::keyClick(dialog.get(), Qt::Key_Return);
    for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
        EXPECT_FALSE(button->isEnabled()) << button->text().toStdString();
    }
    QApplication::processEvents();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(finished.count(), 0);
    clock.Advance(5s);
    dialog->OnDelayTick();
    EXPECT_FALSE(dialog->isVisible());
}

TEST_F(DelayDlgTest, errorBoxAndIcon_areTheProgramsOwn) {
    auto dialog = MakeDialog({});
    const auto box = MakeErrorBox(dialog.get(), QStringLiteral("Error"), QStringLiteral("text"));
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
    EXPECT_EQ(box->parentWidget(), dialog.get());
    EXPECT_EQ(box->windowTitle(), QStringLiteral("Error"));
    ASSERT_FALSE(dialog->windowIcon().isNull());
    EXPECT_EQ(dialog->windowIcon().availableSizes().size(), 4);
}

// Half way through a 4-second wait under the Fusion style, saved for a look under
// build/screenshots: every control lies within its frame and the bar is half filled.
TEST_F(DelayDlgTest, screenshot_controlsFitAndTheBarShowsItsFill) {
    const QString previousStyle = QApplication::style()->name();
    QApplication::setStyle(QStringLiteral("Fusion"));
    auto dialog = StartWait("4");
    clock.Advance(2s);
    dialog->OnDelayTick();
    dialog->show();
    const auto* group = dialog->findChild<QGroupBox*>(QStringLiteral("groupBox"));
    const auto* label = dialog->findChild<QLabel*>(QStringLiteral("statusText"));
    for (const QWidget* control : dialog->findChildren<QWidget*>()) {
        EXPECT_TRUE(dialog->rect().contains(control->geometry()))
            << control->objectName().toStdString();
    }
    for (const QWidget* inside : dialog->findChildren<QWidget*>(QRegularExpression("Bar|Button"))) {
        EXPECT_TRUE(group->geometry().contains(inside->geometry()))
            << inside->objectName().toStdString();
    }
    EXPECT_LE(label->sizeHint().width(), label->width());

    const QImage shot = dialog->grab().toImage();
    const QRect bar = Bar(*dialog).geometry();
    const int middle = bar.center().y();
    EXPECT_NE(shot.pixel(bar.left() + bar.width() / 4, middle),
              shot.pixel(bar.left() + bar.width() * 3 / 4, middle));
    const QString directory = qEnvironmentVariable("KALVORAN_BIN_DIR") + "/../screenshots";
    ASSERT_TRUE(QDir().mkpath(directory));
    EXPECT_TRUE(shot.save(directory + "/delay.png"));
    QApplication::setStyle(previousStyle);
}

}  // namespace
}  // namespace kalvoran::delay
