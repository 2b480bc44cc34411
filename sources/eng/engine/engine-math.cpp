// Symmetric eigen-decomposition in 32-bit floats (Householder reduction to
// tridiagonal form, then implicit-shift QL iteration, after EISPACK tred2 and
// tql2 with 0-based indices), and the small numeric helpers and diagnostic
// printers of the anchor survey.
#include "engine-math.h"

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <limits>

namespace
{

// Element (r, c) of a column-major matrix of order n.
inline std::ptrdiff_t cm(int n, int r, int c)
{
    return static_cast<std::ptrdiff_t>(c) * n + r;
}

// The QL step gives up on an eigenvalue after this many iterations.
constexpr int ql_iteration_limit = 30;

// The body that get_dist, get_dist2 and get_dist3 share.
inline float distance_of(float x0, float y0, float z0, float x1, float y1,
                         float z1)
{
    const float dx = x0 - x1;
    const float dy = y0 - y1;
    const float dz = z0 - z1;
    return std::sqrt((dx * dx + dy * dy) + dz * dz);
}

} // namespace

// Overflow-safe sqrt(a^2 + b^2) by the cubically convergent iteration of
// EISPACK pythag, in single precision.
//   a, b in any floats
// Returns the hypotenuse. An infinite argument gives +inf and otherwise a
// NaN argument gives NaN, as the C library's hypot answers.
float pythag(float a, float b)
{
    // not in the published routine: non-finite arguments are answered up
    // front, since the iteration below never ends on a NaN
    if (std::isinf(a) || std::isinf(b))
        return HUGE_VALF;
    if (std::isnan(a) || std::isnan(b))
        return std::numeric_limits<float>::quiet_NaN();

    const float abs_a = std::fabs(a);
    const float abs_b = std::fabs(b);
    float p = abs_a >= abs_b ? abs_a : abs_b;
    if (p == 0.0f)
        return p;
    const float ratio = (abs_a >= abs_b ? abs_b : abs_a) / p;
    float r = ratio * ratio;
    for (;;) {
        const float t = 4.0f + r;
        if (t == 4.0f)
            return p;
        const float s = r / t;
        // 1 + 2s formed in double, rounded back to float
        const float u = static_cast<float>(1.0 + 2.0 * static_cast<double>(s));
        p = u * p;
        const float q = s / u;
        r = q * q * r;
    }
}

