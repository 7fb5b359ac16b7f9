// Entry point of the test binaries that manage the library themselves.
#include "TestMain.h"

int main(int argc, char** argv) { return Kavrin::Test::RunTests(argc, argv, false); }
