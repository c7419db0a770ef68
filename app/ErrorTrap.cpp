#include "app/ErrorTrap.h"

#include <new>

namespace ErrorReport {

QString ComposeReport(const QString& description, const QString& module, const QString& procedure, int line) {
    return description + QLatin1String("\r\n") + QLatin1String("in ") + QLatin1String(kProjectId) +
           QLatin1Char('.') + module + QLatin1Char('.') + procedure + QLatin1Char(' ') +
           QLatin1String("at line ") + QString::number(line) + QLatin1String("\r\r") +
           QLatin1String("Please email screenshot of this message to ") + QLatin1String(kSupportAddress);
}

QString DescribeCurrentException() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return QStringLiteral("Out of memory");
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unexpected error");
    }
}

void Trap::report(int line, const QString& description) {
    ++reports_;
    dialogs_.messageBox(ComposeReport(description, module_, procedure_, line),
                        Dialogs::OkOnly + Dialogs::Exclamation, QLatin1String(kCaption));
}

}  // namespace ErrorReport
