// The Help button.
#include "app/Form1.h"

void Form1::PushButton1_Click() {}
