// The start-up sequence, run before the window is shown.
#include <QHeaderView>
#include <QTreeView>

#include "app/Form1.h"
#include "support/ErrorTrap.h"

void Form1::Form_Load() {
    ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("Form_Load"));
    trap.run(128, [&] {
        setWindowTitle(QString::fromLatin1(Dialogs::kProductName));
        dialogs_.setApplicationTitle(QString::fromLatin1(Dialogs::kProductName));
    });
    trap.run(130, [&] { urls_.setHeaderText(QStringLiteral("URL(s)")); });
    trap.run(132, [&] { ListView1->header()->resizeSection(0, 7000 / 15); });
}
