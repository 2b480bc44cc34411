// The constant-velocity range filter and its smoother. State order x, y,
// vx, vy; matrices 4x4 row-major.
#include "track-filter.h"

#include <cmath>
#include <cstring>

namespace {

// Weak prior of a seed's position (variance, m^2): keeps the covariance
// defined when the seeding ranges fix only one direction.
constexpr double seed_prior_variance = 1e4;
// The most the covariance grows in one update to let a turn through.
constexpr double max_growth = 1e4;

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

bool all_finite(const double *values, int count)
{
    for (int i = 0; i < count; ++i) {
        if (!std::isfinite(values[i]))
            return false;
    }
    return true;
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

// Planar unit direction from `anchor` to (x, y, z) and the 3-D distance.
// Returns false when the point sits on the anchor.
bool direction(const track_anchor_t &anchor, double x, double y, double z,
               double *hx, double *hy, double *range)
{
    const double dx = x - anchor.x, dy = y - anchor.y, dz = z - anchor.z;
    const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
    if (!(r > 1e-9))
        return false;
    *hx = dx / r;
    *hy = dy / r;
    *range = r;
    return true;
}

bool usable_range(double range, double max_range)
{
    return std::isfinite(range) && range > 0.0 && range <= max_range;
}

// 2x2 inverse trace of the information sum(h h^T); false when singular.
bool inverse_trace_2x2(double sxx, double sxy, double syy, double *trace,
                       double *inverse)
{
    const double det = sxx * syy - sxy * sxy;
    // relative to the scale of the matrix, so collinear anchors count as
    // singular whatever their number
    if (!(det > 1e-12 * (sxx + syy) * (sxx + syy)))
        return false;
    if (inverse != nullptr) {
        inverse[0] = syy / det;
        inverse[1] = -sxy / det;
        inverse[2] = sxx / det;
    }
    *trace = (sxx + syy) / det;
    return true;
}

// The scalar updates of track_fuse, ranges[order[k]] for k below count.
// Sets their status and *used; returns how many the gate rejected.
int fuse_in_order(track_state_t *s, const track_params_t *p,
                  const track_anchor_t *anchors, const double *ranges,
                  const int *order, int count, unsigned char *status,
                  int *used)
{
    const double variance = p->sigma * p->sigma;
    int rejected = 0;
    // one scalar update per range, each gated against its predicted variance
    for (int k = 0; k < count; ++k) {
        const int i = order[k];
        double hx, hy, r;
        if (!direction(anchors[i], s->state[0], s->state[1], p->height, &hx,
                       &hy, &r)) {
            status[i] = TRACK_REJECTED;
            ++rejected;
            continue;
        }
        double *c = s->cov;
        double ph[4]; // P H^T
        for (int j = 0; j < 4; ++j)
            ph[j] = c[j * 4 + 0] * hx + c[j * 4 + 1] * hy;
        const double predicted = hx * ph[0] + hy * ph[1] + variance;
        const double innovation = ranges[i] - r;
        const double bound = std::sqrt(predicted);
        if (innovation > p->gate_long * bound ||
            innovation < -p->gate_short * bound) {
            status[i] = TRACK_REJECTED;
            ++rejected;
            continue;
        }
        double gain[4];
        for (int j = 0; j < 4; ++j) {
            gain[j] = ph[j] / predicted;
            s->state[j] += gain[j] * innovation;
        }
        // Joseph form: (I - K H) P (I - K H)^T + K R K^T
        double a[16], ap[16], updated[16];
        for (int row = 0; row < 4; ++row) {
            for (int col = 0; col < 4; ++col)
                a[row * 4 + col] = row == col ? 1.0 : 0.0;
            a[row * 4 + 0] -= gain[row] * hx;
            a[row * 4 + 1] -= gain[row] * hy;
        }
        mat_mul(a, c, ap);
        mat_mul_transposed(ap, a, updated);
        for (int row = 0; row < 4; ++row) {
            for (int col = 0; col < 4; ++col)
                updated[row * 4 + col] += gain[row] * variance * gain[col];
        }
        symmetrise(updated);
        std::memcpy(c, updated, sizeof updated);
        status[i] = TRACK_USED;
        ++*used;
    }

    return rejected;
}

} // namespace

int track_needs_seed(const track_state_t *s, const track_params_t *p,
                     double time)
{
    if (!s->seeded)
        return 1;
    if (time - s->fused_time > p->max_gap)
        return 1;
    return s->bad_streak >= p->max_bad ? 1 : 0;
}

int track_seed(track_state_t *s, const track_params_t *p,
               const track_anchor_t *anchors, int n, const double *ranges,
               unsigned char *status, double x, double y, double time,
               double speed_sd)
{
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(time) ||
        !std::isfinite(speed_sd) || n < 0 || n > TRACK_MAX_ANCHORS)
        return -1;
    // information of the used ranges, with the weak prior
    const double weight = 1.0 / (p->sigma * p->sigma);
    double sxx = 1.0 / seed_prior_variance, sxy = 0.0,
           syy = 1.0 / seed_prior_variance;
    for (int i = 0; i < n; ++i) {
        status[i] = TRACK_NONE;
        if (!usable_range(ranges[i], p->max_range))
            continue;
        double hx, hy, r;
        if (!direction(anchors[i], x, y, p->height, &hx, &hy, &r))
            continue;
        status[i] = TRACK_USED;
        sxx += weight * hx * hx;
        sxy += weight * hx * hy;
        syy += weight * hy * hy;
    }
    const double det = sxx * syy - sxy * sxy; // > 0: the prior alone is
    std::memset(s->cov, 0, sizeof s->cov);
    s->cov[0 * 4 + 0] = syy / det;
    s->cov[0 * 4 + 1] = -sxy / det;
    s->cov[1 * 4 + 0] = -sxy / det;
    s->cov[1 * 4 + 1] = sxx / det;
    s->cov[2 * 4 + 2] = speed_sd * speed_sd;
    s->cov[3 * 4 + 3] = speed_sd * speed_sd;
    s->state[0] = x;
    s->state[1] = y;
    s->state[2] = 0.0;
    s->state[3] = 0.0;
    s->time = time;
    s->fused_time = time;
    s->growth = 1.0;
    s->seeded = 1;
    s->bad_streak = 0;
    return 0;
}

