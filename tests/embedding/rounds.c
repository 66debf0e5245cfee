/* An embedding program: several interpreters, one after another, each running the given code. */
#include <Python.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s ROUNDS CODE\n", argv[0]);
    return 2;
  }
  int rounds = atoi(argv[1]);
  for (int round = 0; round < rounds; ++round) {
    Py_Initialize();
    int failed = PyRun_SimpleString(argv[2]);
    if (Py_FinalizeEx() < 0 || failed) {
      fprintf(stderr, "round %d failed\n", round);
      return 1;
    }
  }
  return 0;
}
