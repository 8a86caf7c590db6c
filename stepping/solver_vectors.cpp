#include "stepping/solver_vectors.hpp"

#include <cmath>

namespace {

using Real = sunrealtype;

// z[i] = value(i) for every element.
template <typename Value>
void assign(N_Vector z, Value value) {
  Real* zd = NV_DATA_S(z);
  for (sunindextype i = 0, n = NV_LENGTH_S(z); i < n; ++i) zd[i] = value(i);
}

// y += a x, with a of 1 and -1 as a plain sum and difference.
void add_scaled(Real a, N_Vector x, N_Vector y) {
  const Real* xd = NV_DATA_S(x);
  const Real* yd = NV_DATA_S(y);
  if (a == 1.0) return assign(y, [&](sunindextype i) { return yd[i] + xd[i]; });
  if (a == -1.0) return assign(y, [&](sunindextype i) { return yd[i] - xd[i]; });
  assign(y, [&](sunindextype i) { return yd[i] + a * xd[i]; });
}

// z = a x + b y. Coefficients of 1 and -1 drop their products and equal or opposite ones factor
// out, as the library's own operation does, so each element rounds as it did there.
void linear_sum(Real a, N_Vector x, Real b, N_Vector y, N_Vector z) {
  const Real* xd = NV_DATA_S(x);
  const Real* yd = NV_DATA_S(y);
  if (b == 1.0 && z == y) return add_scaled(a, x, y);
  if (a == 1.0 && z == x) return add_scaled(b, y, x);
  if (a == 1.0 && b == 1.0) return assign(z, [&](sunindextype i) { return xd[i] + yd[i]; });
  if (a == 1.0 && b == -1.0) return assign(z, [&](sunindextype i) { return xd[i] - yd[i]; });
  if (a == -1.0 && b == 1.0) return assign(z, [&](sunindextype i) { return yd[i] - xd[i]; });
  if (a == 1.0) return assign(z, [&](sunindextype i) { return b * yd[i] + xd[i]; });
  if (b == 1.0) return assign(z, [&](sunindextype i) { return a * xd[i] + yd[i]; });
  if (a == -1.0) return assign(z, [&](sunindextype i) { return b * yd[i] - xd[i]; });
  if (b == -1.0) return assign(z, [&](sunindextype i) { return a * xd[i] - yd[i]; });
  if (a == b) return assign(z, [&](sunindextype i) { return a * (xd[i] + yd[i]); });
  if (a == -b) return assign(z, [&](sunindextype i) { return a * (xd[i] - yd[i]); });
  assign(z, [&](sunindextype i) { return a * xd[i] + b * yd[i]; });
}

// z = c x; in place always a product, otherwise 1 and -1 as a copy and a negation.
void scale(Real c, N_Vector x, N_Vector z) {
  const Real* xd = NV_DATA_S(x);
  if (z == x) return assign(z, [&](sunindextype i) { return xd[i] * c; });
  if (c == 1.0) return assign(z, [&](sunindextype i) { return xd[i]; });
  if (c == -1.0) return assign(z, [&](sunindextype i) { return -xd[i]; });
  assign(z, [&](sunindextype i) { return c * xd[i]; });
}

void constant(Real c, N_Vector z) {
  assign(z, [c](sunindextype) { return c; });
}

void product(N_Vector x, N_Vector y, N_Vector z) {
  const Real* xd = NV_DATA_S(x);
  const Real* yd = NV_DATA_S(y);
  assign(z, [&](sunindextype i) { return xd[i] * yd[i]; });
}

void quotient(N_Vector x, N_Vector y, N_Vector z) {
  const Real* xd = NV_DATA_S(x);
  const Real* yd = NV_DATA_S(y);
  assign(z, [&](sunindextype i) { return xd[i] / yd[i]; });
}

void absolute(N_Vector x, N_Vector z) {
  const Real* xd = NV_DATA_S(x);
  assign(z, [&](sunindextype i) { return std::fabs(xd[i]); });
}

void inverse(N_Vector x, N_Vector z) {
  const Real* xd = NV_DATA_S(x);
  assign(z, [&](sunindextype i) { return 1.0 / xd[i]; });
}

void add_constant(N_Vector x, Real b, N_Vector z) {
  const Real* xd = NV_DATA_S(x);
  assign(z, [&](sunindextype i) { return xd[i] + b; });
}

// Summed from the first element on, as the library does: no reassociation, so no other rounding.
Real dot_product(N_Vector x, N_Vector y) {
  const Real* xd = NV_DATA_S(x);
  const Real* yd = NV_DATA_S(y);
  Real sum = 0.0;
  for (sunindextype i = 0, n = NV_LENGTH_S(x); i < n; ++i) sum += xd[i] * yd[i];
  return sum;
}

Real largest_size(N_Vector x) {
  const Real* xd = NV_DATA_S(x);
  Real largest = 0.0;
  for (sunindextype i = 0, n = NV_LENGTH_S(x); i < n; ++i)
    if (std::fabs(xd[i]) > largest) largest = std::fabs(xd[i]);
  return largest;
}

}  // namespace

void use_compiled_vector_operations(N_Vector v) {
  N_Vector_Ops ops = v->ops;
  ops->nvlinearsum = linear_sum;
  ops->nvscale = scale;
  ops->nvconst = constant;
  ops->nvprod = product;
  ops->nvdiv = quotient;
  ops->nvabs = absolute;
  ops->nvinv = inverse;
  ops->nvaddconst = add_constant;
  ops->nvdotprod = dot_product;
  ops->nvmaxnorm = largest_size;
}
