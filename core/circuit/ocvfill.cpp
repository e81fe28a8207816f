#include "core/circuit/ocvfill.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/base/errors.hpp"
#include "core/numeric/charge.hpp"
#include "core/numeric/interp.hpp"

namespace ecm {
namespace {

// A contiguous stretch of samples loaded in one direction, from `from` on: [first, last]; first == n: none.
struct Block {
    std::size_t first, last;
};

Block loaded_block(const std::vector<double>& i, std::size_t from, double threshold, int sign) {
    const std::size_t n = i.size();
    std::size_t a = from;
    while (a < n && !(sign * i[a] > threshold)) ++a;
    if (a == n) return {n, n};
    std::size_t b = a;
    while (b + 1 < n && sign * i[b + 1] > threshold) ++b;
    return {a, b};
}

double median_abs(const std::vector<double>& i, Block blk) {
    std::vector<double> a;
    for (std::size_t k = blk.first; k <= blk.last; ++k) a.push_back(std::fabs(i[k]));
    std::nth_element(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(a.size() / 2), a.end());
    return a[a.size() / 2];
}

// The constant-current part of a block as (SOC ascending, V), one value per SOC.
void branch_curve(const std::vector<double>& i, const double* v, const std::vector<double>& soc, Block blk,
                  std::vector<double>& xs, std::vector<double>& ys) {
    const double level = median_abs(i, blk);
    std::vector<std::pair<double, double>> pts;
    for (std::size_t k = blk.first; k <= blk.last; ++k)
        if (std::fabs(i[k]) >= 0.8 * level) pts.emplace_back(soc[k], v[k]);
    std::sort(pts.begin(), pts.end());
    xs.clear();
    ys.clear();
    for (const auto& [s, y] : pts) {
        if (!xs.empty() && s <= xs.back()) continue;
        xs.push_back(s);
        ys.push_back(y);
    }
}

}  // namespace

OcvFill fill_ocv(const double* t, const double* i_in, const double* v, std::size_t n,
                 const std::vector<double>& soc_axis, const std::vector<double>& relaxed_soc,
                 const std::vector<double>& relaxed_ocv, const std::vector<double>& base_ocv, double capacity_ah,
                 double resistance_ohm) {
    if (n < 3) throw DataError("the slow test has " + std::to_string(n) + " samples; at least 3 are needed");
    for (std::size_t k = 0; k < n; ++k) {
        if (!std::isfinite(t[k]) || !std::isfinite(i_in[k]) || !std::isfinite(v[k]))
            throw DataError("the slow test holds a value that is not finite (row " + std::to_string(k + 1) + ")");
        if (k > 0 && t[k] < t[k - 1])
            throw DataError("the slow test's time goes backwards at row " + std::to_string(k + 1));
    }
    if (soc_axis.size() < 2 || base_ocv.size() != soc_axis.size())
        throw DataError("the SOC axis needs at least two points and one base OCV value per point");
    if (relaxed_soc.empty() || relaxed_soc.size() != relaxed_ocv.size())
        throw DataError("the pulse test gives no relaxed OCV points to correct the slow test to");
    if (!(capacity_ah > 0.0 && std::isfinite(capacity_ah)))
        throw DataError("the capacity is " + std::to_string(capacity_ah) + " Ah; expected a positive number");
    if (!(resistance_ohm >= 0.0 && std::isfinite(resistance_ohm)))
        throw DataError("the resistance must be a finite number >= 0");

    OcvFill out;
    std::vector<double> i(i_in, i_in + n);
    double peak = 0.0;
    for (double x : i) peak = std::max(peak, std::fabs(x));
    if (peak == 0.0) throw DataError("the slow test carries no current; expected a slow discharge");
    const double threshold = 0.05 * peak;
    // the first load is the discharge: its voltage falls
    Block first = loaded_block(i, 0, threshold, i[0] > threshold ? 1 : -1);
    if (first.first == n) first = loaded_block(i, 0, threshold, 1);
    if (first.first == n) first = loaded_block(i, 0, threshold, -1);
    const bool falls = v[first.last] < v[first.first];
    if (!falls) throw DataError("the slow test's first load does not lower the voltage; expected a discharge first");
    if (i[first.first] > 0.0) {
        out.flipped = true;
        for (double& x : i) x = -x;
    }
    const Block dis = first;
    if (dis.last - dis.first < 2) throw DataError("the slow test's discharge holds fewer than three samples");
    const std::vector<double> q = cumulative_charge_As(t, i.data(), n);
    const double q_as = capacity_ah * 3600.0;
    std::vector<double> soc(n);
    for (std::size_t k = 0; k < n; ++k) soc[k] = 1.0 + (q[k] - q[dis.first]) / q_as;
    out.discharge_ah = (q[dis.first] - q[dis.last]) / 3600.0;

    std::vector<double> dx, dy, cx, cy;
    branch_curve(i, v, soc, dis, dx, dy);
    const Block ch = loaded_block(i, dis.last + 1, threshold, 1);
    if (ch.first < n && ch.last - ch.first >= 2) {
        branch_curve(i, v, soc, ch, cx, cy);
        out.charge_ah = (q[ch.last] - q[ch.first]) / 3600.0;
    }
    if (dx.size() < 2) throw DataError("the slow test's discharge covers no SOC range");
    out.soc_low = dx.front();
    out.soc_high = dx.back();
    const double lo_c = cx.size() >= 2 ? std::max(cx.front(), dx.front()) : 1.0;
    const double hi_c = cx.size() >= 2 ? std::min(cx.back(), dx.back()) : 0.0;
    out.has_charge = lo_c < hi_c;
    const double drop = median_abs(i, dis) * resistance_ohm;
    std::size_t hd = 0, hc = 0;
    // half the gap between the branches, held beyond the SOC range both cover
    auto half_gap = [&](double s) {
        if (!out.has_charge) return drop;
        const double c = std::min(std::max(s, lo_c), hi_c);
        return 0.5 * (interp_linear_at(c, cx.data(), cy.data(), cx.size(), hc) -
                      interp_linear_at(c, dx.data(), dy.data(), dx.size(), hd));
    };
    auto pseudo_at = [&](double s) { return interp_linear_at(s, dx.data(), dy.data(), dx.size(), hd) + half_gap(s); };

    // the differences at the relaxed points inside the covered range (repeated SOC averaged)
    std::vector<std::pair<double, double>> rel;
    for (std::size_t k = 0; k < relaxed_soc.size(); ++k) {
        if (!std::isfinite(relaxed_soc[k]) || !std::isfinite(relaxed_ocv[k]))
            throw DataError("a relaxed OCV point is not finite");
        if (relaxed_soc[k] >= out.soc_low && relaxed_soc[k] <= out.soc_high)
            rel.emplace_back(relaxed_soc[k], relaxed_ocv[k] - pseudo_at(relaxed_soc[k]));
    }
    if (rel.empty())
        throw DataError("no relaxed point of the pulse test lies in the SOC range the slow test covers (" +
                        std::to_string(out.soc_low) + " to " + std::to_string(out.soc_high) + ")");
    std::sort(rel.begin(), rel.end());
    std::vector<double> rx, ry;
    for (std::size_t k = 0; k < rel.size();) {
        std::size_t j = k;
        double sum = 0.0;
        while (j < rel.size() && rel[j].first == rel[k].first) sum += rel[j++].second;
        rx.push_back(rel[k].first);
        ry.push_back(sum / static_cast<double>(j - k));
        k = j;
    }
    out.relaxed_used = static_cast<int>(rx.size());

    const std::size_t m = soc_axis.size();
    out.ocv.assign(m, std::nan(""));
    out.pseudo.assign(m, std::nan(""));
    out.correction.assign(m, std::nan(""));
    std::vector<double> inside;
    std::vector<std::size_t> idx;
    for (std::size_t k = 0; k < m; ++k)
        if (soc_axis[k] >= out.soc_low && soc_axis[k] <= out.soc_high) {
            idx.push_back(k);
            inside.push_back(std::min(std::max(soc_axis[k], rx.front()), rx.back()));
        }
    if (idx.empty()) throw DataError("the slow test covers no point of the model's SOC axis");
    const std::vector<double> corr = rx.size() == 1 ? std::vector<double>(idx.size(), ry[0]) : pchip(rx, ry, inside);
    for (std::size_t j = 0; j < idx.size(); ++j) {
        const std::size_t k = idx[j];
        out.pseudo[k] = pseudo_at(soc_axis[k]);
        out.correction[k] = corr[j];
        out.ocv[k] = out.pseudo[k] + corr[j];
    }
    // beyond the slow test: the base curve, shifted to meet the filled one
    const double off_lo = out.ocv[idx.front()] - base_ocv[idx.front()];
    const double off_hi = out.ocv[idx.back()] - base_ocv[idx.back()];
    for (std::size_t k = 0; k < m; ++k) {
        if (k < idx.front()) out.ocv[k] = base_ocv[k] + off_lo;
        if (k > idx.back()) out.ocv[k] = base_ocv[k] + off_hi;
    }
    return out;
}

}  // namespace ecm
