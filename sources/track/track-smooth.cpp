// The Rauch-Tung-Striebel smoother over a track of the range filter's x, y,
// vx, vy and their covariances; matrices 4x4 row-major, stored whole or
// packed, one loop for both.
#include "track-filter.h"

#include <cmath>
#include <cstddef>
#include <cstring>

namespace
{

void mat_mul(const double *a, const double *b, double *out)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            double sum = 0.0;
            for (int k = 0; k < 4; ++k)
                sum += a[i * 4 + k] * b[k * 4 + j];
            out[i * 4 + j] = sum;
        }
    }
}

// out = a * b^T
void mat_mul_transposed(const double *a, const double *b, double *out)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            double sum = 0.0;
            for (int k = 0; k < 4; ++k)
                sum += a[i * 4 + k] * b[j * 4 + k];
            out[i * 4 + j] = sum;
        }
    }
}

void symmetrise(double *m)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = i + 1; j < 4; ++j) {
            const double mean = 0.5 * (m[i * 4 + j] + m[j * 4 + i]);
            m[i * 4 + j] = mean;
            m[j * 4 + i] = mean;
        }
    }
}

void transition(double dt, double *f)
{
    static const double identity[16] = {1, 0, 0, 0, 0, 1, 0, 0,
                                        0, 0, 1, 0, 0, 0, 0, 1};
    std::memcpy(f, identity, sizeof identity);
    f[0 * 4 + 2] = dt;
    f[1 * 4 + 3] = dt;
}

// Process noise of white acceleration with spectral density q over dt.
void process_noise(double q, double dt, double *out)
{
    const double dt2 = dt * dt;
    const double a = q * dt2 * dt / 3.0, b = q * dt2 / 2.0, c = q * dt;
    std::memset(out, 0, 16 * sizeof(double));
    out[0 * 4 + 0] = a;
    out[1 * 4 + 1] = a;
    out[0 * 4 + 2] = b;
    out[2 * 4 + 0] = b;
    out[1 * 4 + 3] = b;
    out[3 * 4 + 1] = b;
    out[2 * 4 + 2] = c;
    out[3 * 4 + 3] = c;
}

// P' = F P F^T + Q
void propagate(const double *cov, double dt, double q, double *out)
{
    double f[16], fp[16], q_dt[16];
    transition(dt, f);
    mat_mul(f, cov, fp);
    mat_mul_transposed(fp, f, out);
    process_noise(q, dt, q_dt);
    for (int i = 0; i < 16; ++i)
        out[i] += q_dt[i];
    symmetrise(out);
}

// Inverse of a symmetric positive definite 4x4 matrix by Cholesky
// factorisation. Returns false when it is not positive definite.
bool invert_spd(const double *m, double *out)
{
    double l[16] = {0};
    for (int j = 0; j < 4; ++j) {
        double d = m[j * 4 + j];
        for (int k = 0; k < j; ++k)
            d -= l[j * 4 + k] * l[j * 4 + k];
        if (!(d > 0.0))
            return false;
        l[j * 4 + j] = std::sqrt(d);
        for (int i = j + 1; i < 4; ++i) {
            double s = m[i * 4 + j];
            for (int k = 0; k < j; ++k)
                s -= l[i * 4 + k] * l[j * 4 + k];
            l[i * 4 + j] = s / l[j * 4 + j];
        }
    }
    // invert the lower triangle, then out = L^-T L^-1
    double li[16] = {0};
    for (int j = 0; j < 4; ++j) {
        li[j * 4 + j] = 1.0 / l[j * 4 + j];
        for (int i = j + 1; i < 4; ++i) {
            double s = 0.0;
            for (int k = j; k < i; ++k)
                s -= l[i * 4 + k] * li[k * 4 + j];
            li[i * 4 + j] = s / l[i * 4 + i];
        }
    }
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            double s = 0.0;
            for (int k = 0; k < 4; ++k)
                s += li[k * 4 + i] * li[k * 4 + j];
            out[i * 4 + j] = s;
        }
    }
    return true;
}

