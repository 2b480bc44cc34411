// Range-level tracking of tags among fixed anchors: a constant-velocity
// extended Kalman filter per tag on its anchor ranges, the range model its
// tags share (each anchor's range offset and the ranging noise, learned
// from the tags' own ranges), and the Rauch-Tung-Striebel smoother over a
// filtered track. Double precision throughout; no allocation.
//
// A range is modelled as the 3-D distance from the anchor to the tag (at
// the tag's height) plus the anchor's offset plus the tag's offset plus
// white noise. The filter of one tag estimates x, y, vx, vy and the tag's
// offset c; the model holds the anchors' offsets b with their covariance B,
// shared by every tag. The joint estimate of all tags and b stays exact
// without a joint state: each tag's error is held as L e_b + w, a linear
// function of the model's offset error plus a part w of its own (covariance
// W) that is independent of the model and of the other tags. A range of one
// tag then refines b and that tag alone; another tag catches up with the
// change of b (x += L (b - b_seen)) at its next update, its L and W
// unchanged. Per tag that is 5 + 25 + 5n + n numbers, and an update costs
// O(n^2) for the model's covariance.
#ifndef QZ_TRACK_FILTER_H
#define QZ_TRACK_FILTER_H

#include "export.h"

enum { TRACK_MAX_ANCHORS = 32 };

// The filter's state: x, y, vx, vy and the tag's range offset.
enum { TRACK_STATES = 5 };

// Status of one anchor's range after a fuse or seed.
enum { TRACK_NONE = 0, TRACK_USED = 1, TRACK_REJECTED = 2 };

// The largest dilution of precision reported: anchors that cannot fix a
// position in the plane (fewer than two directions) report this.
#define TRACK_DOP_MAX 1000.0

// The bounds every setting is checked against, so that no product of them
// overflows or underflows in the filter: metres, seconds.
#define TRACK_SIGMA_MIN 1e-6
#define TRACK_SIGMA_MAX 100.0
#define TRACK_COORDINATE_MAX 1e6
#define TRACK_OFFSET_MAX 1e3
#define TRACK_OFFSET_SD_MAX 100.0
#define TRACK_PROCESS_NOISE_MAX 1e6
#define TRACK_GATE_MIN 0.1
#define TRACK_GATE_MAX 1e3
#define TRACK_TIME_MAX 1e12

// The largest growth of a prediction's covariance that the smoother takes;
// an update that restarts the track from its message's own fix reports it,
// so that the smoother all but cuts the track there.
#define TRACK_MAX_GROWTH 1e4

typedef struct {
    double x, y, z;
} track_anchor_t;

typedef struct {
    double accel_noise; // white-acceleration spectral density (m^2/s^3)
    double gate_long;   // gate for a range longer than predicted (pred. sd)
    double gate_short;  // gate for a range shorter than predicted
    double height;      // the tag's fixed z (m), in the anchors' frame
    double max_range;   // ranges beyond this (m) are rejected outright
    double max_gap;     // seconds without an update before re-seeding
    int max_bad;        // updates in a row rejecting more than they use
    double offset;      // the tag's range offset at its first seed (m)
    double offset_sd;   // its sd then (m); 0: the offset is not learned
    double speed_sd;    // sd of the speed (m/s) of a fresh start, at rest
} track_params_t;

// What the tags of one anchor set share: each anchor's range offset with
// the covariance of their errors, and the ranging noise. An offset whose sd
// is above 0 is learned; one of sd 0 is fixed.
typedef struct {
    int count;                        // anchors, 1 to TRACK_MAX_ANCHORS
    int estimate_noise;               // 1: sigma is estimated from the ranges
    int learns_offsets;               // 1: some offset has an sd above 0
    double sigma;                     // range noise sd in use (m)
    long long noise_samples;          // residuals the noise estimate has taken
    double offset[TRACK_MAX_ANCHORS]; // b (m), subtracted from each range
    double cov[TRACK_MAX_ANCHORS * TRACK_MAX_ANCHORS]; // B, row stride count
} track_model_t;

