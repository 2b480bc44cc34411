// Range-level tracking of one tag: a constant-velocity extended Kalman
// filter on the tag's anchor ranges, and the Rauch-Tung-Striebel smoother
// over its filtered track. Double precision throughout; no allocation.
#ifndef QZ_TRACK_FILTER_H
#define QZ_TRACK_FILTER_H

#include "export.h"

enum { TRACK_MAX_ANCHORS = 32 };

// Status of one anchor's range after a fuse or seed.
enum { TRACK_NONE = 0, TRACK_USED = 1, TRACK_REJECTED = 2 };

// The largest dilution of precision reported: anchors that cannot fix a
// position in the plane (fewer than two directions) report this.
#define TRACK_DOP_MAX 1000.0

typedef struct {
    double x, y, z;
} track_anchor_t;

typedef struct {
    double sigma;       // range noise, standard deviation (m), > 0
    double accel_noise; // white-acceleration spectral density (m^2/s^3)
    double gate_long;  // gate for a range longer than predicted (predicted sd)
    double gate_short; // gate for a range shorter than predicted
    double height;     // the tag's fixed z (m), in the anchors' frame
    double max_range;  // ranges beyond this (m) are rejected outright
    double max_gap;    // seconds without an update before re-seeding
    int max_bad;       // updates in a row rejecting more than they use
} track_params_t;

typedef struct {
    double state[4];   // x, y, vx, vy
    double cov[16];    // covariance of state, row-major 4x4
    double time;       // time of state (s)
    double fused_time; // time of the last update that used a range (s)
    double
        growth; // factor the last update grew the prediction's covariance by
    int seeded; // 0 until seeded, and again once a re-seed is due
    int bad_streak; // updates in a row that rejected more ranges than used
} track_state_t;

// Whether `s` must be seeded before an update at `time`: never seeded,
// more than max_gap since the last update that used a range, or max_bad bad
// updates in a row. Returns 1 or 0.
QZ_API int track_needs_seed(const track_state_t *s, const track_params_t *p,
                            double time);

// Starts `s` at (x, y) at rest, at `time`.
//   s       out   the state; velocity 0 with sd `speed_sd`
//   p       in    parameters (sigma, height)
//   anchors in    track_anchor_t[n]
//   n       in    anchor count, 1 to TRACK_MAX_ANCHORS
//   ranges  in    double[n], metres; > 0 marks a range the position fits
//   status  out   unsigned char[n]: TRACK_USED where ranges[i] > 0 and
//                 finite, else TRACK_NONE
// The position covariance is sigma^2 (H^T H)^-1 for the rows of H of the
// used ranges, with a weak prior (100 m sd) so that it always exists.
// Returns 0, or -1 (s untouched) when x, y, time or speed_sd is not finite
// or n is out of range.
QZ_API int track_seed(track_state_t *s, const track_params_t *p,
                      const track_anchor_t *anchors, int n,
                      const double *ranges, unsigned char *status, double x,
                      double y, double time, double speed_sd);

// Moves `s` to `time` with the constant-velocity model.
// Returns 0, or -1 (s untouched) when time is not finite or before s->time.
QZ_API int track_predict(track_state_t *s, const track_params_t *p,
                         double time);

// Fuses one range per anchor into `s`, one scalar update at a time, the
// ranges in order of their gated innovation at the prediction (smallest
// first), each relinearised at the state the previous ones left.
//   ranges  in    double[n]: 0 for none; negative, non-finite or beyond
//                 max_range: rejected
//   status  out   unsigned char[n]: TRACK_NONE, TRACK_USED, TRACK_REJECTED
// A range whose innovation lies beyond gate_long (too long) or gate_short
// (too short) predicted standard deviations is rejected. When the median
// of three or more ranges would be, the prediction is taken to be off and
// the covariance is first grown (at most 1e4 times) until that median
// range passes. Covariances are
// updated in Joseph form and kept symmetric.
// n is 0 to TRACK_MAX_ANCHORS.
// Returns the count of rejected ranges, or -1 when the result would not be
// finite (or n is out of range): then s holds its state before the call and
// is marked unseeded.
QZ_API int track_fuse(track_state_t *s, const track_params_t *p,
                      const track_anchor_t *anchors, int n,
                      const double *ranges, unsigned char *status);

// Horizontal dilution of precision at (x, y, z) of the anchors whose status
// is TRACK_USED: sqrt(trace((H^T H)^-1)), rows of H the planar parts of the
// unit vectors from the anchors. TRACK_DOP_MAX when H^T H is singular.
QZ_API double track_dop(const track_anchor_t *anchors, int n,
                        const unsigned char *status, double x, double y,
                        double z);

// Rauch-Tung-Striebel smoothing of a filtered track, in place.
//   count        in     number of fixes
//   times        in     double[count], not decreasing within a segment
//   states       in-out double[count][4], row stride 4: filtered in,
//                       smoothed out
//   covs         in-out double[count][16], row stride 16: likewise
//   starts       in     unsigned char[count]: nonzero where the filter was
//                       seeded, which begins a new segment
//   growths      in     double[count]: the growth of each fix's update (the
//                       state's growth after it), or null for none
//   accel_noise  in     the filter's process noise
// Returns 0, or -1 at the first fix whose time goes backwards or whose
// predicted covariance cannot be inverted; the fixes after it are smoothed,
// those before it untouched.
QZ_API int track_smooth(int count, const double *times, double *states,
                        double *covs, const unsigned char *starts,
                        const double *growths, double accel_noise);

#endif
