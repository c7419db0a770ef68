// The download run.
#include "app/Form1.h"

void Form1::PushButton2_Click() {}

void Form1::setUpDownloadRun() {}
