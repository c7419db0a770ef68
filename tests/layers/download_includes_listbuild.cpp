// Must not build: the download layer cannot see list building.
#include "listbuild/LinkScan.h"
