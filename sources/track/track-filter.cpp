// The per-tag range filter and the range model its tags share. State order
// x, y, vx, vy, tag offset; W row-major 5x5; L row stride TRACK_MAX_ANCHORS;
// the model's B row stride its anchor count.
#include "track-filter.h"

#include <cmath>
#include <cstring>

namespace
{

constexpr int N = TRACK_STATES;
constexpr int STRIDE = TRACK_MAX_ANCHORS;
// Weak prior of a seed's position (variance, m^2): keeps the covariance
// defined when the seeding ranges fix only one direction.
constexpr double seed_prior_variance = 1e4;
// The noise estimate: the share of residuals beyond 0.6745 sd is one half
// for normal noise. The estimate moves by this factor (in its logarithm) per
// residual, faster while it has seen few.
constexpr double noise_rate_start = 0.01;
constexpr double noise_rate = 0.003;
constexpr long long noise_fast_samples = 1000;
constexpr double normal_quartile = 0.6745;
// Residuals beyond this many gate widths of the current sd are outliers
// and leave the noise estimate alone.
constexpr double noise_cut_gates = 2.0;
// Residuals need this much of their own variance left by the message's fit.
constexpr double min_residual_share = 0.05;
// The normal quantile of the chi-square test of a message's own fit
// (0.999).
constexpr double chi_square_z = 3.09;
constexpr int fit_iterations = 10;
// The 0.999 quantile of chi-square with 2 degrees of freedom: a message's
// fix this far from the prediction (in its sd) is not the predicted tag.
constexpr double far_bound = 13.8;
// The fewest ranges of a message whose fix, one range left out, restarts
// the track: three degrees of freedom left for its test.
constexpr int min_restart_ranges = 6;
// A prediction whose position variance is beyond this many range
// variances is weak: each message is then checked against its own fit.
constexpr double weak_share = 4.0;

bool all_finite(const double *values, int count)
{
    for (int i = 0; i < count; ++i) {
        if (!std::isfinite(values[i]))
            return false;
    }
    return true;
}

bool in_range(double value, double low, double high)
{
    return value >= low && value <= high; // false for NaN
}

void symmetrise(double *m, int n)
{
    for (int i = 0; i < n; ++i) {
        for (int j = i + 1; j < n; ++j) {
            const double mean = 0.5 * (m[i * n + j] + m[j * n + i]);
            m[i * n + j] = mean;
            m[j * n + i] = mean;
        }
    }
}

// The 0.999 quantile of chi-square with `dof` degrees of freedom
// (Wilson-Hilferty).
double chi_square_bound(int dof)
{
    const double k = dof > 1 ? dof : 1;
    const double c = 2.0 / (9.0 * k);
    const double root = 1.0 - c + chi_square_z * std::sqrt(c);
    return k * root * root * root;
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
bool inverse_trace_2x2(double sxx, double sxy, double syy, double *trace)
{
    const double det = sxx * syy - sxy * sxy;
    // relative to the scale of the matrix, so collinear anchors count as
    // singular whatever their number
    if (!(det > 1e-12 * (sxx + syy) * (sxx + syy)))
        return false;
    *trace = (sxx + syy) / det;
    return true;
}

// Solves the symmetric 3x3 system a x = b by Cholesky; false when a is not
// positive definite.
bool solve_3x3(const double *a, const double *b, double *x)
{
    double l[9] = {0};
    for (int j = 0; j < 3; ++j) {
        double d = a[j * 3 + j];
        for (int k = 0; k < j; ++k)
            d -= l[j * 3 + k] * l[j * 3 + k];
        if (!(d > 1e-12 * (a[0] + a[4] + a[8])))
            return false;
        l[j * 3 + j] = std::sqrt(d);
        for (int i = j + 1; i < 3; ++i) {
            double s = a[i * 3 + j];
            for (int k = 0; k < j; ++k)
                s -= l[i * 3 + k] * l[j * 3 + k];
            l[i * 3 + j] = s / l[j * 3 + j];
        }
    }
    double y[3];
    for (int i = 0; i < 3; ++i) {
        double s = b[i];
        for (int k = 0; k < i; ++k)
            s -= l[i * 3 + k] * y[k];
        y[i] = s / l[i * 3 + i];
    }
    for (int i = 2; i >= 0; --i) {
        double s = y[i];
        for (int k = i + 1; k < 3; ++k)
            s -= l[k * 3 + i] * x[k];
        x[i] = s / l[i * 3 + i];
    }
    return true;
}

// Whether a position (dx, dy) from the state's, fitted to ranges of
// information (sxx, sxy, syy) per sigma^2, lies beyond the prediction's
// reach: their Mahalanobis distance, with the covariances of both, past
// the 0.999 quantile of chi-square with 2 degrees of freedom.
bool beyond_reach(const track_state_t *s, const track_model_t *m, double dx,
                  double dy, double sxx, double sxy, double syy)
{
    double cov[N * N];
    track_position_marginal(s, m, cov);
    const double variance = m->sigma * m->sigma;
    const double det_fit = sxx * syy - sxy * sxy;
    const double a = cov[0] + variance * syy / det_fit;
    const double b = cov[1] - variance * sxy / det_fit;
    const double d = cov[N + 1] + variance * sxx / det_fit;
    const double det = a * d - b * b;
    if (!(det > 0.0))
        return true;
    const double distance =
        (d * dx * dx - 2.0 * b * dx * dy + a * dy * dy) / det;
    return distance > far_bound;
}

// One range as the filter sees it at the current state: its innovation (the
// range less the predicted distance and both offsets) and the planar unit
// direction of the predicted distance.
struct Innovation {
    double value, hx, hy;
};

bool innovation(const track_state_t *s, const track_params_t *p,
                const track_model_t *m, const track_anchor_t *anchors,
                const double *ranges, int i, Innovation *out)
{
    double r;
    if (!direction(anchors[i], s->state[0], s->state[1], p->height, &out->hx,
                   &out->hy, &r))
        return false;
    out->value = ranges[i] - r - s->state[4] - m->offset[i];
    return true;
}

// The same with the distance linearised at (x, y) instead of the state:
// r(x, y) + h . (position - (x, y)), h at (x, y).
bool innovation_at(const track_state_t *s, const track_params_t *p,
                   const track_model_t *m, const track_anchor_t *anchors,
                   const double *ranges, int i, double x, double y,
                   Innovation *out)
{
    double r;
    if (!direction(anchors[i], x, y, p->height, &out->hx, &out->hy, &r))
        return false;
    const double linear =
        r + out->hx * (s->state[0] - x) + out->hy * (s->state[1] - y);
    out->value = ranges[i] - linear - s->state[4] - m->offset[i];
    return true;
}

// Whether the innovations at the prediction, taken together, put the tag
// beyond the prediction's reach: the least-squares shift of the position
// they ask for, against the covariance of the prediction and of the
// shift, past the 0.999 quantile of chi-square with 2 degrees of freedom.
// Each range can pass its gate while the message as a whole does not.
bool shifted(const track_state_t *s, const track_model_t *m,
             const Innovation *innovations, int count)
{
    double sxx = 0.0, sxy = 0.0, syy = 0.0, gx = 0.0, gy = 0.0;
    for (int k = 0; k < count; ++k) {
        const Innovation &v = innovations[k];
        sxx += v.hx * v.hx;
        sxy += v.hx * v.hy;
        syy += v.hy * v.hy;
        gx += v.hx * v.value;
        gy += v.hy * v.value;
    }
    const double det = sxx * syy - sxy * sxy;
    if (count < 3 || !(det > 1e-9 * (sxx + syy) * (sxx + syy)))
        return false;
    const double dx = (syy * gx - sxy * gy) / det;
    const double dy = (sxx * gy - sxy * gx) / det;
    return beyond_reach(s, m, dx, dy, sxx, sxy, syy);
}

// The variance of an innovation along h (x, y, 0, 0, 1) of anchor i:
// g^T B g + h^T W h + sigma^2, with g = L^T h + e_i. Fills g (double[count])
// and D = W h.
double innovation_variance(const track_state_t *s, const track_model_t *m,
                           int i, const double *h, double *g, double *d,
                           double *own)
{
    const int n = m->count;
    for (int a = 0; a < n; ++a) {
        double sum = a == i ? 1.0 : 0.0;
        for (int j = 0; m->learns_offsets && j < N; ++j)
            sum += s->coupling[j * STRIDE + a] * h[j];
        g[a] = sum;
    }
    double hwh = 0.0;
    for (int j = 0; j < N; ++j) {
        double sum = 0.0;
        for (int k = 0; k < N; ++k)
            sum += s->cov[j * N + k] * h[k];
        d[j] = sum;
        hwh += h[j] * sum;
    }
    double gbg = 0.0;
    for (int a = 0; m->learns_offsets && a < n; ++a) {
        const double *row = m->cov + a * n;
        double sum = 0.0;
        for (int k = 0; k < n; ++k)
            sum += row[k] * g[k];
        gbg += g[a] * sum;
    }
    *own = hwh + m->sigma * m->sigma;
    return gbg + *own;
}

// One scalar update of `s` and `m` by innovation `nu` of anchor i, whose
// g, D and variances innovation_variance gave.
void scalar_update(track_state_t *s, track_model_t *m, double nu,
                   const double *g, const double *d, double variance,
                   double own)
{
    const int n = m->count;
    const double a = nu / variance;
    if (!m->learns_offsets) {
        for (int j = 0; j < N; ++j)
            s->state[j] += d[j] * a;
        for (int j = 0; j < N; ++j) {
            for (int k = 0; k < N; ++k)
                s->cov[j * N + k] -= d[j] * d[k] / own;
        }
        symmetrise(s->cov, N);
        return;
    }
    // the model's share: b += B g a, B -= (B g)(B g)^T / S
    double e[TRACK_MAX_ANCHORS];
    for (int i = 0; i < n; ++i) {
        const double *row = m->cov + i * n;
        double sum = 0.0;
        for (int k = 0; k < n; ++k)
            sum += row[k] * g[k];
        e[i] = sum;
    }
    // the state, with the coupling before its update: x += L (B g a) + D a
    for (int j = 0; j < N; ++j) {
        double sum = 0.0;
        for (int k = 0; k < n; ++k)
            sum += s->coupling[j * STRIDE + k] * e[k];
        s->state[j] += sum * a + d[j] * a;
    }
    for (int i = 0; i < n; ++i) {
        if (e[i] == 0.0)
            continue;
        m->offset[i] += e[i] * a;
        double *row = m->cov + i * n;
        for (int k = 0; k < n; ++k)
            row[k] -= e[i] * e[k] / variance;
    }
    symmetrise(m->cov, n);
    std::memcpy(s->offset_seen, m->offset,
                static_cast<size_t>(n) * sizeof(double));
    // the tag's own part given the model: L -= D g^T / k, W -= D D^T / k
    for (int j = 0; j < N; ++j) {
        if (d[j] == 0.0)
            continue;
        for (int k = 0; k < n; ++k)
            s->coupling[j * STRIDE + k] -= d[j] * g[k] / own;
        for (int k = 0; k < N; ++k)
            s->cov[j * N + k] -= d[j] * d[k] / own;
    }
    symmetrise(s->cov, N);
}

// The noise estimate from one message: the residuals of the innovations at
// the prediction against their own least-squares fit of a position shift
// and a common offset. They hold the ranges' noise (and what is left of
// the offsets' errors) but none of the state's error, so a state that
// follows the ranges too closely or too loosely does not bias them.
void refine_noise(track_model_t *m, const Innovation *innovations, int count,
                  double gate)
{
    if (count < 5)
        return;
    double normal[9] = {0}, rhs[3] = {0};
    for (int k = 0; k < count; ++k) {
        const double row[3] = {innovations[k].hx, innovations[k].hy, 1.0};
        for (int i = 0; i < 3; ++i) {
            rhs[i] += row[i] * innovations[k].value;
            for (int j = 0; j < 3; ++j)
                normal[i * 3 + j] += row[i] * row[j];
        }
    }
    double fit[3];
    if (!solve_3x3(normal, rhs, fit))
        return;
    const double cut = noise_cut_gates * gate * m->sigma;
    for (int k = 0; k < count; ++k) {
        const double row[3] = {innovations[k].hx, innovations[k].hy, 1.0};
        double leverage_column[3];
        if (!solve_3x3(normal, row, leverage_column))
            return;
        const double leverage = row[0] * leverage_column[0] +
                                row[1] * leverage_column[1] +
                                row[2] * leverage_column[2];
        const double share = 1.0 - leverage;
        if (!(share > min_residual_share))
            continue;
        const double residual = (innovations[k].value - row[0] * fit[0] -
                                 row[1] * fit[1] - row[2] * fit[2]) /
                                std::sqrt(share);
        if (!(std::fabs(residual) < cut))
            continue;
        const double rate = m->noise_samples < noise_fast_samples
                                ? noise_rate_start
                                : noise_rate;
        const double step =
            std::fabs(residual) > normal_quartile * m->sigma ? 0.5 : -0.5;
        double sigma = m->sigma * std::exp(rate * step);
        if (sigma < TRACK_SIGMA_MIN)
            sigma = TRACK_SIGMA_MIN;
        if (sigma > TRACK_SIGMA_MAX)
            sigma = TRACK_SIGMA_MAX;
        m->sigma = sigma;
        ++m->noise_samples;
    }
}

// Starts the position of `s` at (x, y) from the ranges marked TRACK_USED in
// `status`: the covariance of their least-squares fit, and its dependence
// on the offsets' errors. The tag's offset keeps its estimate where it has
// one.
void start_at(track_state_t *s, const track_params_t *p,
              const track_model_t *m, const track_anchor_t *anchors,
              const unsigned char *status, double x, double y, double time)
{
    const int n = m->count;
    const double weight = 1.0 / (m->sigma * m->sigma);

    // information of the used ranges, with the weak prior
    double sxx = 1.0 / seed_prior_variance, sxy = 0.0,
           syy = 1.0 / seed_prior_variance, sum_x = 0.0, sum_y = 0.0;
    double hx[TRACK_MAX_ANCHORS] = {0}, hy[TRACK_MAX_ANCHORS] = {0};
    for (int i = 0; i < n; ++i) {
        double r;
        if (status[i] != TRACK_USED ||
            !direction(anchors[i], x, y, p->height, &hx[i], &hy[i], &r)) {
            hx[i] = hy[i] = 0.0;
            continue;
        }
        sxx += weight * hx[i] * hx[i];
        sxy += weight * hx[i] * hy[i];
        syy += weight * hy[i] * hy[i];
        sum_x += weight * hx[i];
        sum_y += weight * hy[i];
    }
    const double det = sxx * syy - sxy * sxy; // > 0: the prior alone is
    const double inv[4] = {syy / det, -sxy / det, -sxy / det, sxx / det};

    // the tag's offset: its estimate so far, or the parameters' start
    double offset, offset_var, offset_coupling[TRACK_MAX_ANCHORS];
    if (s->has_offset) {
        offset = s->state[4];
        offset_var = s->cov[4 * N + 4];
        for (int a = 0; a < n; ++a)
            offset_coupling[a] = s->coupling[4 * STRIDE + a];
    } else {
        offset = p->offset;
        offset_var = p->offset_sd * p->offset_sd;
        for (int a = 0; a < n; ++a)
            offset_coupling[a] = 0.0;
    }

    // e_p = -M^-1 sum(h_i (e_b,i + e_c + v_i)) / sigma^2
    const double kc[2] = {-(inv[0] * sum_x + inv[1] * sum_y),
                          -(inv[2] * sum_x + inv[3] * sum_y)};
    std::memset(s->cov, 0, sizeof s->cov);
    std::memset(s->coupling, 0, sizeof s->coupling);
    for (int r = 0; r < 2; ++r) {
        for (int a = 0; a < n; ++a) {
            const double own =
                -(inv[r * 2 + 0] * hx[a] + inv[r * 2 + 1] * hy[a]) * weight;
            s->coupling[r * STRIDE + a] =
                m->learns_offsets ? own + kc[r] * offset_coupling[a] : 0.0;
        }
        for (int c = 0; c < 2; ++c)
            s->cov[r * N + c] = inv[r * 2 + c] + kc[r] * kc[c] * offset_var;
        s->cov[r * N + 4] = kc[r] * offset_var;
        s->cov[4 * N + r] = kc[r] * offset_var;
    }
    for (int a = 0; a < n; ++a)
        s->coupling[4 * STRIDE + a] = offset_coupling[a];
    s->cov[2 * N + 2] = p->speed_sd * p->speed_sd;
    s->cov[3 * N + 3] = p->speed_sd * p->speed_sd;
    s->cov[4 * N + 4] = offset_var;
    s->state[0] = x;
    s->state[1] = y;
    s->state[2] = 0.0;
    s->state[3] = 0.0;
    s->state[4] = offset;
    std::memcpy(s->offset_seen, m->offset,
                static_cast<size_t>(n) * sizeof(double));
    s->time = time;
    s->fused_time = time;
    s->growth = 1.0;
    s->seeded = 1;
    s->bad_streak = 0;
    s->restarted = 0;
    s->has_offset = 1;
}

// The message's own fit: the position that its usable ranges (less both
// offsets) fit best, from the state's position.
struct Fit {
    double x, y;          // the position
    double sxx, sxy, syy; // the information of the ranges there, per sigma^2
    int worst;            // index into the ranges of the largest residual
    double chi_square;    // the residuals' sum of squares per variance
};

// Fits the ranges order[0..count) but `skip` (or -1) into `fit`. Returns
// whether they agree: a position exists and their residuals pass a
// chi-square test of the model's noise.
bool fit_message(const track_state_t *s, const track_params_t *p,
                 const track_model_t *m, const track_anchor_t *anchors,
                 const double *ranges, const int *order, int count, int skip,
                 Fit *fit)
{
    double px = s->state[0], py = s->state[1];
    const int used = skip >= 0 ? count - 1 : count;
    fit->worst = -1;
    fit->chi_square = HUGE_VAL; // no position
    if (used < 3)
        return false;
    double sxx = 0.0, sxy = 0.0, syy = 0.0;
    for (int iteration = 0; iteration < fit_iterations; ++iteration) {
        double gx = 0.0, gy = 0.0;
        sxx = sxy = syy = 0.0;
        for (int k = 0; k < count; ++k) {
            const int i = order[k];
            double hx, hy, r;
            if (k == skip ||
                !direction(anchors[i], px, py, p->height, &hx, &hy, &r))
                continue;
            const double residual = ranges[i] - m->offset[i] - s->state[4] - r;
            sxx += hx * hx;
            sxy += hx * hy;
            syy += hy * hy;
            gx += hx * residual;
            gy += hy * residual;
        }
        const double det = sxx * syy - sxy * sxy;
        if (!(det > 1e-9 * (sxx + syy) * (sxx + syy)))
            return false;
        const double dx = (syy * gx - sxy * gy) / det;
        const double dy = (sxx * gy - sxy * gx) / det;
        px += dx;
        py += dy;
        if (!(std::fabs(px) <= TRACK_COORDINATE_MAX &&
              std::fabs(py) <= TRACK_COORDINATE_MAX))
            return false;
        if (dx * dx + dy * dy < 1e-12)
            break;
    }
    // the residuals against the noise and the offsets' uncertainty
    double chi_square = 0.0, largest = -1.0;
    for (int k = 0; k < count; ++k) {
        const int i = order[k];
        double hx, hy, r;
        if (k == skip ||
            !direction(anchors[i], px, py, p->height, &hx, &hy, &r))
            continue;
        const double residual = ranges[i] - m->offset[i] - s->state[4] - r;
        const double variance =
            m->sigma * m->sigma + m->cov[i * m->count + i] + s->cov[4 * N + 4];
        const double scaled = residual * residual / variance;
        chi_square += scaled;
        if (scaled > largest) {
            largest = scaled;
            fit->worst = k;
        }
    }
    fit->x = px;
    fit->y = py;
    fit->sxx = sxx;
    fit->sxy = sxy;
    fit->syy = syy;
    fit->chi_square = chi_square;
    return chi_square <= chi_square_bound(used - 2);
}

// The fit of all ranges but the one whose leaving out agrees best. Not
// simply the full fit's largest residual: two long ranges of one message
// pull that fit towards them, and its largest residual is then a good one.
bool fit_leaving_one_out(const track_state_t *s, const track_params_t *p,
                         const track_model_t *m, const track_anchor_t *anchors,
                         const double *ranges, const int *order, int count,
                         int *skip, Fit *fit)
{
    fit->chi_square = HUGE_VAL;
    *skip = -1;
    for (int k = 0; k < count; ++k) {
        Fit trial;
        fit_message(s, p, m, anchors, ranges, order, count, k, &trial);
        if (trial.chi_square < fit->chi_square) {
            *fit = trial;
            *skip = k;
        }
    }
    if (*skip < 0)
        return false;
    return fit->chi_square <= chi_square_bound(count - 3);
}

// Whether the prediction knows the position less well than a range does:
// then its gates are wide, and long ranges pass them that the message's
// own fit shows up (slow updates).
bool weak_prediction(const track_state_t *s, const track_model_t *m)
{
    double cov[N * N];
    track_position_marginal(s, m, cov);
    return cov[0] + cov[N + 1] > weak_share * m->sigma * m->sigma;
}

// Whether the message's fix lies beyond the prediction's reach.
bool far_from_prediction(const track_state_t *s, const track_model_t *m,
                         const Fit &fit)
{
    return beyond_reach(s, m, fit.x - s->state[0], fit.y - s->state[1],
                        fit.sxx, fit.sxy, fit.syy);
}

} // namespace

int track_model_init(track_model_t *m, int count, const double *offsets,
                     const double *offset_sd, double sigma, int estimate_noise)
{
    if (count < 1 || count > TRACK_MAX_ANCHORS ||
        !in_range(sigma, TRACK_SIGMA_MIN, TRACK_SIGMA_MAX))
        return -1;
    for (int i = 0; i < count; ++i) {
        if ((offsets != nullptr &&
             !in_range(offsets[i], -TRACK_OFFSET_MAX, TRACK_OFFSET_MAX)) ||
            (offset_sd != nullptr &&
             !in_range(offset_sd[i], 0.0, TRACK_OFFSET_SD_MAX)))
            return -1;
    }
    std::memset(m, 0, sizeof *m);
    m->count = count;
    m->estimate_noise = estimate_noise ? 1 : 0;
    m->sigma = sigma;
    for (int i = 0; i < count; ++i) {
        m->offset[i] = offsets != nullptr ? offsets[i] : 0.0;
        const double sd = offset_sd != nullptr ? offset_sd[i] : 0.0;
        m->cov[i * count + i] = sd * sd;
        if (sd * sd > 0.0)
            m->learns_offsets = 1;
    }
    return 0;
}

int track_needs_seed(const track_state_t *s, const track_params_t *p,
                     double time)
{
    if (!s->seeded)
        return 1;
    if (time - s->fused_time > p->max_gap)
        return 1;
    return s->bad_streak >= p->max_bad ? 1 : 0;
}

void track_catch_up(track_state_t *s, const track_model_t *m)
{
    const int n = m->count;
    double change[TRACK_MAX_ANCHORS];
    bool moved = false;
    for (int a = 0; a < n; ++a) {
        change[a] = m->offset[a] - s->offset_seen[a];
        moved = moved || change[a] != 0.0;
    }
    if (!moved)
        return;
    for (int j = 0; j < N; ++j) {
        double sum = 0.0;
        for (int a = 0; a < n; ++a)
            sum += s->coupling[j * STRIDE + a] * change[a];
        s->state[j] += sum;
    }
    std::memcpy(s->offset_seen, m->offset,
                static_cast<size_t>(n) * sizeof(double));
}

int track_seed(track_state_t *s, const track_params_t *p,
               const track_model_t *m, const track_anchor_t *anchors,
               const double *ranges, unsigned char *status, double x, double y,
               double time)
{
    if (!(std::fabs(x) <= TRACK_COORDINATE_MAX &&
          std::fabs(y) <= TRACK_COORDINATE_MAX) ||
        !in_range(time, 0.0, TRACK_TIME_MAX) || m->count < 1 ||
        m->count > TRACK_MAX_ANCHORS)
        return -1;
    if (s->has_offset)
        track_catch_up(s, m);
    for (int i = 0; i < m->count; ++i)
        status[i] =
            usable_range(ranges[i], p->max_range) ? TRACK_USED : TRACK_NONE;
    const track_state_t before = *s;
    start_at(s, p, m, anchors, status, x, y, time);
    if (!all_finite(s->state, N) || !all_finite(s->cov, N * N)) {
        *s = before;
        return -1;
    }
    return 0;
}

int track_predict(track_state_t *s, const track_params_t *p, double time)
{
    if (!in_range(time, s->time, TRACK_TIME_MAX))
        return -1;
    const double dt = time - s->time;
    if (dt == 0.0)
        return 0;
    // F = I with dt at (0, 2) and (1, 3); W = F W F^T + Q; L = F L
    double *w = s->cov;
    for (int k = 0; k < N; ++k) {
        w[0 * N + k] += dt * w[2 * N + k];
        w[1 * N + k] += dt * w[3 * N + k];
    }
    for (int k = 0; k < N; ++k) {
        w[k * N + 0] += dt * w[k * N + 2];
        w[k * N + 1] += dt * w[k * N + 3];
    }
    const double q = p->accel_noise, dt2 = dt * dt;
    const double qa = q * dt2 * dt / 3.0, qb = q * dt2 / 2.0, qc = q * dt;
    w[0 * N + 0] += qa;
    w[1 * N + 1] += qa;
    w[0 * N + 2] += qb;
    w[2 * N + 0] += qb;
    w[1 * N + 3] += qb;
    w[3 * N + 1] += qb;
    w[2 * N + 2] += qc;
    w[3 * N + 3] += qc;
    symmetrise(w, N);
    for (int a = 0; a < STRIDE; ++a) {
        s->coupling[0 * STRIDE + a] += dt * s->coupling[2 * STRIDE + a];
        s->coupling[1 * STRIDE + a] += dt * s->coupling[3 * STRIDE + a];
    }
    s->state[0] += dt * s->state[2];
    s->state[1] += dt * s->state[3];
    s->time = time;
    return 0;
}

int track_fuse(track_state_t *s, const track_params_t *p, track_model_t *m,
               const track_anchor_t *anchors, const double *ranges,
               unsigned char *status)
{
    const int n = m->count;
    if (n < 1 || n > TRACK_MAX_ANCHORS) {
        s->seeded = 0;
        return -1;
    }
    track_catch_up(s, m);
    const track_state_t before = *s;
    const track_model_t model_before = *m;
    int order[TRACK_MAX_ANCHORS];
    double score[TRACK_MAX_ANCHORS];
    Innovation passing[TRACK_MAX_ANCHORS], predicted[TRACK_MAX_ANCHORS];
    int count = 0, passing_count = 0, rejected = 0, used = 0;
    s->restarted = 0;
    s->growth = 1.0;

    // order the ranges by gated innovation at the prediction
    for (int i = 0; i < n; ++i) {
        status[i] = TRACK_NONE;
        if (ranges[i] == 0.0)
            continue;
        Innovation v;
        if (!usable_range(ranges[i], p->max_range) ||
            !innovation(s, p, m, anchors, ranges, i, &v)) {
            status[i] = TRACK_REJECTED;
            ++rejected;
            continue;
        }
        const double h[N] = {v.hx, v.hy, 0.0, 0.0, 1.0};
        double g[TRACK_MAX_ANCHORS], d[N], own;
        const double variance = innovation_variance(s, m, i, h, g, d, &own);
        const double gate = v.value > 0.0 ? p->gate_long : p->gate_short;
        const double gated = std::fabs(v.value) / (gate * std::sqrt(variance));
        if (gated <= 1.0)
            passing[passing_count++] = v;
        predicted[count] = v;
        int k = count;
        while (k > 0 && score[k - 1] > gated) {
            score[k] = score[k - 1];
            order[k] = order[k - 1];
            --k;
        }
        score[k] = gated;
        order[k] = i;
        ++count;
    }

    // Ranges beyond their gates, or all of them asking for a shift beyond
    // the prediction's reach: outliers, or the tag left its prediction (it
    // turned back, or stopped), or the message is wrong. The message's own
    // fit tells which.
    bool normal = true, agreed = false;
    int skip = -1;
    Fit fit;
    const bool missed = passing_count < count;
    const bool shift = count >= 3 && shifted(s, m, predicted, count);
    if (count >= 3 && (missed || shift || weak_prediction(s, m))) {
        bool agrees =
            fit_message(s, p, m, anchors, ranges, order, count, -1, &fit);
        if (!agrees && count >= 5 && fit.worst >= 0)
            agrees = fit_leaving_one_out(s, p, m, anchors, ranges, order,
                                         count, &skip, &fit);
        // a fix without one of its ranges restarts the track only from
        // enough others to tell a wrong fix from a right one
        const bool restartable = skip < 0 || count >= min_restart_ranges;
        if (agrees && missed && restartable &&
            far_from_prediction(s, m, fit)) {
            for (int k = 0; k < count; ++k)
                status[order[k]] = k != skip ? TRACK_USED : TRACK_REJECTED;
            start_at(s, p, m, anchors, status, fit.x, fit.y, s->time);
            s->restarted = 1;
            // the smoother's largest growth: it all but cuts the track here
            s->growth = TRACK_MAX_GROWTH;
            used = count - (skip >= 0 ? 1 : 0);
            rejected += skip >= 0 ? 1 : 0;
            normal = false;
        } else if (!agrees && 2 * passing_count < count) {
            for (int k = 0; k < count; ++k)
                status[order[k]] = TRACK_REJECTED;
            rejected += count;
            normal = false;
        }
        // every range passed its gate but together they ask for a shift
        // beyond reach: linearised at their own fix, not at a prediction
        // that far off (ranges that missed their gates within reach are
        // outliers, and gated as usual)
        agreed = agrees && normal && !missed && shift;
        if (!agrees)
            skip = -1;
    }
    if (normal) {
        if (m->estimate_noise)
            refine_noise(m, passing, passing_count, p->gate_long);
        // one scalar update per range, each gated against its predicted
        // variance at the state the ranges before it left
        for (int k = 0; k < count; ++k) {
            const int i = order[k];
            Innovation v;
            const bool found =
                agreed ? innovation_at(s, p, m, anchors, ranges, i, fit.x,
                                       fit.y, &v)
                       : innovation(s, p, m, anchors, ranges, i, &v);
            if (!found) {
                status[i] = TRACK_REJECTED;
                ++rejected;
                continue;
            }
            const double h[N] = {v.hx, v.hy, 0.0, 0.0, 1.0};
            double g[TRACK_MAX_ANCHORS], d[N], own;
            const double variance =
                innovation_variance(s, m, i, h, g, d, &own);
            const double bound = std::sqrt(variance);
            // the range the message's own fit left out to agree is out
            const bool gated_out =
                k == skip || (!agreed && (v.value > p->gate_long * bound ||
                                          v.value < -p->gate_short * bound));
            if (gated_out) {
                status[i] = TRACK_REJECTED;
                ++rejected;
                continue;
            }
            scalar_update(s, m, v.value, g, d, variance, own);
            status[i] = TRACK_USED;
            ++used;
        }
    }

    if (!all_finite(s->state, N) || !all_finite(s->cov, N * N) ||
        !all_finite(s->coupling, N * STRIDE) || !all_finite(m->offset, n) ||
        !all_finite(m->cov, n * n) || !std::isfinite(m->sigma)) {
        *s = before;
        *m = model_before;
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

void track_position_marginal(const track_state_t *s, const track_model_t *m,
                             double *out)
{
    const int n = m->count;
    out[0] = s->cov[0];
    out[1] = s->cov[1];
    out[N] = s->cov[N];
    out[N + 1] = s->cov[N + 1];
    if (!m->learns_offsets)
        return; // B is 0
    // the x and y rows of L B L^T
    double lb[2][TRACK_MAX_ANCHORS];
    for (int j = 0; j < 2; ++j) {
        for (int a = 0; a < n; ++a) {
            double sum = 0.0;
            for (int k = 0; k < n; ++k)
                sum += s->coupling[j * STRIDE + k] * m->cov[k * n + a];
            lb[j][a] = sum;
        }
    }
    double xx = 0.0, xy = 0.0, yy = 0.0;
    for (int a = 0; a < n; ++a) {
        xx += lb[0][a] * s->coupling[0 * STRIDE + a];
        xy += lb[0][a] * s->coupling[1 * STRIDE + a];
        yy += lb[1][a] * s->coupling[1 * STRIDE + a];
    }
    out[0] += xx;
    out[1] += xy;
    out[N] += xy;
    out[N + 1] += yy;
}

void track_marginal(const track_state_t *s, const track_model_t *m,
                    double *out)
{
    const int n = m->count;
    std::memcpy(out, s->cov, sizeof s->cov);
    if (!m->learns_offsets)
        return; // B is 0
    // L B L^T, row by row
    for (int j = 0; j < N; ++j) {
        double lb[TRACK_MAX_ANCHORS];
        for (int a = 0; a < n; ++a) {
            double sum = 0.0;
            for (int k = 0; k < n; ++k)
                sum += s->coupling[j * STRIDE + k] * m->cov[k * n + a];
            lb[a] = sum;
        }
        for (int i = 0; i < N; ++i) {
            double sum = 0.0;
            for (int a = 0; a < n; ++a)
                sum += lb[a] * s->coupling[i * STRIDE + a];
            out[j * N + i] += sum;
        }
    }
    symmetrise(out, N);
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
    if (!inverse_trace_2x2(sxx, sxy, syy, &trace))
        return TRACK_DOP_MAX;
    const double dop = std::sqrt(trace);
    return dop < TRACK_DOP_MAX ? dop : TRACK_DOP_MAX;
}
