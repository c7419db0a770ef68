// The Help button.
#include "app/Form1.h"
#include "app/ErrorTrap.h"
#include "support/Help.h"

void Form1::PushButton1_Click() {
    ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("PushButton1_Click"));
    int answer = Dialogs::No;
    trap.run(100, [&] { answer = dialogs_.messageBox(Help::UsageNote(), Dialogs::YesNo, {}); });
    // Quoted as on a shell command line; the opener takes the quotes off.
    trap.run(102, [&] {
        if (answer == Dialogs::Yes)
            dialogs_.openUrl(QLatin1Char('"') + QString::fromLatin1(Help::kHelpPageAddress) + QLatin1Char('"'));
    });
}
