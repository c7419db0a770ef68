#pragma once
// Finding the web addresses in any text (an e-mail, a page's source, a terminal log) the way
// terminals and mail programs find links, for paste and drop. List files and "Add One URL"
// keep their own rules.
#include <QString>
#include <QStringList>
#include <QStringView>

#include <functional>

namespace Main {

// Calls found(address) for every address of the text in text order, duplicates included:
//  - every http:// and https:// address (the scheme in any case, not inside a word), up to a
//    blank, a quote or an angle bracket; punctuation at its end is not part of it, nor is a
//    closing ")" or "]" that the address did not open;
//  - a line that is only an address without a scheme, "example.com/files/a.zip" (no blanks,
//    a host name with a dot before the first "/"), with "http://" in front.
// Other text is skipped.
void FindWebAddresses(QStringView text, const std::function<void(const QString&)>& found);
QStringList FindWebAddresses(QStringView text);

}  // namespace Main
