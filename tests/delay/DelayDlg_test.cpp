// The delay dialog in simulated time: arguments and caption, the bar's steps, the end of the
// wait, the usage box, and that nothing the operator does ends the wait early.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <string>
#include <vector>

#include "FakeDelayClock.h"
#include "delay/DelayDlg.h"

namespace kalvoran::delay {
namespace {

using test::FakeDelayClock;

struct ReportedError {
    int count = 0;
    QString caption;
    QString text;
};

class DelayDlgTest : public ::testing::Test {
protected:
    std::unique_ptr<CDelayDlg> MakeDialog(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "delay");
        auto dialog = std::make_unique<CDelayDlg>(std::move(arguments), m_clock);
        dialog->SetErrorReporter([this](const QString& caption, const QString& text) {
            ++m_reported.count;
            m_reported.caption = caption;
            m_reported.text = text;
        });
        return dialog;
    }

    static QProgressBar* Bar(CDelayDlg& dialog) {
        return dialog.findChild<QProgressBar*>(QStringLiteral("progressBar"));
    }

    FakeDelayClock m_clock;
    ReportedError m_reported;
};

TEST_F(DelayDlgTest, oneArgument_setsCaptionAndBarRange) {
    struct Case {
        const char* argument;
        std::int32_t seconds;
        const char* caption;
        int barMaximum;
    };
    const Case cases[] = {
        {"5", 5, "Delay 5 seconds", 5},
        {"30", 30, "Delay 30 seconds", 30},
        {"12abc", 12, "Delay 12 seconds", 12},
        {" 7", 7, "Delay 7 seconds", 7},
        {"70000", 70000, "Delay 70000 seconds", 4464},
        {"65536", 65536, "Delay 65536 seconds", 1},  // empty range shown as an empty bar
    };
    for (const Case& c : cases) {
        auto dialog = MakeDialog({c.argument});
        ASSERT_TRUE(dialog->OnInitDialog()) << c.argument;
        EXPECT_EQ(dialog->Seconds(), c.seconds) << c.argument;
        EXPECT_EQ(dialog->windowTitle(), QString::fromLatin1(c.caption)) << c.argument;
        dialog->OnStartDelay();
        EXPECT_EQ(Bar(*dialog)->minimum(), 0) << c.argument;
        EXPECT_EQ(Bar(*dialog)->maximum(), c.barMaximum) << c.argument;
        EXPECT_EQ(Bar(*dialog)->value(), 0) << c.argument;
        EXPECT_TRUE(dialog->IsWaiting()) << c.argument;
    }
    EXPECT_EQ(m_reported.count, 0);
}

TEST_F(DelayDlgTest, noArgument_endsAtOnceWithoutAWord) {
    auto dialog = MakeDialog({});
    EXPECT_EQ(dialog->DoModal(), 0);
    EXPECT_EQ(m_reported.count, 0);
    EXPECT_FALSE(dialog->IsWaiting());
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(m_clock.Readings(), 0);
}

TEST_F(DelayDlgTest, twoOrMoreArguments_showUsageThenEnd) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"1", "2"}, std::vector<std::string>{"5", "x", "y"}}) {
        m_reported = {};
        auto dialog = MakeDialog(arguments);
        EXPECT_EQ(dialog->DoModal(), 0);
        EXPECT_EQ(m_reported.count, 1);
        EXPECT_EQ(m_reported.caption, QStringLiteral("Error"));
        EXPECT_EQ(m_reported.text,
                  QStringLiteral("Wrong number of arguments!\nUsage: delay <seconds>"));
        EXPECT_FALSE(dialog->IsWaiting());
        EXPECT_EQ(m_clock.Readings(), 0);
    }
}

