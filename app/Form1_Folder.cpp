// The output folder and the download option.
#include <QLineEdit>
#include <QRadioButton>

#include "app/Form1.h"
#include "app/AddFolder.h"
#include "app/ErrorTrap.h"
#include "support/PathHelpers.h"

void Form1::PushButton6_Click() {
    ErrorReport::Trap trap(dialogs_, QStringLiteral("Form1"), QStringLiteral("PushButton6_Click"));
    const Settings::Store& store = settings_;
    QString path;
    trap.run(100, [&] {
        // The folder in the box first, or as much of it as exists: the chooser then shows where
        // files go now, or where the typed folder would be made.
        const QString inBox = Main::NearestExistingFolder(Main::ExpandHomeFolder(Text1->text()));
        const QString start = !inBox.isEmpty() ? inBox : store.read(QStringLiteral("LastFolderDot"), QString());
        path = AddFolder::BrowseForFolder(dialogs_, tr("Please select folder:"), start);
    });
    if (trap.endTest(102, [&] { return path.isEmpty(); })) return;
    // The folder as chosen is remembered before the box changes, which stores "Output Folder".
    trap.run(104, [&] { store.write(QStringLiteral("LastFolderDot"), path); });
    if (trap.blockTest(104, [&] { return !path.endsWith(QLatin1Char('/')); }))
        trap.run(106, [&] { Text1->setText(path + QLatin1Char('/')); });
    else
        trap.run(108, [&] { Text1->setText(path); });
}

namespace {
void storeOptions(const Settings::Store& store, const QRadioButton* option1, const QRadioButton* option2) {
    store.write(QStringLiteral("Option1"), Settings::TruthText(option1->isChecked()));
    store.write(QStringLiteral("Option2"), Settings::TruthText(option2->isChecked()));
}
}  // namespace

void Form1::Option1_Click() { storeOptions(settings_, Option1, Option2); }
void Form1::Option2_Click() { storeOptions(settings_, Option1, Option2); }

// Every change, keystroke by keystroke, is written through at once.
void Form1::Text1_Change() { settings_.write(QStringLiteral("Output Folder"), Text1->text()); }
