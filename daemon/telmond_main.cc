// The telmond program: the daemon with nothing added.
#include "daemon/telmond.h"
#include "frame/startup.h"

int main(int argc, char** argv) { process_exit(run_telmond(argc, argv)); }
