// The console host: runs the script bound into this executable once, with the
// program's own arguments, and exits with the script's status. Started
// through the link that a packed program's $^X names, it acts as perl.
#include "src/launcher/as_perl.h"

int main(int argc, char** argv) { return kovrun_console_run(argc, argv, kovrun_started_as_perl(argc, argv)); }
