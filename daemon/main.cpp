#include "daemon/daemon.h"

int main(int argc, char **argv) { return QaxMain(argc, argv); }