int track_predict(track_state_t *s, const track_params_t *p, double time)
{
    if (!std::isfinite(time) || time < s->time)
        return -1;
    const double dt = time - s->time;
    if (dt == 0.0)
        return 0;
    double cov[16];
    propagate(s->cov, dt, p->accel_noise, cov);
    std::memcpy(s->cov, cov, sizeof cov);
    s->state[0] += dt * s->state[2];
    s->state[1] += dt * s->state[3];
    s->time = time;
    return 0;
}

int track_fuse(track_state_t *s, const track_params_t *p,
               const track_anchor_t *anchors, int n, const double *ranges,
               unsigned char *status)
{
    const track_state_t before = *s;
    if (n < 0 || n > TRACK_MAX_ANCHORS) {
        s->seeded = 0;
        return -1;
    }
    const double variance = p->sigma * p->sigma;
    int order[TRACK_MAX_ANCHORS];
    double score[TRACK_MAX_ANCHORS];
    int count = 0, rejected = 0, used = 0;

    // order the ranges by gated innovation at the prediction, and note how
    // far the covariance would have to grow for each to pass its gate
    double needed[TRACK_MAX_ANCHORS];
    for (int i = 0; i < n; ++i) {
        status[i] = TRACK_NONE;
        if (ranges[i] == 0.0)
            continue;
        double hx, hy, r;
        if (!usable_range(ranges[i], p->max_range) ||
            !direction(anchors[i], s->state[0], s->state[1], p->height, &hx,
                       &hy, &r)) {
            status[i] = TRACK_REJECTED;
            ++rejected;
            continue;
        }
        const double *c = s->cov;
        const double spread = hx * hx * c[0] + 2.0 * hx * hy * c[1] +
                              hy * hy * c[5];
        const double innovation = ranges[i] - r;
        const double gate = innovation > 0.0 ? p->gate_long : p->gate_short;
        const double reach = innovation / gate;
        const double gated =
            std::fabs(reach) / std::sqrt(spread + variance);
        double growth = (reach * reach - variance) / spread;
        if (!(growth > 1.0))
            growth = 1.0;
        // insertion sorts, smallest first
        int k = count;
        while (k > 0 && score[k - 1] > gated) {
            score[k] = score[k - 1];
            order[k] = order[k - 1];
            --k;
        }
        score[k] = gated;
        order[k] = i;
        k = count;
        while (k > 0 && needed[k - 1] > growth) {
            needed[k] = needed[k - 1];
            --k;
        }
        needed[k] = growth;
        ++count;
    }

    // When most ranges miss their gates it is the prediction that is off
    // (the tag turned or stopped), not the ranges: a non-line-of-sight
    // range is the exception. So the covariance grows until the median
    // range passes, and if most are still rejected once relinearised, ten
    // times more, and so on, so the update follows the tag instead of
    // rejecting it.
    const track_state_t predicted = *s;
    double growth = count >= 3 ? needed[count / 2] : 1.0;
    int gated_out = 0;
    for (;;) {
        *s = predicted;
        if (growth > max_growth)
            growth = max_growth;
        if (growth > 1.0) {
            for (int j = 0; j < 16; ++j)
                s->cov[j] *= growth;
        }
        used = 0;
        gated_out = fuse_in_order(s, p, anchors, ranges, order, count, status,
                                  &used);
        if (count < 3 || 2 * gated_out <= count || growth >= max_growth)
            break;
        growth = 10.0 * (growth > 1.0 ? growth : 1.0);
    }
    rejected += gated_out;
    s->growth = growth > 1.0 ? growth : 1.0;

    if (!all_finite(s->state, 4) || !all_finite(s->cov, 16)) {
        *s = before;
        s->seeded = 0;
        return -1;
    }
    if (used > 0)
        s->fused_time = s->time;
    if (rejected > used)
        ++s->bad_streak;
    else if (used > 0)
        s->bad_streak = 0;
    return rejected;
}

