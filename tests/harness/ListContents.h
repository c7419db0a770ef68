#pragma once
// The texts of a URL list, first entry first (anything with count() and a 1-based textAt()).
#include <QStringList>

template <class List>
QStringList contentsOf(const List& list) {
    QStringList all;
    for (int i = 1; i <= list.count(); ++i) all << list.textAt(i);
    return all;
}
