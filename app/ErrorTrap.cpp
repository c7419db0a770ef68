#include "app/ErrorTrap.h"

#include <QCoreApplication>

#include <new>

namespace ErrorReport {

QString ComposeReport(const QString& description, const QString& module, const QString& procedure, int line) {
    return QCoreApplication::translate("ErrorReport", "%1\r\nin %2.%3.%4 at line %5\r\rPlease email screenshot of this message to %6")
        .arg(description, QLatin1String(kProjectId), module, procedure, QString::number(line), QLatin1String(kSupportAddress));
}

QString DescribeCurrentException() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return QCoreApplication::translate("ErrorReport", "Out of memory");
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QCoreApplication::translate("ErrorReport", "Unexpected error");
    }
}

void Trap::report(int line, const QString& description) {
    ++reports_;
    dialogs_.messageBox(ComposeReport(description, module_, procedure_, line),
                        Dialogs::OkOnly + Dialogs::Exclamation, QCoreApplication::translate("ErrorReport", kCaption));
}

}  // namespace ErrorReport
