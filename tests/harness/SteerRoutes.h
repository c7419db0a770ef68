#pragma once
// Routes that tests of steering a run share: "/files/NAME" answers at once, "/flaky/NAME" says
// 404 until `healed`, and "/stall/NAME" sends one byte, then holds its answer until `released`
// (or its client goes), counting in `stalled` the transfers it holds.
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <thread>

struct SteerRoutes {
    std::atomic<bool> released{false};
    std::atomic<bool> healed{false};
    std::atomic<int> stalled{0};

    void addTo(httplib::Server& server) {
        server.Get("/files/(.*)", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content("file " + req.matches[1].str(), "application/octet-stream");
        });
        server.Get("/flaky/(.*)", [this](const httplib::Request& req, httplib::Response& res) {
            if (!healed) {
                res.status = 404;
                return;
            }
            res.set_content("healed " + req.matches[1].str(), "application/octet-stream");
        });
        server.Get("/stall/(.*)", [this](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("application/octet-stream", [this](size_t, httplib::DataSink& sink) {
                sink.write("s", 1);
                ++stalled;
                for (int k = 0; k < 1000 && !released && sink.is_writable(); ++k)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                sink.write("late", 4);
                sink.done();
                return true;
            });
        });
    }
};