double track_dop(const track_anchor_t *anchors, int n,
                 const unsigned char *status, double x, double y, double z)
{
    double sxx = 0.0, sxy = 0.0, syy = 0.0;
    for (int i = 0; i < n; ++i) {
        double hx, hy, r;
        if (status[i] != TRACK_USED ||
            !direction(anchors[i], x, y, z, &hx, &hy, &r))
            continue;
        sxx += hx * hx;
        sxy += hx * hy;
        syy += hy * hy;
    }
    double trace;
    if (!inverse_trace_2x2(sxx, sxy, syy, &trace, nullptr))
        return TRACK_DOP_MAX;
    const double dop = std::sqrt(trace);
    return dop < TRACK_DOP_MAX ? dop : TRACK_DOP_MAX;
}

int track_smooth(int count, const double *times, double *states,
                 double *covs, const unsigned char *starts,
                 const double *growths, double accel_noise)
{
    // backwards from the last fix; a fix followed by a seed ends a
    // segment, and its filtered estimate is already its smoothed one
    for (int k = count - 2; k >= 0; --k) {
        if (starts[k + 1])
            continue;
        const double dt = times[k + 1] - times[k];
        if (!(dt >= 0.0))
            return -1;
        double *x = states + 4 * k;
        double *c = covs + 16 * k;
        const double *x_next = states + 4 * (k + 1);
        const double *c_next = covs + 16 * (k + 1);

        // prediction of fix k+1 from fix k
        double f[16], predicted[16], predicted_inverse[16];
        transition(dt, f);
        propagate(c, dt, accel_noise, predicted);
        // the prediction as the filter used it, grown where it let a turn in
        const double growth = growths != nullptr ? growths[k + 1] : 1.0;
        if (!(growth >= 1.0 && growth <= max_growth))
            return -1;
        for (int i = 0; i < 16; ++i)
            predicted[i] *= growth;
        if (!invert_spd(predicted, predicted_inverse))
            return -1;
        const double x_pred[4] = {x[0] + dt * x[2], x[1] + dt * x[3], x[2],
                                  x[3]};

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
    }
    return 0;
}