// Householder reduction of a symmetric matrix to tridiagonal form, with the
// orthogonal transformation accumulated (EISPACK tred2, 0-based).
//   a in  float[n*n], column-major; only the lower triangle (row >= column)
//        is read
//   n in  order of the matrix; n <= 0 writes nothing
//   d out float[n]: the diagonal of the tridiagonal matrix
//   e out float[n]: e[i] (i >= 1) the subdiagonal element between rows i and
//        i - 1; e[0] = 0
//   z out float[n*n], column-major: Q with a = Q T Q^T; written before read,
//        so its entry contents do not matter
void trans_sym_to_trid(const float *a, int n, float *d, float *e, float *z)
{
    if (n <= 0)
        return;

    // copy the lower triangle; d takes the last row
    for (int c = 0; c < n; ++c) {
        for (int r = c; r < n; ++r)
            z[cm(n, r, c)] = a[cm(n, r, c)];
    }
    for (int i = 0; i < n; ++i)
        d[i] = a[cm(n, n - 1, i)];

    // reduce row by row, last row first
    for (int i = n - 1; i >= 1; --i) {
        const int l = i - 1;
        float h = 0.0f;
        float scale = 0.0f;
        for (int k = 0; k <= l; ++k)
            scale += std::fabs(d[k]);

        // a zero row needs no reflection; the published routine also skips
        // the reflection for i = 1, this one reflects there as well
        if (scale == 0.0f) {
            e[i] = d[l];
            for (int j = 0; j <= l; ++j) {
                d[j] = z[cm(n, l, j)];
                z[cm(n, i, j)] = 0.0f;
                z[cm(n, j, i)] = 0.0f;
            }
            d[i] = 0.0f;
            continue;
        }

        // scale the row and form the Householder vector u in d
        for (int k = 0; k <= l; ++k)
            d[k] /= scale;
        for (int k = 0; k <= l; ++k)
            h += d[k] * d[k];
        float f = d[l];
        // square root in double, rounded to float; f = 0 takes the minus sign
        const float root =
            static_cast<float>(std::sqrt(static_cast<double>(h)));
        float g = f >= 0.0f ? -root : root;
        e[i] = scale * g;
        h = h - f * g;
        d[l] = f - g;

        // form A u in e, keeping u in column i of z
        for (int j = 0; j <= l; ++j)
            e[j] = 0.0f;
        for (int j = 0; j <= l; ++j) {
            f = d[j];
            z[cm(n, j, i)] = f;
            g = z[cm(n, j, j)] * f + e[j];
            for (int k = j + 1; k <= l; ++k) {
                g = g + d[k] * z[cm(n, k, j)];
                e[k] = e[k] + z[cm(n, k, j)] * f;
            }
            e[j] = g;
        }

        // p = A u / h and K = u^T p / 2h
        f = 0.0f;
        for (int j = 0; j <= l; ++j)
            e[j] = e[j] / h;
        for (int j = 0; j <= l; ++j)
            f += d[j] * e[j];
        // (0.5 f) / h in double, rounded to float, where the published
        // routine divides f by h + h
        const float hh = static_cast<float>((0.5 * static_cast<double>(f)) /
                                            static_cast<double>(h));

        // q = p - K u
        for (int j = 0; j <= l; ++j)
            e[j] = e[j] - d[j] * hh;

        // A = A - u q^T - q u^T on the lower triangle of the leading block
        for (int j = 0; j <= l; ++j) {
            f = d[j];
            g = e[j];
            for (int k = j; k <= l; ++k)
                z[cm(n, k, j)] = (z[cm(n, k, j)] - f * e[k]) - g * d[k];
            d[j] = z[cm(n, l, j)];
            z[cm(n, i, j)] = 0.0f;
        }
        d[i] = h;
    }

    // accumulate the transformations
    for (int i = 1; i < n; ++i) {
        const int l = i - 1;
        z[cm(n, n - 1, l)] = z[cm(n, l, l)];
        z[cm(n, l, l)] = 1.0f;
        const float h = d[i];
        if (h != 0.0f) {
            for (int k = 0; k <= l; ++k)
                d[k] = z[cm(n, k, i)] / h;
            for (int j = 0; j <= l; ++j) {
                float g = 0.0f;
                for (int k = 0; k <= l; ++k)
                    g += z[cm(n, k, j)] * z[cm(n, k, i)];
                for (int k = 0; k <= l; ++k)
                    z[cm(n, k, j)] = z[cm(n, k, j)] - d[k] * g;
            }
        }
        for (int k = 0; k <= l; ++k)
            z[cm(n, k, i)] = 0.0f;
    }

    // the diagonal out of the last row, which becomes unit row n - 1
    for (int j = 0; j < n; ++j)
        d[j] = z[cm(n, n - 1, j)];
    for (int j = 0; j < n - 1; ++j)
        z[cm(n, n - 1, j)] = 0.0f;
    z[cm(n, n - 1, n - 1)] = 1.0f;
    e[0] = 0.0f;
}

