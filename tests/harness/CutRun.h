#pragma once
// One item run through an engine of its own test, cancelled once `stopAt` of its body bytes have
// come (0: never), as a stop would cut it; its outcome.
#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include "download/Checksum.h"
#include "download/DownloadEngine.h"

inline Download::ItemOutcome RunOneCutAt(Download::Engine& engine, const QString& url, const QString& base, qint64 stopAt,
                                         std::optional<Download::Checksum::Digest> digest = std::nullopt) {
    engine.beginRun();
    engine.enqueue(url, base, {}, -1, std::move(digest));
    engine.endInput();
    std::atomic<bool> done{false};
    std::thread stopper([&] {
        while (!done && stopAt > 0) {
            if (engine.figures().earliestReceived >= stopAt) {
                engine.cancel();
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    engine.runQueue(std::function<void()>{});
    done = true;
    stopper.join();
    return engine.finishRun().at(0);
}
