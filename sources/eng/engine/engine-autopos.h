/* Anchor auto-positioning by classical multidimensional scaling. */
#ifndef ENGINE_AUTOPOS_H
#define ENGINE_AUTOPOS_H

#include "engine-types.h"

/* The survey's range of anchor counts. */
#define AUTOPOS_MIN_ANCHORS 3
#define AUTOPOS_MAX_ANCHORS 15

/* Module-wide work matrix: after a successful survey res[k*n + j] is the
 * coordinate of anchor j along eigen-dimension k (ascending eigenvalues). */
#ifdef __cplusplus /* extern "C" alone makes this a declaration */
QZ_API float res[AUTOPOS_MAX_ANCHORS * AUTOPOS_MAX_ANCHORS];
#else
QZ_API extern float res[AUTOPOS_MAX_ANCHORS * AUTOPOS_MAX_ANCHORS];
#endif

QZ_API int engine_autopos_mds(const float *meas, int anchor_cnt,
                              float *anchor_pos_est, int *qf);
QZ_API void engine_autopos_test(void);

#endif
