// Must not build: list building cannot see the window.
#include "app/Form1.h"
