// vimbrel with its writer held until shut-down: the tests queue events at
// will (a full queue, events of several users waiting together) and see
// them written by the stop.
#include "recent/daemon.h"
#include "recent/store.h"

int main() {
  orv::recent::store_hold_writer();
  return orv::recent::recent_main();
}
