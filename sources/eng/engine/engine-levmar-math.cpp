// Model helpers of the tag solver (finite-difference Jacobian, residuals)
// and the LU solver for its damped normal equations of order 1 to 3.
#include "engine-levmar-math.h"
#include "engine-levmar.h"

#include <cmath>
#include <cstring>

// Forward-difference Jacobian of the predicted distances.
//   p    in-out float[m]: perturbed one coordinate at a time, restored exactly
//   hx   in     float[n]: predicted distances at p
//   hxx  out    float[n]: scratch, the distances at the perturbed point
//   jac  out    float[n][3], row stride 3: jac[l][i] = d hx[l] / d p[i]
//   m    in     number of coordinates (2 or 3)
//   n    in     number of kept measurements
//   anchor_pos in anchor_pos_t[n]: the anchors of the kept measurements
void fdif_jac(float *p, const float *hx, float *hxx, float (*jac)[3], int m,
              int n, const anchor_pos_t *anchor_pos)
{
    for (int i = 0; i < m; ++i) {
        const float s = p[i];
        const float d = s < 0.0f ? -1e-4f * s : 1e-4f * s;
        // A NaN d fails the comparison and gives a NaN step.
        const float delta = 0.04f > d ? 0.04f : d;
        p[i] = s + delta;
        engine_ls_cost_fnc(anchor_pos, p, hxx, m, n);
        p[i] = s;
        const float r = 1.0f / delta;
        for (int l = 0; l < n; ++l)
            jac[l][i] = (hxx[l] - hx[l]) * r;
    }
}

// Residuals, measured minus predicted, and their sum of squares.
//   e  out float[n]: residuals; 0 where the measurement is below 0.175
//   x  in  float[n]: measured distances
//   y  in  float[n]: predicted distances
// Returns the sum of squares (not its root). Measurements below the double
// 0.175 are left out; a NaN measurement is not below it and is counted.
float vec_dif_L2_norm(float *e, const float *x, const float *y, int n)
{
    float sum = 0.0f;
    for (int l = 0; l < n; ++l) {
        // Widened on purpose: the float nearest 0.175 lies below the double.
        if (static_cast<double>(x[l]) < 0.175) {
            e[l] = 0.0f;
            continue;
        }
        e[l] = x[l] - y[l];
        sum += e[l] * e[l];
    }
    return sum;
}

// LU factorisation with partial pivoting, in place.
//   A     in-out float[3][3], row-major, row stride 3; for dim < 3 the
//         elements outside the leading block must be zero
//   dim   in  the order n, 1 to 3
//   pivot out int[dim]: pivot[k] is the row exchanged with row k at step k
// Returns 0, or -1 at an exactly zero pivot (A then holds the partial
// factorisation). The search and the elimination run over all three stored
// rows and columns whatever dim is.
int lu_decomp(float *A, int dim, int *pivot)
{
    for (int k = 0; k < dim; ++k) {
        // choose the pivot row: strictly larger magnitude wins
        pivot[k] = k;
        float largest = std::fabs(A[3 * k + k]);
        for (int j = k + 1; j < 3; ++j) {
            const float magnitude = std::fabs(A[3 * j + k]);
            if (magnitude > largest) {
                pivot[k] = j;
                largest = magnitude;
            }
        }

        // exchange whole rows, multipliers included
        if (pivot[k] != k) {
            float *row_k = A + 3 * k;
            float *row_p = A + 3 * pivot[k];
            for (int j = 0; j < 3; ++j) {
                const float t = row_k[j];
                row_k[j] = row_p[j];
                row_p[j] = t;
            }
        }

        if (A[3 * k + k] == 0.0f)
            return -1;

        // multipliers, then the update of the trailing block
        for (int i = k + 1; i < 3; ++i)
            A[3 * i + k] = A[3 * i + k] / A[3 * k + k];
        for (int i = k + 1; i < 3; ++i) {
            for (int j = k + 1; j < 3; ++j)
                A[3 * i + j] = A[3 * i + j] - A[3 * k + j] * A[3 * i + k];
        }
    }
    return 0;
}

// Solves with the factors of lu_decomp.
//   x     in-out float[dim]: the right-hand side in, the solution out
//   A     in  float[3][3]: the factors, row stride 3
//   dim   in  the order n
//   pivot in  int[dim]: the pivot record of lu_decomp
// Returns 0, or -1 at an exactly zero diagonal element of U (the components
// above it are then final, the rest are not).
int lu_solve(float *x, const float *A, int dim, const int *pivot)
{
    if (dim <= 0)
        return 0;

    // forward pass: the row exchanges in factorisation order, then L y = P b
    for (int i = 0; i < dim; ++i) {
        if (pivot[i] != i) {
            const float t = x[i];
            x[i] = x[pivot[i]];
            x[pivot[i]] = t;
        }
        for (int j = 0; j < i; ++j)
            x[i] = x[i] - A[3 * i + j] * x[j];
    }

    // backward pass: U x = y
    for (int k = dim - 1; k >= 0; --k) {
        for (int j = k + 1; j < dim; ++j)
            x[k] = x[k] - A[3 * k + j] * x[j];
        if (A[3 * k + k] == 0.0f)
            return -1;
        x[k] = x[k] / A[3 * k + k];
    }
    return 0;
}

// Solves A x = B without touching the caller's A and B.
//   A   in  float[3][3], row stride 3 (zero outside the leading block)
//   B   in  float[dim]
//   x   out float[dim]: the solution; of no use when the result is 0
//   dim in  the order n, 1 to 3
// Returns 1 when solved, 0 when a pivot or diagonal element was exactly 0.
int solve_lin_sys_LU(const float *A, const float *B, float *x, int dim)
{
    float factors[9];
    int pivot[3] = {0, 0, 0};
    std::memcpy(factors, A, sizeof factors);
    if (dim > 0)
        std::memcpy(x, B, static_cast<size_t>(dim) * sizeof *x);
    if (lu_decomp(factors, dim, pivot) == -1)
        return 0;
    if (lu_solve(x, factors, dim, pivot) == -1)
        return 0;
    return 1;
}
