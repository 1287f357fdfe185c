// The text cursor stops blinking once nobody has typed or clicked for a while, and blinks again
// at the next key press or click.
#include <gtest/gtest.h>
#include <QApplication>
#include <QLineEdit>
#include <QTest>

#include "DialogTestSupport.h"
#include "ui/CursorBlink.h"

namespace vox::testing {
namespace {

TEST(CursorBlinkTest, RestsAfterTheTimeoutAndComesBackWithTheUser) {
    TestApp();
    const int desktopFlashTime = QApplication::cursorFlashTime();
    ASSERT_GT(desktopFlashTime, 0);
    {
        QLineEdit field;
        field.show();
        field.setFocus();
        TCursorBlinkLimit limit(nullptr, 200);
        EXPECT_TRUE(limit.Blinking());
        EXPECT_TRUE(QTest::qWaitFor([&] { return !limit.Blinking(); }, 5000));

        QTest::keyClick(&field, Qt::Key_A);
        EXPECT_TRUE(limit.Blinking());
        EXPECT_EQ(QApplication::cursorFlashTime(), desktopFlashTime);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !limit.Blinking(); }, 5000));

        QTest::mouseClick(&field, Qt::LeftButton);
        EXPECT_TRUE(limit.Blinking());
    }
    // Gone, it leaves the desktop's flash time as it found it.
    EXPECT_EQ(QApplication::cursorFlashTime(), desktopFlashTime);
}

}  // namespace
}  // namespace vox::testing
