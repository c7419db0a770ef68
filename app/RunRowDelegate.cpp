#include "app/RunRowDelegate.h"

#include <QApplication>
#include <QPainter>

#include <algorithm>
#include <cmath>

#include "urllist/UrlList.h"

int RunRowDelegate::fillWidth(int rowWidth, double share) {
    if (!(share > 0)) return 0;
    return static_cast<int>(std::lround(std::min(share, 1.0) * rowWidth));
}

void RunRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const QVariant share = index.data(UrlList::ProgressRole);
    if (!share.isValid()) return QStyledItemDelegate::paint(painter, option, index);

    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QStyle* style = opt.widget ? opt.widget->style() : QApplication::style();
    const QString figures = index.data(UrlList::ProgressTextRole).toString();
    const int room = figures.isEmpty() ? 0 : opt.fontMetrics.horizontalAdvance(figures) + 8;

    // The row's background across its whole width, then its icon and address left of the figures.
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, opt.widget);
    QStyleOptionViewItem left = opt;
    left.rect.setRight(opt.rect.right() - room);
    QStyledItemDelegate::paint(painter, left, index);

    const int fill = fillWidth(opt.rect.width(), share.toDouble());
    if (fill > 0) {
        QColor light = opt.palette.color(QPalette::Highlight);
        light.setAlpha(56);
        painter->fillRect(QRect(opt.rect.left(), opt.rect.top(), fill, opt.rect.height()), light);
    }
    if (!figures.isEmpty()) {
        const bool selected = opt.state & QStyle::State_Selected;
        painter->save();
        painter->setFont(opt.font);
        painter->setPen(opt.palette.color(QPalette::Active, selected ? QPalette::HighlightedText : QPalette::Text));
        painter->drawText(opt.rect.adjusted(0, 0, -4, 0), Qt::AlignRight | Qt::AlignVCenter, figures);
        painter->restore();
    }
}