// Eigenvalues and eigenvectors of a symmetric tridiagonal matrix by the
// implicit-shift QL method (EISPACK tql2, 0-based), sorted ascending.
//   d in-out float[n]: the diagonal in; the eigenvalues out
//   n in     order; n <= 1 returns 0 at once
//   e in-out float[n]: the subdiagonal as trans_sym_to_trid leaves it (e[i]
//            between rows i and i - 1) in; work space out, of no meaning
//   z in-out float[n*n], column-major: Q of the reduction in; column k the
//            unit eigenvector of d[k] out
// Returns 0, with d ascending (equal values in the order the iteration left
// them) and z matching. Returns l + 1 when the eigenvalue of index l does
// not converge within 30 iterations or is not finite (NaN or infinite data,
// for which no iteration can converge; also a non-finite value of order 1);
// then d[0..l-1] hold converged eigenvalues in no particular order, the rest
// of d and all of z are intermediate values, nothing is sorted.
int eig_sym_trid(float *d, int n, float *e, float *z)
{
    if (n <= 1) {
        // not in the published routine: a non-finite value is no eigenvalue
        if (n == 1 && !std::isfinite(d[0]))
            return 1;
        return 0;
    }

    // shift the subdiagonal down: e[i] between rows i and i + 1
    for (int i = 1; i < n; ++i)
        e[i - 1] = e[i];
    e[n - 1] = 0.0f;
    float f = 0.0f;
    float tst1 = 0.0f;

    for (int l = 0; l < n; ++l) {
        float h = std::fabs(d[l]) + std::fabs(e[l]);
        // not in the published routine: non-finite data fails at once
        if (!std::isfinite(h))
            return l + 1;
        if (tst1 < h)
            tst1 = h;

        // find a negligible subdiagonal element; the search stops at the
        // last index, where the published routine trusts e[n - 1] = 0
        int m = l;
        while (m < n - 1 && tst1 + std::fabs(e[m]) != tst1)
            ++m;

        // iterate while row l is coupled to the rows below it
        for (int iteration = 1; m > l; ++iteration) {
            // form the shift
            const float g = d[l];
            // the difference in float, doubling and quotient in double
            float p = static_cast<float>(static_cast<double>(d[l + 1] - g) /
                                         (2.0 * static_cast<double>(e[l])));
            float r = pythag(p, 1.0f);
            // p + sign(p) |r| in double; the two new entries rounded to float
            const double t = p >= 0.0f ? static_cast<double>(p) + std::fabs(r)
                                       : static_cast<double>(p) - std::fabs(r);
            d[l] = static_cast<float>(static_cast<double>(e[l]) / t);
            d[l + 1] = static_cast<float>(static_cast<double>(e[l]) * t);
            const float dl1 = d[l + 1];
            h = g - d[l];
            for (int i = l + 2; i < n; ++i)
                d[i] = d[i] - h;
            f = f + h;

            // QL transformation from row m up to row l
            p = d[m];
            float c = 1.0f;
            float c2 = 1.0f;
            float c3 = 1.0f;
            float s = 0.0f;
            float s2 = 0.0f;
            const float el1 = e[l + 1];
            for (int i = m - 1; i >= l; --i) {
                c3 = c2;
                c2 = c;
                s2 = s;
                const float gi = c * e[i];
                h = c * p;
                r = pythag(p, e[i]);
                e[i + 1] = s * r;
                s = e[i] / r;
                c = p / r;
                p = c * d[i] - s * gi;
                d[i + 1] = h + s * (c * gi + s * d[i]);

                // rotate columns i and i + 1 of z
                float *zi = z + cm(n, 0, i);
                float *zi1 = z + cm(n, 0, i + 1);
                for (int k = 0; k < n; ++k) {
                    const float zk = zi1[k];
                    zi1[k] = s * zi[k] + c * zk;
                    zi[k] = c * zi[k] - s * zk;
                }
            }
            p = -s * s2 * c3 * el1 * e[l] / dl1;
            e[l] = s * p;
            d[l] = c * p;

            // converged once e[l] is negligible
            if (!(tst1 + std::fabs(e[l]) > tst1))
                break;
            if (iteration == ql_iteration_limit)
                return l + 1;
        }
        d[l] = d[l] + f;
        // not in the published routine: an overflow is no eigenvalue either
        if (!std::isfinite(d[l]))
            return l + 1;
    }

    // sort ascending by selection; a later element wins only if strictly
    // smaller, so equal values keep their order
    for (int i = 0; i < n - 1; ++i) {
        int k = i;
        float p = d[i];
        for (int j = i + 1; j < n; ++j) {
            if (d[j] < p) {
                k = j;
                p = d[j];
            }
        }
        if (k != i) {
            d[k] = d[i];
            d[i] = p;
            float *zi = z + cm(n, 0, i);
            float *zk = z + cm(n, 0, k);
            for (int j = 0; j < n; ++j) {
                const float swap = zi[j];
                zi[j] = zk[j];
                zk[j] = swap;
            }
        }
    }
    return 0;
}

// Eigen-decomposition of a symmetric matrix of order 1 to EIG_MAX_ORDER.
//   mat in  float[n*n], column-major; only the lower triangle is read
//   n   in  order, 1 to EIG_MAX_ORDER
//   w   out float[n]: the eigenvalues, ascending
//   z   out float[n*n], column-major: column k the unit eigenvector of w[k];
//       must not overlap mat
// Returns 0 on success; l + 1 (1 to n) from eig_sym_trid when eigenvalue l
// did not converge or the data are not finite, with w and z holding
// intermediate values; -1 for an order outside 1..EIG_MAX_ORDER, with w and
// z untouched.
int eig(const float *mat, int n, float *w, float *z)
{
    if (n < 1 || n > EIG_MAX_ORDER)
        return -1;
    float subdiag[EIG_MAX_ORDER] = {};
    trans_sym_to_trid(mat, n, w, subdiag, z);
    return eig_sym_trid(w, n, subdiag, z);
}

// Determinant of a 3x3 matrix by cofactors along the first column.
//   mat in float[9], row- or column-major (the result is the same)
// Returns the determinant; never fails.
float det_3by3(const float *mat)
{
    const float *m = mat;
    return m[0] * (m[4] * m[8] - m[5] * m[7]) +
           m[3] * (m[7] * m[2] - m[8] * m[1]) +
           m[6] * (m[5] * m[1] - m[4] * m[2]);
}

