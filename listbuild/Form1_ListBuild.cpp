// Handlers that fill and prune the URL list.
#include "app/Form1.h"
#include "listbuild/EnsureHttpPrefix.h"
#include "support/ErrorTrap.h"

void Form1::PushButton5_Click() {
    ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("PushButton5_Click"));
    QString address;
    trap.run(100, [&] { address = dialogs_.input(QStringLiteral("Enter website address to add: ")); });
    if (trap.endTest(102, [&] { return address.isEmpty(); })) return;
    trap.run(104, [&] { address = Main::EnsureHttpPrefix(address); });
    trap.run(110, [&] { urls_.append(address); });
}

void Form1::PushButton13_Click() {}
void Form1::PushButton7_Click() {}
void Form1::PushButton3_Click() {}
void Form1::PushButton17_Click() {}
void Form1::PushButton11_Click() {}
void Form1::PushButton4_Click() {}

void Form1::setUpListActions() {}
