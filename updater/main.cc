// updater: applies a downloaded update to the installation (see entry.h).
#include "updater/entry.h"

int main(int argc, char** argv) { return UpdaterMain(argc, argv); }