// Inverse of a 3x3 matrix as its adjugate over its determinant.
//   inv out float[9], in the layout of mat; must not overlap mat
//   mat in  float[9]
// Returns 0 with the inverse in inv, or -1 with nine zeros in inv when the
// determinant is 0, NaN or infinite.
int inv_3by3(float *inv, const float *mat)
{
    const float *m = mat;
    const float det = det_3by3(mat);
    if (det == 0.0f || std::isnan(det) || std::isinf(det)) {
        for (int i = 0; i < 9; ++i)
            inv[i] = 0.0f;
        return -1;
    }
    inv[0] = (m[4] * m[8] - m[5] * m[7]) / det;
    inv[1] = (m[2] * m[7] - m[1] * m[8]) / det;
    inv[2] = (m[1] * m[5] - m[2] * m[4]) / det;
    inv[3] = (m[5] * m[6] - m[3] * m[8]) / det;
    inv[4] = (m[0] * m[8] - m[2] * m[6]) / det;
    inv[5] = (m[2] * m[3] - m[0] * m[5]) / det;
    inv[6] = (m[3] * m[7] - m[4] * m[6]) / det;
    inv[7] = (m[1] * m[6] - m[0] * m[7]) / det;
    inv[8] = (m[0] * m[4] - m[1] * m[3]) / det;
    return 0;
}

// 3-D Euclidean distance between two vectors.
//   p0, p1 in one vec3d_t each
// Returns sqrt((dx^2 + dy^2) + dz^2); NaN if a coordinate is NaN.
float get_dist(const vec3d_t *p0, const vec3d_t *p1)
{
    return distance_of(p0->x, p0->y, p0->z, p1->x, p1->y, p1->z);
}

// get_dist with the second point as a bare triple.
//   p0 in vec3d_t
//   p1 in float[3]: x, y, z
float get_dist2(const vec3d_t *p0, const float *p1)
{
    return distance_of(p0->x, p0->y, p0->z, p1[0], p1[1], p1[2]);
}

// get_dist from an anchor record.
//   p0 in anchor_pos_t
//   p1 in vec3d_t
float get_dist3(const anchor_pos_t *p0, const vec3d_t *p1)
{
    return distance_of(p0->x, p0->y, p0->z, p1->x, p1->y, p1->z);
}

// Distance in the x-y plane; z is ignored.
//   p0, p1 in one vec3d_t each
// Returns sqrt(dx^2 + dy^2).
float get_dist_xy(const vec3d_t *p0, const vec3d_t *p1)
{
    const float dx = p0->x - p1->x;
    const float dy = p0->y - p1->y;
    return std::sqrt(dx * dx + dy * dy);
}

// Dot product, summed in index order from v[0] w[0].
//   v, w in float[len]
//   len  in at least 1
// Returns the sum; 0 for len < 1, without reading v or w.
float dot_prod(const float *v, const float *w, int len)
{
    if (len < 1)
        return 0.0f;
    float sum = v[0] * w[0];
    for (int i = 1; i < len; ++i)
        sum += v[i] * w[i];
    return sum;
}

// n! modulo 2^64.
//   n in any int; n <= 0 gives 1
// Returns the product 1 * 2 * ... * n in unsigned 64-bit arithmetic.
uint64_t fact(int n)
{
    uint64_t product = 1;
    for (int i = 2; i <= n; ++i) {
        product *= static_cast<uint64_t>(i);
        // 66! and beyond hold 2^64 as a factor: the product stays 0
        if (product == 0)
            break;
    }
    return product;
}

// Prints a column-major matrix to the C library's standard output.
//   mat   in float[m*n], column-major: row i, column j at i + j*m
//   m, n  in rows and columns; a count <= 0 prints none of them
//   title in text printed above the matrix (a null pointer prints as empty)
// Values with -1e-8 < v < 1e-9 print as 0, so tiny negatives show no sign.
void print_mat(const float *mat, int m, int n, const char *title)
{
    std::printf("\n %s\n", title != nullptr ? title : "");
    std::printf("\n C/R  ");
    for (int j = 0; j < n; ++j)
        std::printf("      %i     ", j);
    std::printf("\n\n");
    for (int i = 0; i < m; ++i) {
        std::printf("%i: ", i);
        for (int j = 0; j < n; ++j) {
            // widened to double for printing
            double v = static_cast<double>(mat[cm(m, i, j)]);
            if (v > -1e-8 && v < 1e-9)
                v = 0.0;
            std::printf("    %7f   ", v);
        }
        std::printf("\n");
    }
}

// Prints a vector, one indexed line per element, to standard output.
//   vec  in float[n]
//   n    in element count; n <= 0 prints the name only
//   name in text printed first (a null pointer prints as empty)
void print_vec(const float *vec, int n, const char *name)
{
    std::printf("%s\n\n", name != nullptr ? name : "");
    for (int i = 0; i < n; ++i)
        std::printf("  %8d: %14f\n", i, static_cast<double>(vec[i]));
}
