#include "host/service.h"

int main(int Argc, char** Argv) { return BrenvicMain(Argc, Argv); }
