#pragma once
// A whole run of a list through a DownloadJob, as the window runs one, waited for while the
// test's events flow.
#include <QStringList>
#include <QTest>

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "download/DownloadJob.h"
#include "harness/Timing.h"

// Entries get ids 1, 2, ... in list order. The engine's number of transfers at once is kept.
inline Download::JobResult RunJobToEnd(Download::Engine& engine, const QStringList& entries, const QString& folder,
                                       std::optional<Download::JobOptions> options = std::nullopt) {
    std::vector<Download::JobItem> items;
    items.reserve(static_cast<std::size_t>(entries.size()));
    Download::EntryId id = 0;
    for (const QString& entry : entries) items.push_back(Download::JobItem{++id, entry});
    Download::JobOptions chosen;
    chosen.atOnce = engine.maxTransfers();
    Download::DownloadJob job(engine, folder, std::move(items), options.value_or(chosen), nullptr);
    std::optional<Download::JobResult> result;
    QObject::connect(&job, &Download::DownloadJob::result, [&](const Download::JobResult& r) { result = r; });
    job.start();
    if (!QTest::qWaitFor([&] { return result.has_value(); }, Timing::boundMs(120000))) ADD_FAILURE() << "the run did not end";
    return result.value_or(Download::JobResult{});
}

inline Download::RunSummary RunJob(Download::Engine& engine, const QStringList& entries, const QString& folder) {
    return RunJobToEnd(engine, entries, folder).summary;
}
