#include "tool/driver.h"

int main(int argc, char** argv) { return wavgrid_run(argc, argv); }
