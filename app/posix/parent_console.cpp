#include "app/parent_console.h"

// A POSIX program inherits its standard streams whatever it is.
void use_parent_console_for_output() {}
