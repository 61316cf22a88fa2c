// vddb-repair: repairs the Varkel Device Driver Database. Takes no
// arguments; prints fixed progress and result lines; exits with the final
// status code (on POSIX the shell sees its low 8 bits).
#include "app/repair_run.h"

int main() { return static_cast<int>(vddb::app::runRepair()); }