// One step backwards: fix k, filtered, smoothed from fix k+1, smoothed,
// dt after it. x and c (4x4) are updated in place; growth is the filter's
// growth at fix k+1. Returns false when the prediction of fix k+1 cannot be
// inverted.
bool smooth_step(double *x, double *c, const double *x_next,
                 const double *c_next, double dt, double growth,
                 double accel_noise)
{
    // prediction of fix k+1 from fix k
    double f[16], predicted[16], predicted_inverse[16];
    transition(dt, f);
    propagate(c, dt, accel_noise, predicted);
    // the prediction as the filter used it, grown where it let a turn in
    for (int i = 0; i < 16; ++i)
        predicted[i] *= growth;
    if (!invert_spd(predicted, predicted_inverse))
        return false;
    const double x_pred[4] = {x[0] + dt * x[2], x[1] + dt * x[3], x[2], x[3]};

    // gain G = P F^T Ppred^-1
    double pf[16], gain[16];
    mat_mul_transposed(c, f, pf);
    mat_mul(pf, predicted_inverse, gain);

    // x += G (x_next - x_pred); P += G (P_next - Ppred) G^T
    double dx[4];
    for (int i = 0; i < 4; ++i)
        dx[i] = x_next[i] - x_pred[i];
    double dc[16], g_dc[16], correction[16];
    for (int i = 0; i < 16; ++i)
        dc[i] = c_next[i] - predicted[i];
    mat_mul(gain, dc, g_dc);
    mat_mul_transposed(g_dc, gain, correction);
    for (int i = 0; i < 4; ++i) {
        double sum = 0.0;
        for (int j = 0; j < 4; ++j)
            sum += gain[i * 4 + j] * dx[j];
        x[i] += sum;
    }
    for (int i = 0; i < 16; ++i)
        c[i] += correction[i];
    symmetrise(c);
    return true;
}

// The two ways a track's covariances are stored: each 4x4 whole, or as the
// 10 entries of its upper triangle, row-major. The smoother keeps every
// matrix symmetric, so packing one loses nothing.
struct WholeCovariances {
    static constexpr int size = 16;
    static void load(const double *stored, double *m)
    {
        std::memcpy(m, stored, 16 * sizeof(double));
    }
    static void store(const double *m, double *stored)
    {
        std::memcpy(stored, m, 16 * sizeof(double));
    }
};

struct PackedCovariances {
    static constexpr int size = 10;
    static void load(const double *stored, double *m)
    {
        int e = 0;
        for (int i = 0; i < 4; ++i) {
            for (int j = i; j < 4; ++j, ++e) {
                m[i * 4 + j] = stored[e];
                m[j * 4 + i] = stored[e];
            }
        }
    }
    static void store(const double *m, double *stored)
    {
        int e = 0;
        for (int i = 0; i < 4; ++i) {
            for (int j = i; j < 4; ++j, ++e)
                stored[e] = m[i * 4 + j];
        }
    }
};

// The smoother over either layout. Offsets are taken in ptrdiff_t, so that
// no count of fixes overflows them.
template <class Layout>
int smooth_track(int count, const double *times, double *states, double *covs,
                 const unsigned char *starts, const double *growths,
                 double accel_noise)
{
    // check the times and growths first, so that a refusal leaves the
    // track as it was
    for (int k = 0; k + 1 < count; ++k) {
        if (starts[k + 1])
            continue;
        if (!(times[k + 1] - times[k] >= 0.0))
            return TRACK_SMOOTH_BACKWARDS;
        const double growth = growths != nullptr ? growths[k + 1] : 1.0;
        if (!(growth >= 1.0 && growth <= TRACK_MAX_GROWTH))
            return TRACK_SMOOTH_GROWTH;
    }

    // backwards from the last fix; a fix followed by a seed ends a
    // segment, and its filtered estimate is already its smoothed one
    for (int k = count - 2; k >= 0; --k) {
        if (starts[k + 1])
            continue;
        const std::ptrdiff_t at = k;
        double c[16], c_next[16];
        Layout::load(covs + Layout::size * at, c);
        Layout::load(covs + Layout::size * (at + 1), c_next);
        const double growth = growths != nullptr ? growths[k + 1] : 1.0;
        if (!smooth_step(states + 4 * at, c, states + 4 * (at + 1), c_next,
                         times[k + 1] - times[k], growth, accel_noise))
            return TRACK_SMOOTH_NOT_DEFINITE;
        Layout::store(c, covs + Layout::size * at);
    }
    return 0;
}

} // namespace

int track_smooth(int count, const double *times, double *states, double *covs,
                 const unsigned char *starts, const double *growths,
                 double accel_noise)
{
    return smooth_track<WholeCovariances>(count, times, states, covs, starts,
                                          growths, accel_noise);
}

int track_smooth_packed(int count, const double *times, double *states,
                        double *covs, const unsigned char *starts,
                        const double *growths, double accel_noise)
{
    return smooth_track<PackedCovariances>(count, times, states, covs, starts,
                                           growths, accel_noise);
}
