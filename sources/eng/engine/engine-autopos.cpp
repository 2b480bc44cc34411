// Anchor positions from the distances the anchors measured to one another:
// classical multidimensional scaling seen from anchor 0, then a turn of the
// plane that puts anchor 1 on the positive x axis.
#include "engine-autopos.h"
#include "engine-math.h"

#include <climits>
#include <cmath>
#include <cstring>

float res[AUTOPOS_MAX_ANCHORS * AUTOPOS_MAX_ANCHORS];

namespace
{

constexpr int max_cells = AUTOPOS_MAX_ANCHORS * AUTOPOS_MAX_ANCHORS;

// Work record of one survey, cleared at entry.
struct autopos_ws_t {
    float B[max_cells];              // Gram matrix, read column-major by eig
    float evec[max_cells];           // eigenvectors, column k for eval[k]
    float eval[AUTOPOS_MAX_ANCHORS]; // eigenvalues, ascending
};

// The share of one eigenvalue in qf: 49 above 100000, otherwise
// lambda / 2000 truncated toward zero. A plain conversion is undefined for
// NaN and below the int range: NaN adds nothing, a share below saturates.
int qf_share(float lambda)
{
    if (lambda > 100000.0f)
        return 49;
    const float share = lambda / 2000.0f;
    if (std::isnan(share))
        return 0;
    if (share <= static_cast<float>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(share); // at most 50 here
}

// a + b clamped to the int range, as qf accumulates without bound.
int add_saturated(int a, int b)
{
    const long long sum = static_cast<long long>(a) + b;
    if (sum > INT_MAX)
        return INT_MAX;
    if (sum < INT_MIN)
        return INT_MIN;
    return static_cast<int>(sum);
}

} // namespace

// Anchor coordinates from the matrix of inter-anchor distances.
//   meas           in  float[n*n], row-major: meas[i*n + j] the distance
//                  from anchor i to anchor j; read are row 0, column 0 and
//                  (through the eigen-solver) the entries with i <= j
//   anchor_cnt     in  n, the number of anchors, 3 to AUTOPOS_MAX_ANCHORS
//   anchor_pos_est out float[3n]: x at [0..n-1], y at [n..2n-1], z at
//                  [2n..3n-1]; anchor 0 at the origin, anchor 1 on the
//                  positive x axis, z from the third dimension unturned
//   qf             in-out the running figure, added to (saturating at the
//                  int limits), never reset
// Returns the rank, the number of eigenvalues above 0.01 (0 to n), with
// anchor_pos_est, qf and res written; a negative eigenvalue among the three
// largest gives NaN coordinates in its dimension. Returns -1 for fewer than
// 3 or more than AUTOPOS_MAX_ANCHORS anchors, or when the eigen-solver fails
// (no convergence, or non-finite distances); then nothing is written.
int engine_autopos_mds(const float *meas, int anchor_cnt,
                       float *anchor_pos_est, int *qf)
{
    const int n = anchor_cnt;
    // below three anchors there is no plane and no third dimension to read
    if (n > AUTOPOS_MAX_ANCHORS || n < AUTOPOS_MIN_ANCHORS)
        return -1;

    autopos_ws_t ws;
    std::memset(&ws, 0, sizeof ws);

    // Gram matrix of the anchors seen from anchor 0
    for (int i = 0; i < n; ++i) {
        const float d_i0 = meas[i * n];
        for (int j = 0; j < n; ++j) {
            const float d_0j = meas[j];
            const float d_ij = meas[i * n + j];
            ws.B[i * n + j] =
                ((d_0j * d_0j + d_i0 * d_i0) - d_ij * d_ij) * 0.5f;
        }
    }

    // eigen-decomposition; a failure leaves every output as it was
    if (eig(ws.B, n, ws.eval, ws.evec) != 0)
        return -1;

    // figures from the eigenvalues, ascending
    int rank = 0;
    int figure = *qf;
    for (int k = 0; k < n; ++k) {
        const float lambda = ws.eval[k];
        figure = add_saturated(figure, qf_share(lambda));
        if (lambda > 0.01f)
            ++rank;
    }
    *qf = figure;

    // scaled coordinates: eigenvector k times the root of its eigenvalue,
    // root and product in double, rounded to float (NaN for a negative one)
    for (int k = 0; k < n; ++k) {
        const double root = std::sqrt(static_cast<double>(ws.eval[k]));
        for (int j = 0; j < n; ++j)
            res[k * n + j] = static_cast<float>(
                static_cast<double>(ws.evec[k * n + j]) * root);
    }

    // anchor 0 to the origin in every dimension; element 0 moves last
    for (int k = 0; k < n; ++k) {
        float *column = res + k * n;
        for (int j = n - 1; j >= 0; --j)
            column[j] = column[j] - column[0];
    }

    // turn the two dominant dimensions so that anchor 1 lies on +x
    const float *u = res + (n - 1) * n; // largest eigenvalue
    const float *v = res + (n - 2) * n; // second largest
    const float *w = res + (n - 3) * n; // third largest
    const float num = u[1];
    const float den = v[1];
    // the angle in double, rounded to float; its sine and cosine in double
    const float angle = static_cast<float>(
        std::atan2(static_cast<double>(num), static_cast<double>(den)));
    const bool quad23 =
        (num > 0.0f && den < 0.0f) || (num < 0.0f && den > 0.0f);
    const double s = std::sin(static_cast<double>(angle));
    const double c = std::cos(static_cast<double>(angle));
    for (int j = 0; j < n; ++j) {
        const double uj = u[j];
        const double vj = v[j];
        double x;
        double y;
        if (!quad23) {
            x = uj * s + vj * c;
            y = uj * c - vj * s;
        } else {
            x = vj * c + uj * s;
            y = vj * s - uj * c;
        }
        anchor_pos_est[j] = static_cast<float>(x);
        anchor_pos_est[n + j] = static_cast<float>(y);
        anchor_pos_est[2 * n + j] = w[j];
    }
    return rank;
}

// Surveys a fixed four-anchor example and prints its x and y blocks as a
// 4x2 matrix (row i anchor i) under the title "RESULTAAT [x,y]".
void engine_autopos_test(void)
{
    const float meas[16] = {
        0.0f,   740.0f, 714.0f, 132.0f, //
        750.0f, 0.0f,   176.0f, 686.0f, //
        716.0f, 175.0f, 0.0f,   754.0f, //
        134.0f, 764.0f, 753.0f, 0.0f,
    };
    float anchor_pos_est[16] = {};
    int qf = 0;
    engine_autopos_mds(meas, 4, anchor_pos_est, &qf);
    print_mat(anchor_pos_est, 4, 2, "RESULTAAT [x,y]");
}
