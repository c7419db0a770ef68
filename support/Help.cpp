#include "support/Help.h"

#include <QCoreApplication>

namespace Help {

QString UsageNote() {
    const QString crcr = QStringLiteral("\r\r");
    const QString crlf = QStringLiteral("\r\n");
    return QCoreApplication::translate("Help", "The website URLs that you load into this software must reference explicit files.") + crcr +
           QCoreApplication::translate("Help", "For example, the following URLs are bad because they are \"too dynamic\" and do not point "
                          "to an explicit file:") +
           crlf + QStringLiteral("http://www.videoshare.example/video/x7k2m9q") + crlf +
           QStringLiteral("www.videoshare.example/watch?v=Qm4xT9pLw2c") + crcr +
           QCoreApplication::translate("Help", "The following are good because they points to actual files: "
                          "http://www.quillmoor.example/photoframe/images/icon.gif") +
           crlf + QStringLiteral("http://www.quillmoor.example/fetchwright/download/setup.exe") + crcr +
           QCoreApplication::translate("Help", "This software will not download files that require a password to access. To determine if "
                          "a file is password protected, paste the URL into your browser (Internet Explorer, FireFox, "
                          "Chrome, etc.) and see if there is a password prompt.") +
           crcr + QCoreApplication::translate("Help", "Would you like to view the help file?");
}

}  // namespace Help
