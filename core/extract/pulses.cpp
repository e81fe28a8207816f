#include "core/extract/pulses.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>

#include "core/base/errors.hpp"
#include "core/numeric/charge.hpp"

namespace ecm {
namespace {

constexpr std::size_t kSocGridSize = 201;
constexpr double kSocGridStep = 0.005;
constexpr std::size_t kMaxHistogramBins = std::size_t{1} << 24;

std::string join_counts(const std::vector<std::int64_t>& c) {
    std::ostringstream s;
    s << '[';
    for (std::size_t k = 0; k < c.size(); ++k) s << (k ? ", " : "") << c[k];
    s << ']';
    return s.str();
}

// Checks that every rest end leaves room for the two samples before it that
// the relaxed voltage and its two-sample mean read (v[i-3], v[i-2]) and lies
// inside the recording.
void check_rest_ends(const std::vector<std::int64_t>& idx_rest, std::size_t n) {
    for (std::size_t j = 0; j < idx_rest.size(); ++j) {
        const std::int64_t i = idx_rest[j];
        if (i < 3) {
            std::ostringstream m;
            m << "rest " << j + 1 << " ends at sample " << i
              << ", within the first three samples; the relaxed voltage is read from the samples i-3 and i-2 "
                 "before a rest end, so the recording must begin with a rest of more than three samples";
            throw DataError(m.str());
        }
        if (static_cast<std::uint64_t>(i) + 1 >= n) {
            std::ostringstream m;
            m << "rest " << j + 1 << " ends at sample " << i << " but the recording has only " << n
              << " samples; a rest end must be followed by at least one sample";
            throw DataError(m.str());
        }
        if (j > 0 && i <= idx_rest[j - 1]) {
            std::ostringstream m;
            m << "rest ends must increase, but rest " << j + 1 << " ends at sample " << i << " and rest " << j
              << " at sample " << idx_rest[j - 1];
            throw DataError(m.str());
        }
    }
}

}  // namespace

Histogram histogram_equal_bins(const double* x, std::size_t n, std::size_t nbins) {
    if (nbins == 0) throw DataError("histogram: the number of bins must be positive");
    if (nbins > kMaxHistogramBins) {
        // Also keeps nbins + 1 edges from wrapping around.
        std::ostringstream m;
        m << "histogram: " << nbins << " bins requested; at most " << kMaxHistogramBins << " are supported";
        throw DataError(m.str());
    }
    double first = 0.0, last = 1.0;  // numpy's range for an empty input
    if (n > 0) {
        first = x[0];
        last = x[0];
        for (std::size_t k = 0; k < n; ++k) {
            if (!std::isfinite(x[k])) {
                std::ostringstream m;
                m << "histogram: value " << k << " is " << x[k] << "; expected finite values";
                throw DataError(m.str());
            }
            first = std::min(first, x[k]);
            last = std::max(last, x[k]);
        }
    }
    if (first == last) {
        first -= 0.5;
        last += 0.5;
    }

    // Edges as linspace makes them: start + k * (delta / nbins), the last one
    // exactly the maximum. When delta / nbins underflows to zero the step is
    // applied as (k / nbins) * delta instead.
    const double div = static_cast<double>(nbins);
    const double delta = last - first;
    Histogram h;
    h.edges.resize(nbins + 1);
    h.counts.assign(nbins, 0);
    const double step = delta / div;
    for (std::size_t k = 0; k <= nbins; ++k) {
        const double kk = static_cast<double>(k);
        const double offset = (step == 0.0) ? (kk / div) * delta : kk * step;
        h.edges[k] = offset + first;
    }
    h.edges[nbins] = last;
    bool ok = std::isfinite(delta);
    for (std::size_t k = 0; ok && k < nbins; ++k) ok = h.edges[k] < h.edges[k + 1];
    if (!ok) {
        std::ostringstream m;
        m.precision(17);
        m << "histogram: the data range [" << first << ", " << last << "] cannot be split into " << nbins
          << " bins of finite positive width";
        throw DataError(m.str());
    }

    // Bin index from the linear map, then corrected by one bin against the
    // actual edges, so a value on an inner edge lands in the upper bin and the
    // maximum lands in the last bin.
    const auto last_bin = static_cast<std::int64_t>(nbins) - 1;
    for (std::size_t k = 0; k < n; ++k) {
        const double xv = x[k];
        const double f = ((xv - first) / delta) * div;
        auto b = static_cast<std::int64_t>(f);
        if (b > last_bin) b = last_bin;
        if (b < 0) b = 0;
        if (b > 0 && xv < h.edges[static_cast<std::size_t>(b)]) --b;
        if (b != last_bin && xv >= h.edges[static_cast<std::size_t>(b) + 1]) ++b;
        ++h.counts[static_cast<std::size_t>(b)];
    }
    return h;
}

LoadThreshold load_threshold(const Histogram& h) {
    const std::size_t nb = h.counts.size();
    if (nb < 2 || h.edges.size() != nb + 1) {
        throw DataError("load threshold: the current histogram needs at least two bins");
    }
    for (std::size_t k = nb - 1; k-- > 0;) {
        if (h.counts[k] > 10) {
            LoadThreshold r;
            r.iload_ix = static_cast<std::int64_t>(k);
            r.iload_th = std::fabs((h.edges[k] + h.edges[k + 1]) / 2.0 / 4.0);
            return r;
        }
    }
    std::ostringstream m;
    m << "no current level holds more than ten samples, so no load pulses were found: the " << nb
      << "-bin current histogram has counts " << join_counts(h.counts) << " and none of the first " << nb - 1
      << " bins has a count above 10";
    throw DataError(m.str());
}

CurrentSteps find_current_steps(const double* i, std::size_t n, double th) {
    CurrentSteps s;
    for (std::size_t k = 0; k + 1 < n; ++k) {
        const double d = i[k + 1] - i[k];
        if (d < -th) s.idx_rest.push_back(static_cast<std::int64_t>(k));
        if (d > th) s.idx_load.push_back(static_cast<std::int64_t>(k));
    }
    return s;
}

RelaxedPoints relaxed_points(const double* t, const double* iload, const double* v, std::size_t n, double total_mAh,
                             const std::vector<std::int64_t>& idx_rest) {
    if (idx_rest.empty()) throw DataError("relaxed points: no rest ends were found");
    check_rest_ends(idx_rest, n);
    if (!std::isfinite(total_mAh) || total_mAh == 0.0) {
        std::ostringstream m;
        m.precision(17);
        m << "the total charge of the recording is " << total_mAh
          << " mAh; the state of charge needs a finite, non-zero total charge";
        throw DataError(m.str());
    }

    RelaxedPoints r;
    r.soc.reserve(idx_rest.size());
    r.vsoc.reserve(idx_rest.size());
    // The charge to the sample before each rest end.
    std::vector<std::size_t> last(idx_rest.size());
    for (std::size_t j = 0; j < idx_rest.size(); ++j) last[j] = static_cast<std::size_t>(idx_rest[j]) - 1;
    const std::vector<double> mAh = compensated_charge_mAh(t, iload, last);
    for (std::size_t j = 0; j < idx_rest.size(); ++j) {
        const auto i = static_cast<std::size_t>(idx_rest[j]);
        r.vsample = v[i - 2];
        r.mAh = mAh[j];
        r.socval = 1.0 + r.mAh / total_mAh;
        r.relaxpoint = static_cast<std::int64_t>(j);
        r.vsoc.push_back(r.vsample);
        r.soc.push_back(r.socval);
    }
    return r;
}

std::vector<double> soc_grid() {
    std::vector<double> g(kSocGridSize);
    for (std::size_t k = 0; k < kSocGridSize; ++k) g[k] = static_cast<double>(k) * kSocGridStep;
    return g;
}

OcvOverTime ocv_over_time(const double* t, const double* v, std::size_t n, const std::vector<std::int64_t>& idx_rest,
                          const std::vector<std::int64_t>& idx_load) {
    if (n < 2) {
        std::ostringstream m;
        m << "OCV over time: the recording has " << n << " samples; at least two are needed";
        throw DataError(m.str());
    }
    check_rest_ends(idx_rest, n);
    for (std::int64_t k : idx_load) {
        if (k < 0 || static_cast<std::uint64_t>(k) >= n) {
            std::ostringstream m;
            m << "OCV over time: load end " << k << " is outside the recording of " << n << " samples";
            throw DataError(m.str());
        }
    }

    OcvOverTime o;
    o.ind_all.reserve(idx_rest.size() + idx_load.size());
    o.ind_all.insert(o.ind_all.end(), idx_rest.begin(), idx_rest.end());
    o.ind_all.insert(o.ind_all.end(), idx_load.begin(), idx_load.end());
    std::sort(o.ind_all.begin(), o.ind_all.end());

    o.vsoc_time.reserve(o.ind_all.size() + 2);
    o.vsoc_time.push_back(0.0);
    for (std::int64_t k : o.ind_all) o.vsoc_time.push_back(t[k]);
    o.vsoc_val.reserve(2 * idx_rest.size() + 1);
    for (std::int64_t i : idx_rest) {
        const double w = (v[i - 3] + v[i - 2]) / 2.0;
        o.vsoc_val.push_back(w);
        o.vsoc_val.push_back(w);
    }
    o.vsoc_time.push_back(t[n - 1]);
    o.vsoc_val.push_back(v[n - 2]);
    if (o.vsoc_time.size() > o.vsoc_val.size()) o.vsoc_time.resize(o.vsoc_val.size());
    if (o.vsoc_val.size() > o.vsoc_time.size()) o.vsoc_val.resize(o.vsoc_time.size());

    o.vsoc_val_itrp.resize(n);
    interp_linear(t, n, o.vsoc_time.data(), o.vsoc_val.data(), o.vsoc_time.size(), o.vsoc_val_itrp.data());
    o.ocv_diff.resize(n);
    for (std::size_t k = 0; k < n; ++k) o.ocv_diff[k] = v[k] - o.vsoc_val_itrp[k];
    return o;
}

PulseAnalysis analyse_pulses(const double* t, const double* iload, const double* v, const double* cum_mAh,
                             std::size_t n) {
    PulseAnalysis a;
    Histogram h = histogram21(iload, n);
    const LoadThreshold th = load_threshold(h);
    a.counts = std::move(h.counts);
    a.bins = std::move(h.edges);
    a.iload_ix = th.iload_ix;
    a.iload_th = th.iload_th;

    CurrentSteps steps = find_current_steps(iload, n, a.iload_th);
    if (steps.idx_rest.size() < 4) {
        std::ostringstream m;
        m << "found " << steps.idx_rest.size() << " rest end" << (steps.idx_rest.size() == 1 ? "" : "s")
          << " (current falling by more than the threshold " << a.iload_th << " A from one sample to the next) and "
          << steps.idx_load.size() << " load end" << (steps.idx_load.size() == 1 ? "" : "s")
          << "; a cubic OCV curve needs at least four rests";
        throw DataError(m.str());
    }

    RelaxedPoints rp = relaxed_points(t, iload, v, n, cum_mAh[n - 1], steps.idx_rest);
    for (std::size_t j = 0; j + 1 < rp.soc.size(); ++j) {
        if (!(rp.soc[j + 1] < rp.soc[j])) {
            std::ostringstream m;
            m.precision(17);
            m << "the state of charge of the relaxed points must fall from rest to rest, but rest " << j + 1
              << " (ending at sample " << steps.idx_rest[j] << ") has SOC " << rp.soc[j] << " and rest " << j + 2
              << " (ending at sample " << steps.idx_rest[j + 1] << ") has SOC " << rp.soc[j + 1]
              << "; the OCV-SOC curve needs strictly increasing SOC";
            throw DataError(m.str());
        }
    }

    a.spline = CubicSpline(std::vector<double>(rp.soc.rbegin(), rp.soc.rend()),
                           std::vector<double>(rp.vsoc.rbegin(), rp.vsoc.rend()));
    a.SOC = soc_grid();
    a.OCV_3rd.resize(a.SOC.size());
    a.spline.eval(a.SOC.data(), a.SOC.size(), a.OCV_3rd.data());

    OcvOverTime o = ocv_over_time(t, v, n, steps.idx_rest, steps.idx_load);
    a.ind_all = std::move(o.ind_all);
    a.vsoc_time = std::move(o.vsoc_time);
    a.vsoc_val = std::move(o.vsoc_val);
    a.vsoc_val_itrp = std::move(o.vsoc_val_itrp);
    a.ocv_diff = std::move(o.ocv_diff);

    a.relaxpoint = rp.relaxpoint;
    a.mAh = rp.mAh;
    a.socval = rp.socval;
    a.vsample = v[n - 2];
    a.soc = std::move(rp.soc);
    a.vsoc = std::move(rp.vsoc);

    a.idx_rest = std::move(steps.idx_rest);
    a.idx_rest.push_back(static_cast<std::int64_t>(n));
    a.idx_load = std::move(steps.idx_load);
    a.ind_slice = a.idx_rest;
    return a;
}

}  // namespace ecm
