// Must not build: the list model cannot see the downloader.
#include "download/Downloader.h"
