#pragma once
#include <QProgressBar>
#include <QStringList>

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
    // A caption of a lead, an address (or a name) and figures. When it is wider than the bar, the
    // address is shortened in its middle and the lead and the figures stay whole.
    void setCaption(const QString& lead, const QString& address, const QString& figures);
    // The same with figures in several lengths, fullest first: the fullest that leaves the
    // address kMinAddressPx is shown (else the shortest); caption() has the fullest.
    void setCaption(const QString& lead, const QString& address, const QStringList& figures);
    static constexpr int kMinAddressPx = 90;
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
    QStringList shorter_;  // figures_ in fewer words, fullest first
    QString fullAddress_;  // the address as given, only to see whether it changed
    bool hasParts_ = false;
};
