// vimbrel: the daemon keeping each user's log of recently used files.
#include "recent/daemon.h"

int main() { return orv::recent::recent_main(); }
