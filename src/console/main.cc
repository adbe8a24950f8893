// The program entry point.
#include "console/console.h"

int main(int argc, char** argv) { return runMain(argc, argv); }
