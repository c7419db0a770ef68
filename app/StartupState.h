#pragma once
// The start-up subsystem's state on the main window: the environment it ran with, and the
// settings store that the folder box, the browse button and the option buttons write to.
#include "app/Form1.h"
#include "app/StartupEnvironment.h"
#include "support/Settings.h"

#include <utility>

struct Form1::StartupState {
    explicit StartupState(StartupEnvironment env)
        : environment(std::move(env)), store(environment.settingsFile) {}
    StartupEnvironment environment;
    Settings::Store store;
};
