#include "app/LazyIcon.h"

#include <QIconEngine>
#include <QPainter>

#include <memory>

namespace {

// Used on the window's thread only, as every icon is. Copies of the icon share one lookup.
class LazyIconEngine : public QIconEngine {
public:
    struct Shared {
        std::function<QIcon()> lookUp;
        QIcon icon;
        const QIcon& get() {
            if (lookUp) icon = std::exchange(lookUp, nullptr)();
            return icon;
        }
    };
    explicit LazyIconEngine(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
        shared_->get().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return shared_->get().pixmap(size, mode, state);
    }
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override {
        return shared_->get().pixmap(size, scale, mode, state);
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return shared_->get().actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
        return shared_->get().availableSizes(mode, state);
    }
    QString iconName() override { return shared_->get().name(); }
    QString key() const override { return QStringLiteral("fetchwright-lazy"); }
    QIconEngine* clone() const override { return new LazyIconEngine(shared_); }

private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace

QIcon LazyIcon(std::function<QIcon()> lookUp) {
    auto shared = std::make_shared<LazyIconEngine::Shared>();
    shared->lookUp = std::move(lookUp);
    return QIcon(new LazyIconEngine(std::move(shared)));
}
