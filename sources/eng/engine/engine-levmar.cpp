// Levenberg-Marquardt fit of a tag position to its anchor distances, in
// 32-bit floats on fixed-size work arrays, with a forward-difference
// Jacobian corrected by rank-one (Broyden) updates between refreshes.
#include "engine-levmar.h"
#include "engine-levmar-math.h"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace
{

// Work record of one call, cleared at entry.
struct rtls_le_ls_t {
    int issolved;              // result of the last linear solve
    float e[LS_MAX_MEAS];      // residuals at the estimate
    float hx[LS_MAX_MEAS];     // predicted distances at the estimate
    float g[LS_MAX_MEAS];      // first dim entries: J^T e
    float jac[LS_MAX_MEAS][3]; // Jacobian, row stride 3
    float A[3][3];             // J^T J (+ damping while a step is solved)
    float h_lm[3];             // the step
    float diag_A[3];           // undamped diagonal of A
    float pnew[3];             // trial estimate p + h
    float wrk[LS_MAX_MEAS];    // distances at the trial estimate; scratch
    float wrk2[LS_MAX_MEAS];   // residuals at the trial estimate
    float mu;                  // damping factor
    float tmp;                 // scratch
    float Fp;                  // sum of squares at the estimate
    float g_inf;               // largest |J^T e|
    float Fpnew;               // sum of squares at the trial estimate
    float p_L2;                // squared norm of the estimate
    float h_lm_L2;             // Euclidean norm of the step
    float dF;                  // actual reduction
    float dL;                  // predicted reduction
    float rho;                 // gain ratio
    int nu;                    // damping growth after a rejected step
    int nu2;                   // 2 nu, to detect wrap-around
    int stop;                  // 7 when the starting sum is not finite
};

// Control record of one call, cleared at entry.
struct rtls_le_ls_dbg_t {
    int nfev;   // model evaluations
    int njap;   // finite-difference Jacobians
    int nlss;   // linear solves
    int K;      // Jacobian refresh period (dim)
    int updjac; // rank-one updates since the last fresh Jacobian
    int updp;   // the estimate moved since then
    int newjac; // jac changed since A and g were formed
};

// Doubles nu in 32-bit two's complement arithmetic; the wrap-around is the
// signal to stop, so it must not be signed-overflow undefined behaviour.
int doubled_with_wrap(int nu)
{
    const unsigned doubled = static_cast<unsigned>(nu) * 2u;
    int result;
    std::memcpy(&result, &doubled, sizeof result);
    return result;
}

} // namespace

// Predicted distances from pos_est to the anchors.
//   anchor_pos in anchor_pos_t[meas_cnt]
//   pos_est    in float[dim]
//   x          out float[meas_cnt]: x[l] = distance to anchor l; planar for
//              dim 2 (z ignored on both sides), spatial for dim 3
// Any other dim, or meas_cnt <= 0, writes nothing.
void engine_ls_cost_fnc(const anchor_pos_t *anchor_pos, const float *pos_est,
                        float *x, int dim, int meas_cnt)
{
    if (dim == 2) {
        for (int l = 0; l < meas_cnt; ++l) {
            const float dx = anchor_pos[l].x - pos_est[0];
            const float dy = anchor_pos[l].y - pos_est[1];
            x[l] = std::sqrt(dx * dx + dy * dy);
        }
    } else if (dim == 3) {
        for (int l = 0; l < meas_cnt; ++l) {
            const float dx = anchor_pos[l].x - pos_est[0];
            const float dy = anchor_pos[l].y - pos_est[1];
            const float dz = anchor_pos[l].z - pos_est[2];
            x[l] = std::sqrt((dy * dy + dx * dx) + dz * dz);
        }
    }
}

