// Entry point of the test binaries that share one initialised library.
#include "TestMain.h"

int main(int argc, char** argv) { return Kavrin::Test::RunTests(argc, argv, true); }
