// Must not build: the bottom layer cannot see the list model.
#include "urllist/UrlList.h"
