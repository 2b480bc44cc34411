/* Model helpers of the tag solver and the small LU solver. */
#ifndef ENGINE_LEVMAR_MATH_H
#define ENGINE_LEVMAR_MATH_H

#include "engine-types.h"

QZ_API void fdif_jac(float *p, const float *hx, float *hxx, float (*jac)[3],
                     int m, int n, const anchor_pos_t *anchor_pos);
QZ_API float vec_dif_L2_norm(float *e, const float *x, const float *y, int n);
QZ_API int lu_decomp(float *A, int dim, int *pivot);
QZ_API int lu_solve(float *x, const float *A, int dim, const int *pivot);
QZ_API int solve_lin_sys_LU(const float *A, const float *B, float *x, int dim);

#endif
