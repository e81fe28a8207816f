#include "core/build/tables.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "core/base/errors.hpp"
#include "core/base/numtext.hpp"
#include "core/numeric/interp.hpp"

namespace ecm::gen {

std::vector<double> linspace(double start, double stop, std::size_t num) {
    std::vector<double> y(num);
    if (num == 0) return y;
    if (num == 1) {
        y[0] = start;
        return y;
    }
    const double div = static_cast<double>(num - 1);
    const double delta = stop - start;
    const double step = delta / div;
    for (std::size_t i = 0; i < num; ++i) {
        const double fi = static_cast<double>(i);
        // A zero step (equal ends, or a span too small to divide) is spread by
        // dividing first, as NumPy does.
        y[i] = (step == 0.0 ? (fi / div) * delta : fi * step) + start;
    }
    y[num - 1] = stop;
    return y;
}

Eigen::MatrixXd lstsq(const Eigen::MatrixXd& A, const Eigen::MatrixXd& B) {
    if (A.rows() != B.rows())
        throw DataError("lstsq: A has " + std::to_string(A.rows()) + " rows and B " + std::to_string(B.rows()) +
                        ", expected equal");
    if (A.rows() == 0 || A.cols() == 0) return Eigen::MatrixXd::Zero(A.cols(), B.cols());
    if (!A.allFinite()) throw DataError("lstsq: the matrix holds non-finite values, expected finite");
    Eigen::JacobiSVD<Eigen::MatrixXd> svd(A, Eigen::ComputeThinU | Eigen::ComputeThinV);
    const double rcond = std::numeric_limits<double>::epsilon() * static_cast<double>(std::max(A.rows(), A.cols()));
    const auto& s = svd.singularValues();
    const double cutoff = s.size() > 0 ? rcond * s(0) : 0.0;
    // Pseudo-inverse applied column by column: singular values at or below the
    // cut-off contribute nothing, which gives the minimum-norm answer.
    Eigen::MatrixXd UtB = svd.matrixU().transpose() * B;
    for (Eigen::Index k = 0; k < s.size(); ++k) {
        if (s(k) > cutoff)
            UtB.row(k) /= s(k);
        else
            UtB.row(k).setZero();
    }
    return svd.matrixV() * UtB;
}

double mean_step(const std::vector<double>& grid) {
    if (grid.size() < 2)
        throw DataError("the SOC grid holds " + std::to_string(grid.size()) + " points, expected at least 2");
    double sum = 0.0;
    for (std::size_t k = 0; k + 1 < grid.size(); ++k) sum += grid[k + 1] - grid[k];
    return sum / static_cast<double>(grid.size() - 1);
}

std::vector<double> derivative_along_soc(const std::vector<double>& values, double dz) {
    const std::size_t n = values.size();
    if (n < 2) throw DataError("a derivative along SOC needs at least 2 points, found " + std::to_string(n));
    std::vector<double> d(n - 1);
    for (std::size_t k = 0; k + 1 < n; ++k) d[k] = (values[k + 1] - values[k]) / dz;
    std::vector<double> out(n);
    out[0] = (d[0] + d[0]) / 2;
    for (std::size_t k = 1; k + 1 < n; ++k) out[k] = (d[k - 1] + d[k]) / 2;
    out[n - 1] = (d[n - 2] + d[n - 2]) / 2;
    return out;
}

namespace {

// Per-pulse points (soc, value, se) with a finite SOC and value, in SOC order, gathered into
// clusters: a chain of points each closer in SOC than `cluster` to the one before (the several
// currents of one SOC point of an HPPC test) is one point.
struct SocPoint {
    double soc, value, se;
};

std::vector<std::vector<SocPoint>> soc_clusters(const std::vector<double>& soc, const std::vector<double>& values,
                                                const std::vector<double>* se, double cluster) {
    std::vector<SocPoint> pts;
    for (std::size_t k = 0; k < soc.size() && k < values.size(); ++k)
        if (std::isfinite(soc[k]) && std::isfinite(values[k]))
            pts.push_back(
                {soc[k], values[k], se && k < se->size() ? (*se)[k] : std::numeric_limits<double>::quiet_NaN()});
    std::sort(pts.begin(), pts.end(), [](const SocPoint& a, const SocPoint& b) { return a.soc < b.soc; });
    std::vector<std::vector<SocPoint>> out;
    for (std::size_t k = 0; k < pts.size();) {
        std::size_t j = k + 1;
        while (j < pts.size() && pts[j].soc - pts[j - 1].soc < cluster) ++j;
        out.emplace_back(pts.begin() + static_cast<std::ptrdiff_t>(k), pts.begin() + static_cast<std::ptrdiff_t>(j));
        k = j;
    }
    return out;
}

double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t h = v.size() / 2;
    return v.size() % 2 ? v[h] : 0.5 * (v[h - 1] + v[h]);
}

}  // namespace

