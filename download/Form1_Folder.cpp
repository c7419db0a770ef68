// The output folder and the download option.
#include "app/Form1.h"

void Form1::PushButton6_Click() {}
void Form1::Option1_Click() {}
void Form1::Option2_Click() {}
void Form1::Text1_Change() {}
