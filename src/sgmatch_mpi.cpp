// Entry point of sgmatch-mpi: mpirun -np K sgmatch-mpi key=value...
#include "mpi_runner.h"

int main(int argc, char** argv) { return runMpi(argc, argv); }