// Fits p to the measured distances y.
//   p    in-out float[dim]: start point in; the last accepted estimate out
//   y    in  float[n]: y[s] is the distance to anchor s; a value not greater
//        than 0 (or NaN) marks a slot without measurement
//   dim  in  2 (planar fit, p[2] never touched) or 3
//   n    in  number of measurement slots
//   kmax in  iteration limit
//   sse  out the sum of squares at the last accepted estimate, at every
//        return
//   anchor_pos in anchor_pos_t[n], slot order as y
// Returns the number of completed iterations (0 to kmax), or -1 when the
// starting sum is not finite, a step reaches the singular bound, or the sum
// at a trial point is not finite (also for a dim other than 2 or 3). Only
// the first LS_MAX_MEAS measurements greater than 0, in slot order, are
// used.
int ls_lm_dif(float *p, const float *y, int dim, int n, int kmax, float *sse,
              const anchor_pos_t *anchor_pos)
{
    rtls_le_ls_t ls;
    rtls_le_ls_dbg_t dbg;
    std::memset(&ls, 0, sizeof ls);
    std::memset(&dbg, 0, sizeof dbg);
    dbg.K = dim;
    dbg.updp = 1;
    ls.h_lm_L2 = FLT_MAX;

    if (dim != 2 && dim != 3) {
        *sse = 0.0f;
        return -1;
    }

    // keep the measurements greater than 0, each with its own anchor
    float meas[LS_MAX_MEAS];
    anchor_pos_t anchors[LS_MAX_MEAS];
    int meas_cnt = 0;
    for (int s = 0; s < n && meas_cnt < LS_MAX_MEAS; ++s) {
        if (y[s] > 0.0f) {
            meas[meas_cnt] = y[s];
            anchors[meas_cnt] = anchor_pos[s];
            ++meas_cnt;
        }
    }

    engine_ls_cost_fnc(anchors, p, ls.hx, dim, meas_cnt);
    ++dbg.nfev;
    ls.Fp = vec_dif_L2_norm(ls.e, meas, ls.hx, meas_cnt);
    if (!std::isfinite(ls.Fp))
        ls.stop = 7;
    ls.nu = 20;
    int k = 0;

    if (kmax <= 0) {
        *sse = ls.Fp;
        return 0;
    }
    if (ls.stop == 7) {
        *sse = ls.Fp;
        return -1;
    }
    if (ls.Fp <= 0.1f) {
        *sse = ls.Fp;
        return 0;
    }

    for (;;) {
        // refresh or keep the Jacobian
        bool form_normal_equations = dbg.newjac == 1;
        if ((dbg.updp != 0 && ls.nu > 16) || dbg.updjac == dbg.K) {
            fdif_jac(p, ls.hx, ls.wrk, ls.jac, dim, meas_cnt, anchors);
            ++dbg.njap;
            dbg.nfev += dim;
            ls.nu = 2;
            dbg.updjac = 0;
            dbg.updp = 0;
            form_normal_equations = true;
        }

        // normal equations A = J^T J, g = J^T e
        if (form_normal_equations) {
            dbg.newjac = 0;
            std::memset(ls.A, 0, sizeof ls.A);
            std::memset(ls.g, 0, sizeof ls.g);
            for (int l = meas_cnt - 1; l >= 0; --l) {
                for (int j = 0; j < dim; ++j) {
                    for (int i = 0; i <= j; ++i)
                        ls.A[j][i] += ls.jac[l][i] * ls.jac[l][j];
                    ls.g[j] += ls.jac[l][j] * ls.e[l];
                }
            }
            for (int i = 0; i < dim; ++i) {
                for (int j = i + 1; j < dim; ++j)
                    ls.A[i][j] = ls.A[j][i];
            }
            ls.g_inf = 0.0f;
            for (int i = 0; i < dim; ++i) {
                if (std::fabs(ls.g[i]) > ls.g_inf)
                    ls.g_inf = std::fabs(ls.g[i]);
            }
            for (int i = 0; i < dim; ++i)
                ls.diag_A[i] = ls.A[i][i];
            ls.p_L2 = 0.0f;
            for (int i = 0; i < dim; ++i)
                ls.p_L2 += p[i] * p[i];
        }

        if (ls.g_inf <= 0.2f) {
            *sse = ls.Fp;
            return k;
        }

        // initial damping from the largest diagonal element
        if (k == 0) {
            float largest = -FLT_MAX;
            for (int i = 0; i < dim; ++i) {
                if (ls.diag_A[i] > largest)
                    largest = ls.diag_A[i];
            }
            ls.mu = 0.1f * largest;
        }
        if (!std::isfinite(ls.mu))
            ls.mu = 1e-9f;

        // solve the damped step
        for (int i = 0; i < dim; ++i)
            ls.A[i][i] += ls.mu;
        ls.issolved = solve_lin_sys_LU(&ls.A[0][0], ls.g, ls.h_lm, dim);
        ++dbg.nlss;

        bool accepted = false;
        if (ls.issolved != 0) {
            ls.tmp = 0.0f;
            for (int i = 0; i < dim; ++i) {
                ls.pnew[i] = p[i] + ls.h_lm[i];
                ls.tmp += ls.h_lm[i] * ls.h_lm[i];
            }
            ls.h_lm_L2 = std::sqrt(ls.tmp);

            // the step's length against the squared norm of the estimate
            if (ls.h_lm_L2 <= 9e-6f * ls.p_L2) {
                *sse = ls.Fp;
                return k;
            }
            if (ls.h_lm_L2 >= (ls.p_L2 + 0.003f) / 1e-24f) {
                *sse = ls.Fp;
                return -1;
            }

            engine_ls_cost_fnc(anchors, ls.pnew, ls.wrk, dim, meas_cnt);
            ++dbg.nfev;
            ls.Fpnew = vec_dif_L2_norm(ls.wrk2, meas, ls.wrk, meas_cnt);
            if (!std::isfinite(ls.Fpnew)) {
                *sse = ls.Fp;
                return -1;
            }
            ls.dF = ls.Fp - ls.Fpnew;

            // rank-one update of the Jacobian along the step
            if (dbg.updp != 0 || ls.dF > 0.0f) {
                for (int l = 0; l < meas_cnt; ++l) {
                    float predicted = 0.0f;
                    for (int j = 0; j < dim; ++j)
                        predicted += ls.jac[l][j] * ls.h_lm[j];
                    const float t =
                        ((ls.wrk[l] - ls.hx[l]) - predicted) / ls.h_lm_L2;
                    for (int j = 0; j < dim; ++j)
                        ls.jac[l][j] = ls.jac[l][j] + ls.h_lm[j] * t;
                }
                ++dbg.updjac;
                dbg.newjac = 1;
            }

            // accept the step when both reductions are positive
            ls.dL = 0.0f;
            for (int i = 0; i < dim; ++i)
                ls.dL += ls.h_lm[i] * (ls.mu * ls.h_lm[i] + ls.g[i]);
            if (ls.dL > 0.0f && ls.dF > 0.0f) {
                ls.rho = ls.dF / ls.dL;
                const float t = (ls.rho + ls.rho) - 1.0f;
                const float f = 1.0f - t * (t * t);
                const float one_third = 1.0f / 3.0f;
                ls.mu = ls.mu * (f >= one_third ? f : one_third);
                ls.nu = 2;
                std::memcpy(p, ls.pnew, static_cast<size_t>(dim) * sizeof *p);
                std::memcpy(ls.e, ls.wrk2, sizeof ls.e);
                std::memcpy(ls.hx, ls.wrk, sizeof ls.hx);
                ls.Fp = ls.Fpnew;
                dbg.updp = 1;
                accepted = true;
            }
        }

        // reject: more damping, taken off the diagonal again
        if (!accepted) {
            ls.mu = ls.mu * static_cast<float>(ls.nu);
            ls.nu2 = doubled_with_wrap(ls.nu);
            if (ls.nu2 <= ls.nu) {
                *sse = ls.Fp;
                return k;
            }
            ls.nu = ls.nu2;
            for (int i = 0; i < dim; ++i)
                ls.A[i][i] = ls.diag_A[i];
        }

        ++k;
        if (k == kmax || ls.Fp <= 0.1f) {
            *sse = ls.Fp;
            return k;
        }
    }
}
