// The Help button.
#include "app/Form1.h"
#include "support/ErrorTrap.h"
#include "support/Help.h"

void Form1::PushButton1_Click() {
    ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("PushButton1_Click"));
    int answer = Dialogs::No;
    trap.run(100, [&] { answer = dialogs_.messageBox(Help::UsageNote(), Dialogs::YesNo, {}); });
    // The opener takes the address itself; the double quotes that once protected it on a shell
    // command line would become part of the address here.
    trap.run(102, [&] {
        if (answer == Dialogs::Yes) dialogs_.openUrl(QString::fromLatin1(Help::kHelpPageAddress));
    });
}
