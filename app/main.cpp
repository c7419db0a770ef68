#include <QApplication>

#include "app/Form1.h"
#include "support/QtDialogs.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Quillmoor"));
    QApplication::setApplicationName(QStringLiteral("Fetchwright"));

    Dialogs::QtDialogs dialogs;
    Form1 form(dialogs);
    dialogs.setOwner(&form);
    form.Form_Load();
    form.show();
    return app.exec();
}
