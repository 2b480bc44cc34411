/* Levenberg-Marquardt fit of one tag to its anchor distances. */
#ifndef ENGINE_LEVMAR_H
#define ENGINE_LEVMAR_H

#include "engine-types.h"

/* Capacity of the solver's work arrays in measurements. */
#define LS_MAX_MEAS 20

QZ_API int ls_lm_dif(float *p, const float *y, int dim, int n, int kmax,
                     float *sse, const anchor_pos_t *anchor_pos);
QZ_API void engine_ls_cost_fnc(const anchor_pos_t *anchor_pos,
                               const float *pos_est, float *x, int dim,
                               int meas_cnt);

#endif
