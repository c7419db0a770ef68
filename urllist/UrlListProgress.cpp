// Rows under way: what a run shows on the rows it is fetching.
#include "urllist/UrlList.h"

QVariant UrlList::progressData(EntryId id, int role) const {
    const auto it = progress_.find(id);
    if (it == progress_.end()) return {};
    switch (role) {
    case ProgressRole: return it->second.share;
    case ProgressTextRole: return it->second.text;
    case Qt::ToolTipRole: return it->second.tip.isEmpty() ? QVariant() : QVariant(it->second.tip);
    default: return {};
    }
}

void UrlList::setProgress(EntryId id, Progress progress) {
    const int position = positionOf(id);
    if (position == 0) return;
    progress_[id] = std::move(progress);
    const QModelIndex at = index(position - 1);
    emit dataChanged(at, at, {ProgressRole, ProgressTextRole, Qt::ToolTipRole});
}

void UrlList::clearProgress(EntryId id) {
    if (progress_.erase(id) == 0) return;
    const int position = positionOf(id);
    if (position == 0) return;
    const QModelIndex at = index(position - 1);
    emit dataChanged(at, at, {ProgressRole, ProgressTextRole, Qt::ToolTipRole});
}

void UrlList::clearAllProgress() {
    const auto ids = std::exchange(progress_, {});
    for (const auto& [id, progress] : ids) {
        const int position = positionOf(id);
        if (position == 0) continue;
        const QModelIndex at = index(position - 1);
        emit dataChanged(at, at, {ProgressRole, ProgressTextRole, Qt::ToolTipRole});
    }
}
