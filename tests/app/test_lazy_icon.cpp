// The outcome icons of the rows are looked up in the theme when first drawn: once, whichever
// copy of the icon is drawn, and drawn as the looked-up icon is.
#include <QImage>
#include <QPainter>
#include <QPixmap>

#include <gtest/gtest.h>

#include "app/LazyIcon.h"

TEST(LazyIcon, IsLookedUpOnceWhenFirstDrawnAndDrawsWhatTheLookupGave) {
    int lookups = 0;
    const QIcon icon = LazyIcon([&] {
        ++lookups;
        QPixmap red(16, 16);
        red.fill(Qt::red);
        return QIcon(red);
    });
    const QIcon copy = icon;  // a list's data hands out copies
    EXPECT_FALSE(icon.isNull());
    EXPECT_EQ(lookups, 0);

    const QImage drawn = copy.pixmap(16, 16).toImage();
    EXPECT_EQ(lookups, 1);
    ASSERT_EQ(drawn.size(), QSize(16, 16));
    EXPECT_EQ(drawn.pixelColor(8, 8), QColor(Qt::red));

    EXPECT_EQ(icon.actualSize(QSize(32, 32)), QSize(16, 16));
    QImage canvas(20, 20, QImage::Format_ARGB32);
    canvas.fill(Qt::white);
    {
        QPainter painter(&canvas);
        icon.paint(&painter, QRect(2, 2, 16, 16));
    }
    EXPECT_EQ(canvas.pixelColor(10, 10), QColor(Qt::red));
    EXPECT_EQ(lookups, 1);
}

TEST(LazyIcon, ALookupThatFindsNothingDrawsNothing) {
    const QIcon icon = LazyIcon([] { return QIcon(); });
    EXPECT_TRUE(icon.pixmap(16, 16).isNull());
    EXPECT_EQ(icon.actualSize(QSize(16, 16)), QSize());
}