TEST_F(DelayDlgTest, wait_stepsOncePerSecondAndEndsAtItsLength) {
    auto dialog = MakeDialog({"5"});
    QSignalSpy finished(dialog.get(), &QDialog::finished);
    ASSERT_TRUE(dialog->OnInitDialog());
    dialog->OnStartDelay();
    for (int second = 1; second < 5; ++second) {
        m_clock.Advance(1);
        dialog->OnDelayTick();
        EXPECT_EQ(Bar(*dialog)->value(), second);
        EXPECT_FALSE(dialog->HasEnded()) << "ended after " << second << " s";
        // Another pass within the same second changes nothing.
        dialog->OnDelayTick();
        EXPECT_EQ(Bar(*dialog)->value(), second);
        EXPECT_FALSE(dialog->HasEnded());
    }
    EXPECT_EQ(finished.count(), 0);
    m_clock.Advance(1);
    dialog->OnDelayTick();
    EXPECT_TRUE(dialog->HasEnded());
    EXPECT_EQ(Bar(*dialog)->value(), 5);
    EXPECT_EQ(finished.count(), 1);
    // A late timer after the end does nothing more.
    m_clock.Advance(1);
    dialog->OnDelayTick();
    EXPECT_EQ(finished.count(), 1);
}

TEST_F(DelayDlgTest, gapOfThreeSeconds_catchesUp) {
    auto dialog = MakeDialog({"5"});
    ASSERT_TRUE(dialog->OnInitDialog());
    dialog->OnStartDelay();
    m_clock.Advance(1);
    dialog->OnDelayTick();
    EXPECT_EQ(Bar(*dialog)->value(), 1);
    m_clock.Advance(3);
    dialog->OnDelayTick();
    EXPECT_EQ(Bar(*dialog)->value(), 4);
    EXPECT_FALSE(dialog->HasEnded());
    m_clock.Advance(1);
    dialog->OnDelayTick();
    EXPECT_EQ(Bar(*dialog)->value(), 5);
    EXPECT_TRUE(dialog->HasEnded());
}

TEST_F(DelayDlgTest, gapPastTheEnd_fillsTheBarAndEnds) {
    auto dialog = MakeDialog({"5"});
    ASSERT_TRUE(dialog->OnInitDialog());
    dialog->OnStartDelay();
    m_clock.Advance(9);
    dialog->OnDelayTick();
    EXPECT_EQ(Bar(*dialog)->value(), 5);
    EXPECT_TRUE(dialog->HasEnded());
}

TEST_F(DelayDlgTest, zeroNegativeOrNonNumeric_endAfterTheFirstPass) {
    for (const char* argument : {"0", "-3", "abc"}) {
        auto dialog = MakeDialog({argument});
        QSignalSpy finished(dialog.get(), &QDialog::finished);
        ASSERT_TRUE(dialog->OnInitDialog());
        dialog->OnStartDelay();
        EXPECT_TRUE(dialog->HasEnded()) << argument;
        EXPECT_EQ(finished.count(), 1) << argument;
    }
}

TEST_F(DelayDlgTest, waitingDialog_armsTheTimerForTheNextSecond) {
    m_clock.SetMillisecondsToNextSecond(400);
    auto dialog = MakeDialog({"3"});
    ASSERT_TRUE(dialog->OnInitDialog());
    dialog->OnStartDelay();
    const QTimer* timer = dialog->findChild<QTimer*>(QStringLiteral("tickTimer"));
    ASSERT_NE(timer, nullptr);
    EXPECT_TRUE(timer->isActive());
    EXPECT_GE(timer->interval(), 400);
    EXPECT_LT(timer->interval(), 500);
    m_clock.Advance(3);
    dialog->OnDelayTick();
    EXPECT_FALSE(timer->isActive());
}

