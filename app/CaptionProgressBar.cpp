#include "app/CaptionProgressBar.h"

#include <QEvent>
#include <QFontMetrics>

#include "support/TextElide.h"

namespace {
const QString kGap = QStringLiteral(" \u00b7 ");
}

void CaptionProgressBar::setCaption(const QString& caption) {
    hasParts_ = false;
    fullAddress_.clear();
    caption_ = caption;
    shown_ = caption;
    setAccessibleName(caption_);
    update();
}

void CaptionProgressBar::setCaption(const QString& lead, const QString& address, const QString& figures) {
    setCaption(lead, address, QStringList{figures});
}

void CaptionProgressBar::setCaption(const QString& lead, const QString& address, const QStringList& figures) {
    // The same address comes four times a second: it is cut once, not each time.
    if (!hasParts_ || address.size() != fullAddress_.size() || address != fullAddress_) {
        fullAddress_ = address;
        address_ = Text::ElideMiddle(address, kAddressChars);
    }
    hasParts_ = true;
    lead_ = lead;
    figures_ = figures.value(0);
    shorter_ = figures.mid(1);
    caption_ = lead_ + address_ + (figures_.isEmpty() ? QString() : kGap + figures_);
    setAccessibleName(caption_);
    fitToWidth();
}

void CaptionProgressBar::fitToWidth() {
    if (!hasParts_) return;
    const QFontMetrics metrics(font());
    auto tailOf = [](const QString& figures) { return figures.isEmpty() ? QString() : kGap + figures; };
    // The style draws the text inside the bar's frame, a few pixels in from each side.
    auto roomWith = [&](const QString& tail) { return width() - 12 - metrics.horizontalAdvance(lead_) - metrics.horizontalAdvance(tail); };
    QString tail = tailOf(figures_);
    int room = roomWith(tail);
    for (const QString& fewer : shorter_) {
        if (room >= kMinAddressPx) break;
        tail = tailOf(fewer);
        room = roomWith(tail);
    }
    shown_ = lead_ + metrics.elidedText(address_, Qt::ElideMiddle, std::max(room, 0)) + tail;
    update();
}

void CaptionProgressBar::resizeEvent(QResizeEvent* event) {
    QProgressBar::resizeEvent(event);
    fitToWidth();
}

void CaptionProgressBar::changeEvent(QEvent* event) {
    QProgressBar::changeEvent(event);
    if (event->type() == QEvent::FontChange) fitToWidth();
}
