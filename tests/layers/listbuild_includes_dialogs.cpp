// Must not build: no layer below the window sees the dialog interface; it returns results and
// the window decides what to show. List building links every layer below app/.
#include "app/Dialogs.h"
