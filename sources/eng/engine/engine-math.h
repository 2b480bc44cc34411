/* Symmetric eigen-solver and small numeric helpers of the anchor survey. */
#ifndef ENGINE_MATH_H
#define ENGINE_MATH_H

#include "engine-types.h"

#include <stdint.h>

/* Largest matrix order that eig accepts (the size of its work array). */
#define EIG_MAX_ORDER 15

QZ_API int eig(const float *mat, int n, float *w, float *z);
QZ_API void trans_sym_to_trid(const float *a, int n, float *d, float *e,
                              float *z);
QZ_API int eig_sym_trid(float *d, int n, float *e, float *z);
QZ_API float pythag(float a, float b);

QZ_API float det_3by3(const float *mat);
QZ_API int inv_3by3(float *inv, const float *mat);
QZ_API float get_dist(const vec3d_t *p0, const vec3d_t *p1);
QZ_API float get_dist2(const vec3d_t *p0, const float *p1);
QZ_API float get_dist3(const anchor_pos_t *p0, const vec3d_t *p1);
QZ_API float get_dist_xy(const vec3d_t *p0, const vec3d_t *p1);
QZ_API float dot_prod(const float *v, const float *w, int len);
QZ_API uint64_t fact(int n);
QZ_API void print_mat(const float *mat, int m, int n, const char *title);
QZ_API void print_vec(const float *vec, int n, const char *name);

#endif
