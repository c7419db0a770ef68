// Must not build: the list model cannot see the download code.
#include "download/TransferTypes.h"
