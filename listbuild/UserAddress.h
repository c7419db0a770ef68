#pragma once
// Addresses a user gives: typed into "Add One URL", lines of a list file, pasted or dropped
// text. Each goes through WebUrl, the one reading of an address, and what gives none is counted
// and named once, after the action.
#include <QString>
#include <QStringList>
#include <QStringView>

namespace Main {

// The texts an action did not add, for the one message after it.
struct NotAdded {
    static constexpr int kShown = 3;
    qsizetype count = 0;
    QStringList firstFew;  // as written, at most kShown
    QString digestFault;   // why the first line refused for its digest was refused

    void note(QStringView text);
    // "3 lines were not added: not web addresses" with the first few below it; empty when none.
    QString message() const;
};

// Every entry a typed text gives: each non-blank line read by WebUrl::FromUserText (http or
// https in any case kept, another scheme refused, "http://" put in front of what looks like a
// host), in order. Lines that give none are noted in `notAdded`.
QStringList AddressesFromLines(QStringView text, NotAdded& notAdded);

}  // namespace Main
