// The executable's entry; the GUI subsystem's start-up code calls main as well.
#include "app/principal.h"

int main() { return velmora_main(); }