TEST_F(DelayDlgTest, controls_buttonsDisabledOkDefault) {
    auto dialog = MakeDialog({"5"});
    auto* ok = dialog->findChild<QPushButton*>(QStringLiteral("okButton"));
    auto* cancel = dialog->findChild<QPushButton*>(QStringLiteral("cancelButton"));
    ASSERT_NE(ok, nullptr);
    ASSERT_NE(cancel, nullptr);
    EXPECT_FALSE(ok->isEnabled());
    EXPECT_FALSE(cancel->isEnabled());
    EXPECT_TRUE(ok->isDefault());
    EXPECT_EQ(ok->text(), QStringLiteral("OK"));
    EXPECT_EQ(cancel->text(), QStringLiteral("Cancel"));
    ASSERT_NE(Bar(*dialog), nullptr);
    // The controls lie within the fixed-size dialog.
    EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize());
    for (const QWidget* control : {static_cast<QWidget*>(ok), static_cast<QWidget*>(cancel),
                                   static_cast<QWidget*>(Bar(*dialog))}) {
        EXPECT_TRUE(dialog->rect().contains(control->geometry()))
            << control->objectName().toStdString();
    }
}

TEST_F(DelayDlgTest, closeBoxEscAndEnter_doNotEndTheWait) {
    auto dialog = MakeDialog({"5"});
    QSignalSpy finished(dialog.get(), &QDialog::finished);
    ASSERT_TRUE(dialog->OnInitDialog());
    dialog->show();
    dialog->OnStartDelay();
    EXPECT_FALSE(dialog->close());
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    QTest::keyClick(dialog.get(), Qt::Key_Return);
    QTest::keyClick(dialog.get(), Qt::Key_F4, Qt::AltModifier);
    dialog->reject();
    QApplication::processEvents();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(dialog->IsWaiting());
    EXPECT_EQ(finished.count(), 0);

    m_clock.Advance(5);
    dialog->OnDelayTick();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(finished.count(), 1);
}

TEST_F(DelayDlgTest, doModal_runsTheWaitOnTheEventLoopAndEnds) {
    // Every clock reading moves one second on, and the next second is always due at once.
    m_clock.SetStepPerReading(1);
    m_clock.SetMillisecondsToNextSecond(0);
    auto dialog = MakeDialog({"4"});
    int highestBar = 0;
    QObject::connect(Bar(*dialog), &QProgressBar::valueChanged,
                     [&highestBar](int value) { highestBar = std::max(highestBar, value); });
    bool wasVisibleDuringWait = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&dialog] { dialog->done(QDialog::Rejected); });
    guard.start(10'000);
    QMetaObject::invokeMethod(
        dialog.get(), [&] { wasVisibleDuringWait = dialog->isVisible(); }, Qt::QueuedConnection);

    EXPECT_EQ(dialog->DoModal(), 0);
    EXPECT_TRUE(guard.isActive()) << "the wait did not end by itself";
    EXPECT_TRUE(wasVisibleDuringWait);
    EXPECT_TRUE(dialog->HasEnded());
    EXPECT_EQ(highestBar, 4);
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
}

TEST_F(DelayDlgTest, defaultErrorReporter_showsStopBoxOwnedByTheDialog) {
    auto dialog = std::make_unique<CDelayDlg>(std::vector<std::string>{"delay", "1", "2"}, m_clock);
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QWidget* owner = nullptr;
    // The box is modal: inspect and dismiss it from the event loop it runs.
    QTimer::singleShot(0, [&] {
        QMessageBox* box = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* candidate = qobject_cast<QMessageBox*>(widget);
                candidate && candidate->isVisible()) {
                box = candidate;
            }
        }
        ASSERT_NE(box, nullptr);
        caption = box->windowTitle();
        text = box->text();
        icon = box->icon();
        owner = box->parentWidget();
        box->button(QMessageBox::Ok)->click();
    });
    EXPECT_EQ(dialog->DoModal(), 0);
    EXPECT_EQ(caption, QStringLiteral("Error"));
    EXPECT_EQ(text, QStringLiteral("Wrong number of arguments!\nUsage: delay <seconds>"));
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_EQ(owner, dialog.get());
    EXPECT_FALSE(dialog->IsWaiting());
}

}  // namespace
}  // namespace kalvoran::delay
