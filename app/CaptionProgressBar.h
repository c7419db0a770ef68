#pragma once
#include <QProgressBar>

// A progress bar that draws a caption of its own on the bar. The caption is shown as given:
// a "%" in an address must not be taken for one of the bar's placeholders. The caption is also
// the bar's accessible name.
class CaptionProgressBar : public QProgressBar {
    Q_OBJECT
public:
    using QProgressBar::QProgressBar;

    // Longest address the caption keeps (cut in its middle): what a repaint lays out stays small
    // however long the address is.
    static constexpr int kAddressChars = 1024;

    void setCaption(const QString& caption);
    // A caption of a lead, an address and figures. When it is wider than the bar, the address is
    // shortened in its middle and the lead and the figures stay whole.
    void setCaption(const QString& lead, const QString& address, const QString& figures);
    // The whole caption (with the address cut to kAddressChars).
    const QString& caption() const { return caption_; }
    // What the bar shows.
    QString text() const override { return shown_; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void fitToWidth();

    QString caption_;
    QString shown_;
    QString lead_, address_, figures_;
    QString fullAddress_;  // the address as given, only to see whether it changed
    bool hasParts_ = false;
};