typedef struct {
    double state[TRACK_STATES];              // x, y, vx, vy, tag offset
    double cov[TRACK_STATES * TRACK_STATES]; // W, row-major 5x5
    double coupling[TRACK_STATES * TRACK_MAX_ANCHORS]; // L, row stride 32
    double offset_seen[TRACK_MAX_ANCHORS]; // the model's b the state is at
    double time;                           // time of state (s)
    double fused_time; // time of the last update that used a range (s)
    double growth;     // 1, or TRACK_MAX_GROWTH after a restart
    int seeded;        // 0 until seeded, and again once a re-seed is due
    int bad_streak;    // updates in a row that rejected more than they used
    int restarted;     // the last update restarted from the message's fix
    int has_offset;    // the tag's offset has been estimated before
} track_state_t;

// Starts `m` for `count` anchors.
//   m          out  the model
//   count      in   anchors, 1 to TRACK_MAX_ANCHORS
//   offsets    in   double[count]: each anchor's offset (m), or null for 0
//   offset_sd  in   double[count]: sd of each offset (m), 0 to
//                   TRACK_OFFSET_SD_MAX; or null for 0 (offsets fixed)
//   sigma      in   range noise sd (m), TRACK_SIGMA_MIN to TRACK_SIGMA_MAX:
//                   the start of the estimate when estimating it
//   estimate_noise in  1: estimate the noise from the tags' ranges; 0: keep
//                   sigma
// Returns 0, or -1 (m untouched) when a value is out of its range.
QZ_API int track_model_init(track_model_t *m, int count, const double *offsets,
                            const double *offset_sd, double sigma,
                            int estimate_noise);

// Whether `s` must be seeded before an update at `time`: never seeded, more
// than max_gap since the last update that used a range, or max_bad bad
// updates in a row. Returns 1 or 0.
QZ_API int track_needs_seed(const track_state_t *s, const track_params_t *p,
                            double time);

// Starts `s` at (x, y) at rest, at `time`.
//   s        in-out the state; velocity 0 with sd p->speed_sd; a tag whose
//                   offset was estimated before keeps that estimate
//   p        in     parameters (height, offset, offset_sd, speed_sd)
//   m        in     the model, m->count anchors
//   anchors  in     track_anchor_t[m->count]
//   ranges   in     double[m->count], metres; > 0 marks a range the
//                   position was fitted to
//   status   out    unsigned char[m->count]: TRACK_USED where ranges[i] > 0
//                   and finite, else TRACK_NONE
//   x, y     in     the position fitted to those ranges
//   time     in     0 to TRACK_TIME_MAX
// The position's covariance is that of a least-squares fit to the used
// ranges with the model's noise, with a weak prior (100 m sd) so that it
// always exists, and with its dependence on the tag's and the anchors'
// offset errors.
// Returns 0, or -1 (s untouched) when an input is out of its range.
QZ_API int track_seed(track_state_t *s, const track_params_t *p,
                      const track_model_t *m, const track_anchor_t *anchors,
                      const double *ranges, unsigned char *status, double x,
                      double y, double time);

// Moves `s` to `time` with the constant-velocity model.
// Returns 0, or -1 (s untouched) when time is not finite, beyond
// TRACK_TIME_MAX or before s->time.
QZ_API int track_predict(track_state_t *s, const track_params_t *p,
                         double time);

// Fuses one range per anchor into `s` (and into `m` where it learns), one
// scalar update at a time, the ranges in order of their gated innovation at
// the prediction (smallest first).
//   s        in-out the state, predicted to the ranges' time
//   m        in-out the model; its offsets and noise change where it learns
//   anchors  in     track_anchor_t[m->count]
//   ranges   in     double[m->count]: 0 for none; negative, non-finite or
//                   beyond max_range: rejected
//   status   out    unsigned char[m->count]: TRACK_NONE, TRACK_USED,
//                   TRACK_REJECTED
// A range whose innovation (the range less its prediction and both offsets)
// lies beyond gate_long (too long) or gate_short (too short) predicted
// standard deviations is rejected. When any of three or more ranges is,
// when the least-squares shift of the position that they ask for together
// lies beyond the prediction's reach (each range can pass its gate while
// the message does not), or when the prediction knows the position less
// well than a range does (slow updates, whose wide gates let long ranges
// through), the message is fitted on its own, and its ranges
// agree when the residuals of that fit pass a chi-square test (after
// leaving out at most one of five or more). If they agree on a fix beyond
// the prediction's reach and some missed their gates, the tag left its
// prediction (it turned back, or stopped): the state restarts from that fix
// (s->restarted, s->growth TRACK_MAX_GROWTH). If they all passed their
// gates and agree on a shift beyond reach, they are fused linearised at
// their fix. A range the fit left out to agree is rejected. If they
// disagree and most miss their gates, the message is rejected whole and the
// state keeps its prediction. Otherwise the ranges are fused one by one,
// gated, each relinearised at the state the ones before it left. The
// covariance is never grown. Where the model estimates the noise, the
// ranges that pass their gates at the prediction refine it: their
// residuals against the message's own fit of a position shift and a common
// offset at the prediction, which hold none of the state's error.
// Returns the count of rejected ranges, or -1 when the result would not be
// finite: then s and m hold their values before the call and s is marked
// unseeded.
QZ_API int track_fuse(track_state_t *s, const track_params_t *p,
                      track_model_t *m, const track_anchor_t *anchors,
                      const double *ranges, unsigned char *status);

