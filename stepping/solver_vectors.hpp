// The implicit solvers' vector arithmetic, compiled with this project's flags. The system's
// SUNDIALS library is built without optimisation: its serial vector operations keep every value
// on the stack, and on the 25-link rope they took a third of an implicit run's instructions
// (GMRES's dot products and linear sums on 58 values, thousands of them per frame).
#pragma once

#include <nvector/nvector_serial.h>

// Replaces the serial vector `v`'s elementwise operations and dot product with ones that compute
// every element by the same operations in the same order (the special cases of the linear sum
// included), so that results stay the same to the last bit. The solvers' own vectors are clones
// of `v` and inherit them.
void use_compiled_vector_operations(N_Vector v);
