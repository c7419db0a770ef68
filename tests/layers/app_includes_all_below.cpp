// Must build: the window sees every layer below it (this keeps the probes honest).
#include "app/Dialogs.h"
#include "app/Form1.h"
#include "download/DownloadEngine.h"
#include "listbuild/LinkScan.h"
#include "support/Result.h"
#include "urllist/UrlList.h"