// Brings `s` up to the model's current offsets (done by track_fuse too):
// the state moves by L (b - b_seen).
QZ_API void track_catch_up(track_state_t *s, const track_model_t *m);

// The covariance of x, y, vx, vy and the tag's offset with the model's
// offset errors included: L B L^T + W.
//   out  out  double[25], row-major 5x5
QZ_API void track_marginal(const track_state_t *s, const track_model_t *m,
                           double *out);

// The x, y block of track_marginal, cheaper: out[0], out[1], out[5] and
// out[6] of a row-major 5x5 (the rest untouched).
QZ_API void track_position_marginal(const track_state_t *s,
                                    const track_model_t *m, double *out);

// Horizontal dilution of precision at (x, y, z) of the anchors whose status
// is TRACK_USED: sqrt(trace((H^T H)^-1)), rows of H the planar parts of the
// unit vectors from the anchors. TRACK_DOP_MAX when H^T H is singular.
QZ_API double track_dop(const track_anchor_t *anchors, int n,
                        const unsigned char *status, double x, double y,
                        double z);

// The smoothers' results: 0, or one of these.
enum {
    TRACK_SMOOTH_BACKWARDS = -1,    // a time before its fix's predecessor's
    TRACK_SMOOTH_GROWTH = -2,       // a growth outside 1 to TRACK_MAX_GROWTH
    TRACK_SMOOTH_NOT_DEFINITE = -3, // a prediction that cannot be inverted
};

// Rauch-Tung-Striebel smoothing of a filtered track, in place.
//   count        in     number of fixes, 0 or more
//   times        in     double[count], not decreasing within a segment
//   states       in-out double[count][4], row stride 4: filtered in,
//                       smoothed out
//   covs         in-out double[count][16], row stride 16: likewise
//   starts       in     unsigned char[count]: nonzero where the filter was
//                       seeded, which begins a new segment
//   growths      in     double[count]: the growth of each fix's update (the
//                       state's growth after it), or null for none
//   accel_noise  in     the filter's process noise
// Returns 0; TRACK_SMOOTH_BACKWARDS or TRACK_SMOOTH_GROWTH for a time or a
// growth that a fix within a segment cannot take (checked before anything
// is smoothed: states and covs untouched); or TRACK_SMOOTH_NOT_DEFINITE at
// the first fix, from the end, whose predicted covariance cannot be
// inverted: the fixes after it are smoothed, it and those before it
// untouched.
QZ_API int track_smooth(int count, const double *times, double *states,
                        double *covs, const unsigned char *starts,
                        const double *growths, double accel_noise);

// track_smooth over packed covariances: each fix's symmetric 4x4 as the 10
// entries of its upper triangle, row-major (00 01 02 03 11 12 13 22 23 33).
//   count        in     number of fixes, 0 or more
//   times        in     double[count], not decreasing within a segment
//   states       in-out double[count][4], row stride 4: filtered in,
//                       smoothed out
//   covs         in-out double[count][10], row stride 10: likewise
//   starts       in     unsigned char[count]: nonzero where a segment begins
//   growths      in     double[count], or null for none
//   accel_noise  in     the filter's process noise
// Returns what track_smooth returns, with the arrays in the same states;
// results equal track_smooth's on the same matrices whole.
QZ_API int track_smooth_packed(int count, const double *times, double *states,
                               double *covs, const unsigned char *starts,
                               const double *growths, double accel_noise);

#endif