std::vector<double> soc_table(const std::vector<double>& soc, const std::vector<double>& values,
                              const std::vector<double>& grid, double cluster) {
    std::vector<double> xp, fp, out(grid.size(), std::numeric_limits<double>::quiet_NaN());
    for (const auto& c : soc_clusters(soc, values, nullptr, cluster)) {
        std::vector<double> xs, ys;
        for (const SocPoint& p : c) {
            xs.push_back(p.soc);
            ys.push_back(p.value);
        }
        xp.push_back(median_of(xs));
        fp.push_back(median_of(ys));
    }
    if (!xp.empty()) interp_linear(grid.data(), grid.size(), xp.data(), fp.data(), xp.size(), out.data());
    return out;
}

std::vector<double> soc_table_error(const std::vector<double>& soc, const std::vector<double>& values,
                                    const std::vector<double>& se, const std::vector<double>& grid, double cluster) {
    if (soc.size() != values.size() || soc.size() != se.size())
        throw DataError("per-pulse lists of " + std::to_string(soc.size()) + " SOC values, " +
                        std::to_string(values.size()) + " values and " + std::to_string(se.size()) +
                        " standard errors, expected equal lengths");
    // Each cluster's error: that of its median. For three or more values with errors se_k the
    // median's variance is about n / (4 (sum_k f_k)^2), f_k = 1 / (sqrt(2 pi) se_k) each value's
    // density at the middle (equal errors: pi / 2 times the mean's variance); two values: their mean.
    // Where the values scatter more than their own errors allow (beyond the 95 % point of that
    // spread: a pulse current or a direction that differs), the scatter's error of the median is
    // taken instead.
    constexpr double kSqrtHalfPi = 1.2533141373155003;
    std::vector<std::pair<double, double>> pts;
    for (const auto& c : soc_clusters(soc, values, &se, cluster)) {
        std::vector<double> xs, vals;
        double ss = 0.0, inv = 0.0;
        for (const SocPoint& p : c) {
            if (!std::isfinite(p.se) || p.se < 0.0) continue;
            xs.push_back(p.soc);
            vals.push_back(p.value);
            ss += p.se * p.se;
            inv += p.se > 0.0 ? 1.0 / p.se : std::numeric_limits<double>::infinity();
        }
        const auto n = static_cast<double>(xs.size());
        if (xs.empty()) continue;
        double err = std::sqrt(ss) / n;
        if (xs.size() >= 3) {
            err = std::isfinite(inv) ? kSqrtHalfPi * std::sqrt(n) / inv : 0.0;
            double mean = 0.0, var = 0.0;
            for (const double v : vals) mean += v / n;
            for (const double v : vals) var += (v - mean) * (v - mean) / (n - 1.0);
            // the 95 % point of a chi-square over its n - 1 degrees of freedom (Wilson-Hilferty)
            const double k = n - 1.0, h = 2.0 / (9.0 * k);
            const double q = std::pow(1.0 - h + 1.6448536269514722 * std::sqrt(h), 3.0);
            if (var > q * ss / n) err = std::max(err, kSqrtHalfPi * std::sqrt(var / n));
        }
        pts.emplace_back(median_of(xs), err);
    }
    std::vector<double> out(grid.size(), std::numeric_limits<double>::quiet_NaN());
    if (pts.empty()) return out;
    for (std::size_t g = 0; g < grid.size(); ++g) {
        const double x = grid[g];
        if (!std::isfinite(x)) continue;
        if (x <= pts.front().first) {
            out[g] = pts.front().second;
            continue;
        }
        if (x >= pts.back().first) {
            out[g] = pts.back().second;
            continue;
        }
        const auto it =
            std::upper_bound(pts.begin(), pts.end(), std::make_pair(x, std::numeric_limits<double>::infinity()));
        const auto& b = *it;
        const auto& a = *(it - 1);
        const double w = b.first > a.first ? (x - a.first) / (b.first - a.first) : 1.0;
        out[g] = std::hypot((1.0 - w) * a.second, w * b.second);
    }
    return out;
}

namespace {

// The design matrix with one row [T, 1] per temperature.
Eigen::MatrixXd temperature_matrix(const std::vector<double>& temps) {
    Eigen::MatrixXd A(static_cast<Eigen::Index>(temps.size()), 2);
    for (std::size_t j = 0; j < temps.size(); ++j) {
        A(static_cast<Eigen::Index>(j), 0) = temps[j];
        A(static_cast<Eigen::Index>(j), 1) = 1.0;
    }
    return A;
}

}  // namespace

