// sgmatch-mpi: the matching tool over the ranks of an MPI job, with the outputs of one run.
#pragma once

/// Runs the tool as one rank of an MPI job (MPI is initialised and finalised here); the exit status.
int runMpi(int argc, char** argv);
