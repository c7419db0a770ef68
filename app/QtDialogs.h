#pragma once
#include "support/Dialogs.h"

class QWidget;

namespace Dialogs {

// The desktop's own dialogs.
class QtDialogs final : public DialogService {
public:
    void setOwner(QWidget* owner) { owner_ = owner; }

    int messageBox(const QString& text, int code, const QString& caption) override;
    QString inputBox(const QString& prompt, const QString& caption, const QString& defaultText) override;
    QStringList openFiles(const QString& title, const QStringList& nameFilters,
                          const QString& startFolder) override;
    QString browseForFolder(const QString& title, const QString& startFolder) override;
    bool editOptions(RunOptions::Values& values) override;
    std::optional<QString> keepOnly(const QList<KeepOnlyPreset>& presets, PatternCount& count) override;  // KeepOnlyDialog.cpp
    void openUrl(const QString& address) override;
    void yield() override;

private:
    QWidget* owner_ = nullptr;
};

}  // namespace Dialogs
