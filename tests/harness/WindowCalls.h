#pragma once
// Steps that a test's server thread hands to the window thread. They pass under a lock of the
// harness rather than inside Qt's event queue, whose own lock the thread sanitizer cannot see, so
// that what a step captures is seen handed over. Made on the window thread; it must outlive the
// servers that post to it.
#include <QObject>

#include <functional>
#include <mutex>
#include <vector>

class WindowCalls : public QObject {
    Q_OBJECT
public:
    // Any thread: `step` runs on the window thread soon, after the steps posted before it.
    void post(std::function<void()> step);

private:
    Q_INVOKABLE void runPosted();

    std::mutex lock_;
    std::vector<std::function<void()>> posted_;
};