ModelTables derive_tables(const Collection& c, double vbatlow, double vbathigh) {
    if (!std::isfinite(vbatlow) || !std::isfinite(vbathigh))
        throw DataError("voltage limits " + py_repr(vbatlow) + " V and " + py_repr(vbathigh) +
                        " V, expected finite voltages");
    if (c.temperatures.empty() || c.ocv_temps.empty())
        throw DataError("no parameter file collected, expected at least one");
    if (c.ocv_columns.size() != c.ocv_temps.size())
        throw DataError("the collection holds " + std::to_string(c.ocv_columns.size()) + " OCV columns for " +
                        std::to_string(c.ocv_temps.size()) + " temperatures, expected one per temperature");
    const std::size_t n_soc = c.soc.size();
    for (const auto& col : c.ocv_columns)
        if (col.size() != n_soc)
            throw DataError("an OCV column holds " + std::to_string(col.size()) + " values, expected " +
                            std::to_string(n_soc));
    if (c.capacities.size() != c.temperatures.size() || c.rcparams.size() != c.temperatures.size())
        throw DataError("the collection tables differ in length, expected one entry per temperature");

    ModelTables m;

    // Voltage axis and SOC over voltage, one column per distinct temperature.
    m.vovc = linspace(vbatlow - 0.01, vbathigh, kVoltageAxisSize);
    for (double t : c.temperatures) {
        if (!m.soc_temps.empty() && m.soc_temps.back() == t) continue;
        auto it = std::find(c.ocv_temps.begin(), c.ocv_temps.end(), t);
        if (it == c.ocv_temps.end()) throw DataError("no OCV column for a collected temperature");
        m.soc_temps.push_back(t);
        m.soc_columns.push_back(
            interp_linear(m.vovc, c.ocv_columns[static_cast<std::size_t>(it - c.ocv_temps.begin())], c.soc));
    }

    // OCV over temperature, all SOC points at once; columns in first-read order.
    {
        const auto nT = static_cast<Eigen::Index>(c.ocv_temps.size());
        Eigen::MatrixXd y(nT, static_cast<Eigen::Index>(n_soc));
        for (Eigen::Index j = 0; j < nT; ++j)
            for (std::size_t k = 0; k < n_soc; ++k)
                y(j, static_cast<Eigen::Index>(k)) = c.ocv_columns[static_cast<std::size_t>(j)][k];
        Eigen::MatrixXd C = lstsq(temperature_matrix(c.ocv_temps), y);
        m.ocv_rel.resize(n_soc);
        m.ocv0.resize(n_soc);
        for (std::size_t k = 0; k < n_soc; ++k) {
            m.ocv_rel[k] = C(0, static_cast<Eigen::Index>(k));
            m.ocv0[k] = C(1, static_cast<Eigen::Index>(k));
        }
    }

    // Derivatives along SOC.
    const double dz = mean_step(c.soc);
    m.docv0 = derivative_along_soc(m.ocv0, dz);
    m.docv_rel = derivative_along_soc(m.ocv_rel, dz);

    // SOC over temperature at every voltage of the axis. The design matrix is
    // the same for every voltage, so one decomposition serves all of them.
    {
        const auto nT = static_cast<Eigen::Index>(m.soc_temps.size());
        const auto nV = static_cast<Eigen::Index>(m.vovc.size());
        Eigen::MatrixXd y(nT, nV);
        for (Eigen::Index j = 0; j < nT; ++j)
            for (Eigen::Index i = 0; i < nV; ++i)
                y(j, i) = m.soc_columns[static_cast<std::size_t>(j)][static_cast<std::size_t>(i)];
        Eigen::MatrixXd C = lstsq(temperature_matrix(m.soc_temps), y);
        m.soc_rel.resize(static_cast<std::size_t>(nV));
        m.soc0.resize(static_cast<std::size_t>(nV));
        for (Eigen::Index i = 0; i < nV; ++i) {
            m.soc_rel[static_cast<std::size_t>(i)] = C(0, i);
            m.soc0[static_cast<std::size_t>(i)] = C(1, i);
        }
    }
    m.temperature_undetermined = m.soc_temps.size() < 2;

    // Circuit parameters by temperature; the entry of the highest temperature
    // decides whether the second branch is tabulated.
    std::vector<double> tau1, tau2, r1, r2;
    for (std::size_t j = 0; j < c.temperatures.size(); ++j) {
        const auto& p = c.rcparams[j];
        if (p.size() < 3)
            throw DataError("a \"Tparam_2\" list holds " + std::to_string(p.size()) + " values, expected 3 or 5");
        m.r0.push_back(p[0]);
        tau1.push_back(p[1] * p[2]);
        r1.push_back(p[1]);
        if (p.size() > 3) {
            if (p.size() < 5)
                throw DataError("a \"Tparam_2\" list holds " + std::to_string(p.size()) + " values, expected 3 or 5");
            tau2.push_back(p[3] * p[4]);
            r2.push_back(p[3]);
        }
    }
    m.tau = tau1;
    m.r = r1;
    if (c.rcparams.back().size() > 3) {
        m.tau.insert(m.tau.end(), tau2.begin(), tau2.end());
        m.r.insert(m.r.end(), r2.begin(), r2.end());
    }
    m.q = c.capacities;
    return m;
}

}  // namespace ecm::gen
