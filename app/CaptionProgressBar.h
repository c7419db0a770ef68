#pragma once
#include <QProgressBar>

// A progress bar that draws a caption of its own on the bar. The caption is shown as given:
// a "%" in an address must not be taken for one of the bar's placeholders.
class CaptionProgressBar : public QProgressBar {
    Q_OBJECT
public:
    using QProgressBar::QProgressBar;
    void setCaption(const QString& caption) {
        caption_ = caption;
        update();
    }
    const QString& caption() const { return caption_; }
    QString text() const override { return caption_; }

private:
    QString caption_;
};
