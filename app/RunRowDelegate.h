#pragma once
// Draws a row whose item is under way: a light fill behind its text in proportion to the bytes
// received, and the row's figures ("45 % · 2.1 MB/s") at its right end, read from the list's
// progress roles. Other rows are drawn as usual.
#include <QStyledItemDelegate>

class RunRowDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // The part of a row's width the fill covers, for a share from 0 to 1; none for an unknown one.
    static int fillWidth(int rowWidth, double share);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};
