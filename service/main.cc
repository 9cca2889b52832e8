// orv-service: the per-session search and cache daemon.
#include "service/daemon.h"

int main(int argc, char** argv) { return orv::service_main(argc, argv); }
