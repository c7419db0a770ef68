#pragma once
#include "app/Dialogs.h"

class QMessageBox;
class QWidget;

namespace Dialogs {

// Where a new message box belongs: above the box open now, when there is one (a run's closing
// box comes above a box the user opened during the run), else on the owner once it is shown,
// else on its own.
QWidget* MessageBoxParent(QWidget* owner);
// Makes the box at least as wide as its title, and keeps it centred on the owner while it is
// open, also when the owner is only being placed on the screen as the box opens.
void FitAndCentre(QMessageBox& box, QWidget* owner);

// The desktop's own dialogs.
class QtDialogs final : public DialogService {
public:
    void setOwner(QWidget* owner) { owner_ = owner; }

    int messageBox(const QString& text, int code, const QString& caption) override;
    QString inputBox(const QString& prompt, const QString& caption, const QString& defaultText) override;
    QStringList openFiles(const QString& title, const QStringList& nameFilters,
                          const QString& startFolder) override;
    QString saveFile(const QString& title, const QStringList& nameFilters, const QString& startFolder) override;
    QString browseForFolder(const QString& title, const QString& startFolder) override;
    bool editOptions(RunOptions::Values& values) override;
    std::optional<QString> keepOnly(const QList<KeepOnlyPreset>& presets, PatternCount& count) override;  // KeepOnlyDialog.cpp
    void openUrl(const QString& address) override;

private:
    QWidget* owner_ = nullptr;
};

}  // namespace Dialogs
