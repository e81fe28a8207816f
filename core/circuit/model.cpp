#include "core/circuit/model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/base/errors.hpp"
#include "core/numeric/interp.hpp"

namespace ecm {

namespace {

double interp1(double x, const std::vector<double>& xp, const std::vector<double>& fp) {
    double out = 0.0;
    interp_linear(&x, 1, xp.data(), fp.data(), xp.size(), &out);
    return out;
}

bool all_finite(const std::vector<double>& v) {
    return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

double inverse_kelvin(double celsius) {
    return 1.0 / std::max(celsius + 273.15, 1.0);
}

// A resistance or time constant at T from its values at the model's (ascending,
// unique) temperatures: one temperature gives its value; between two, the
// Arrhenius law through them (the logarithm linear in 1/T, T in kelvin); beyond
// the ends, the Arrhenius law of all of them (least squares), anchored at the
// nearer end and never falling as the cell gets colder. Values that are not all
// positive are linear between the temperatures and held beyond them.
double arrhenius_at(double t, const std::vector<double>& temps, const std::vector<double>& vals) {
    const std::size_t n = temps.size();
    if (n == 1) return vals[0];
    if (!std::all_of(vals.begin(), vals.end(), [](double v) { return v > 0.0 && std::isfinite(v); }))
        return interp1(t, temps, vals);
    std::vector<double> x(n), y(n);
    for (std::size_t k = 0; k < n; ++k) {
        x[k] = inverse_kelvin(temps[k]);
        y[k] = std::log(vals[k]);
    }
    const double xt = inverse_kelvin(t);
    if (t >= temps.front() && t <= temps.back()) {
        const auto hi = static_cast<std::size_t>(std::upper_bound(temps.begin(), temps.end(), t) - temps.begin());
        if (hi >= n) return vals[n - 1];
        const std::size_t lo = hi - 1;
        const double w = (xt - x[lo]) / (x[hi] - x[lo]);
        return std::exp(y[lo] + w * (y[hi] - y[lo]));
    }
    double mx = 0.0, my = 0.0;
    for (std::size_t k = 0; k < n; ++k) mx += x[k] / static_cast<double>(n), my += y[k] / static_cast<double>(n);
    double sxx = 0.0, sxy = 0.0;
    for (std::size_t k = 0; k < n; ++k) sxx += (x[k] - mx) * (x[k] - mx), sxy += (x[k] - mx) * (y[k] - my);
    const double slope = sxx > 0.0 ? std::max(sxy / sxx, 0.0) : 0.0;
    const std::size_t end = t < temps.front() ? 0 : n - 1;
    return std::exp(y[end] + slope * (xt - x[end]));
}

// T clamped to the model's temperatures.
double within(double t, const std::vector<double>& temps) {
    return std::min(std::max(t, temps.front()), temps.back());
}

// Unique ascending temperatures and, per temperature, the mean of the values there.
void average_by_temperature(const std::vector<double>& temps, const std::vector<std::vector<double>*>& values,
                            std::vector<double>& uniq, const std::vector<std::vector<double>*>& out) {
    uniq = temps;
    std::sort(uniq.begin(), uniq.end());
    uniq.erase(std::unique(uniq.begin(), uniq.end()), uniq.end());
    for (std::size_t q = 0; q < values.size(); ++q) {
        out[q]->assign(uniq.size(), 0.0);
        for (std::size_t u = 0; u < uniq.size(); ++u) {
            double sum = 0.0;
            int count = 0;
            for (std::size_t k = 0; k < temps.size(); ++k)
                if (temps[k] == uniq[u]) {
                    sum += (*values[q])[k];
                    ++count;
                }
            (*out[q])[u] = sum / count;
        }
    }
}

}  // namespace

ModelEvaluator::ModelEvaluator(ModelData data) : d_(std::move(data)) {
    const std::size_t n = d_.temps.size();
    if (d_.soc.empty() || d_.ocv0.size() != d_.soc.size() || d_.ocvrel.size() != d_.soc.size())
        throw DataError("the OCV tables need one value per SOC point");
    if (n == 0 || d_.r0.size() != n || d_.capacity_ah.size() != n)
        throw DataError("R0 and the capacity need one value per temperature");
    if (d_.r.empty() || d_.r.size() != d_.tau.size()) throw DataError("every RC branch needs R and tau");
    for (std::size_t b = 0; b < d_.r.size(); ++b)
        if (d_.r[b].size() != n || d_.tau[b].size() != n)
            throw DataError("every RC branch needs one R and one tau per temperature");
    for (std::size_t k = 1; k < d_.soc.size(); ++k)
        if (!(d_.soc[k] > d_.soc[k - 1])) throw DataError("the SOC axis must be ascending");
    if (!all_finite(d_.soc) || !all_finite(d_.ocv0) || !all_finite(d_.ocvrel) || !all_finite(d_.temps) ||
        !all_finite(d_.r0) || !all_finite(d_.capacity_ah))
        throw DataError("the model holds values that are not finite");
    if (!d_.table_soc.empty()) {
        if (!all_finite(d_.table_soc) || !all_finite(d_.table_temps) || d_.table_temps.empty())
            throw DataError("the SOC tables' SOC and temperatures must be finite numbers");
        for (std::size_t k = 1; k < d_.table_soc.size(); ++k)
            if (!(d_.table_soc[k] > d_.table_soc[k - 1])) throw DataError("the SOC tables' SOC must be ascending");
        for (const auto& [name, rows] : d_.tables) {
            if (rows.size() != d_.table_temps.size())
                throw DataError("the SOC table " + name + " needs one row per table temperature");
            for (const auto& row : rows)
                if (row.size() != d_.table_soc.size())
                    throw DataError("the SOC table " + name + " needs one value per SOC point");
        }
    }
    std::vector<std::vector<double>*> in{&d_.r0, &d_.capacity_ah}, out{&r0_, &cap_};
    r_.resize(d_.r.size());
    tau_.resize(d_.tau.size());
    for (std::size_t b = 0; b < d_.r.size(); ++b) {
        in.push_back(&d_.r[b]);
        out.push_back(&r_[b]);
        in.push_back(&d_.tau[b]);
        out.push_back(&tau_[b]);
    }
    average_by_temperature(d_.temps, in, temps_, out);
    if (!d_.ocv_temps.empty()) {
        if (d_.ocv_table.size() != d_.ocv_temps.size()) throw DataError("the OCV table needs one row per temperature");
        for (const auto& row : d_.ocv_table)
            if (row.size() != d_.soc.size() || !all_finite(row))
                throw DataError("the OCV table needs one finite value per point of the model's SOC axis (" +
                                std::to_string(d_.soc.size()) + ")");
        if (!all_finite(d_.ocv_temps)) throw DataError("the OCV table's temperatures must be finite numbers");
        ocv_temps_ = d_.ocv_temps;
        std::sort(ocv_temps_.begin(), ocv_temps_.end());
        ocv_temps_.erase(std::unique(ocv_temps_.begin(), ocv_temps_.end()), ocv_temps_.end());
        ocv_rows_.assign(ocv_temps_.size(), std::vector<double>(d_.soc.size(), 0.0));
        for (std::size_t u = 0; u < ocv_temps_.size(); ++u) {
            int count = 0;
            for (std::size_t k = 0; k < d_.ocv_temps.size(); ++k)
                if (d_.ocv_temps[k] == ocv_temps_[u]) {
                    for (std::size_t j = 0; j < d_.soc.size(); ++j) ocv_rows_[u][j] += d_.ocv_table[k][j];
                    ++count;
                }
            for (double& x : ocv_rows_[u]) x /= count;
        }
    }
}

std::vector<double> ModelEvaluator::ocv(double temperature) const {
    std::vector<double> v(d_.soc.size());
    if (has_ocv_table()) {
        // linear between the table's temperatures, held beyond them
        const std::size_t nt = ocv_temps_.size();
        const double t = within(temperature, ocv_temps_);
        if (nt == 1) return ocv_rows_[0];
        const auto hi = std::min<std::size_t>(
            std::max<std::size_t>(static_cast<std::size_t>(std::upper_bound(ocv_temps_.begin(), ocv_temps_.end(), t) -
                                                           ocv_temps_.begin()),
                                  1),
            nt - 1);
        const double w = (t - ocv_temps_[hi - 1]) / (ocv_temps_[hi] - ocv_temps_[hi - 1]);
        for (std::size_t k = 0; k < v.size(); ++k)
            v[k] = ocv_rows_[hi - 1][k] + w * (ocv_rows_[hi][k] - ocv_rows_[hi - 1][k]);
        return v;
    }
    // The builder's linear law in T holds where the data determine it: between the model's temperatures
    // (at the one temperature of a one-temperature model), held at the ends beyond them.
    const double t = within(temperature, temps_);
    for (std::size_t k = 0; k < v.size(); ++k) v[k] = d_.ocv0[k] + d_.ocvrel[k] * t;
    return v;
}

std::vector<double> ModelEvaluator::ocv_slope(double temperature) const {
    if (has_ocv_table()) {
        const std::size_t nt = ocv_temps_.size();
        if (nt == 1) return std::vector<double>(d_.soc.size(), 0.0);
        auto hi = static_cast<std::size_t>(std::upper_bound(ocv_temps_.begin(), ocv_temps_.end(), temperature) -
                                           ocv_temps_.begin());
        hi = std::min(std::max<std::size_t>(hi, 1), nt - 1);
        std::vector<double> s(d_.soc.size());
        for (std::size_t k = 0; k < s.size(); ++k)
            s[k] = (ocv_rows_[hi][k] - ocv_rows_[hi - 1][k]) / (ocv_temps_[hi] - ocv_temps_[hi - 1]);
        return s;
    }
    if (temps_.size() < 2) return std::vector<double>(d_.soc.size(), 0.0);
    return d_.ocvrel;
}

double ModelEvaluator::capacity_ah(double temperature) const {
    return interp1(temperature, temps_, cap_);
}

const std::vector<double>& ModelEvaluator::by_temperature(const std::string& name) const {
    if (name == "R0") return r0_;
    if (name.size() >= 2) {
        const bool is_tau = name.rfind("tau", 0) == 0, is_r = name[0] == 'R';
        const std::string digits = name.substr(is_tau ? 3 : 1);
        if ((is_tau || is_r) && !digits.empty() && std::all_of(digits.begin(), digits.end(), ::isdigit)) {
            const auto b = static_cast<std::size_t>(std::stoi(digits)) - 1;
            if (b < r_.size()) return is_tau ? tau_[b] : r_[b];
        }
    }
    throw DataError("the model has no quantity " + name);
}

std::vector<std::vector<double>> ModelEvaluator::table_grid(const std::string& name) const {
    auto it = d_.tables.find(name);
    if (it == d_.tables.end()) throw DataError("the SOC tables have no " + name);
    std::vector<std::vector<double>> rows = it->second;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        std::vector<double> xs, ys;
        for (std::size_t j = 0; j < rows[k].size(); ++j)
            if (std::isfinite(rows[k][j])) {
                xs.push_back(d_.table_soc[j]);
                ys.push_back(rows[k][j]);
            }
        if (xs.size() == rows[k].size()) continue;
        if (!xs.empty())
            rows[k] = interp_linear(d_.table_soc, xs, ys);
        else if (name == kSlowR || name == kSlowTau || name == kOcvOffset)
            throw DataError("the SOC table " + name + " has a temperature without values");
        else
            rows[k].assign(rows[k].size(), interp1(d_.table_temps[k], temps_, by_temperature(name)));
    }
    return rows;
}

std::pair<std::vector<double>, std::vector<std::vector<double>>> ModelEvaluator::table_by_temperature(
    const std::string& name) const {
    const std::vector<std::vector<double>> rows = table_grid(name);
    std::vector<double> uniq = d_.table_temps;
    std::sort(uniq.begin(), uniq.end());
    uniq.erase(std::unique(uniq.begin(), uniq.end()), uniq.end());
    std::vector<std::vector<double>> out(uniq.size(), std::vector<double>(d_.table_soc.size(), 0.0));
    for (std::size_t u = 0; u < uniq.size(); ++u) {
        int count = 0;
        for (std::size_t k = 0; k < rows.size(); ++k)
            if (d_.table_temps[k] == uniq[u]) {
                for (std::size_t j = 0; j < rows[k].size(); ++j) out[u][j] += rows[k][j];
                ++count;
            }
        for (double& x : out[u]) x /= count;
    }
    return {uniq, out};
}

bool ModelEvaluator::has_slow_branch() const {
    return has_tables() && d_.tables.count(kSlowR) && d_.tables.count(kSlowTau);
}

SimModel ModelEvaluator::at(double temperature, bool use_tables, bool use_slow) const {
    SimModel m;
    m.ocv_soc = d_.soc;
    m.ocv_v = ocv(temperature);
    m.capacity_ah = capacity_ah(temperature);
    const auto nb = r_.size();
    if (use_tables && has_tables()) {
        m.param_soc = d_.table_soc;
        auto column_at = [&](const std::string& name) {
            const auto [temps, rows] = table_by_temperature(name);
            std::vector<double> out(d_.table_soc.size()), col(temps.size());
            for (std::size_t j = 0; j < out.size(); ++j) {
                for (std::size_t u = 0; u < temps.size(); ++u) col[u] = rows[u][j];
                out[j] = arrhenius_at(temperature, temps, col);
            }
            return out;
        };
        m.r0 = column_at("R0");
        for (std::size_t b = 0; b < nb; ++b) {
            m.r.push_back(column_at("R" + std::to_string(b + 1)));
            m.tau.push_back(column_at("tau" + std::to_string(b + 1)));
        }
        if (use_slow && has_slow_branch()) {
            m.r.push_back(column_at(kSlowR));
            m.tau.push_back(column_at(kSlowTau));
        }
        if (use_slow && d_.tables.count(kOcvOffset)) {  // a calibration's OCV offsets
            const std::vector<double> off = interp_linear(m.ocv_soc, d_.table_soc, column_at(kOcvOffset));
            for (std::size_t k = 0; k < off.size(); ++k) m.ocv_v[k] += off[k];
        }
    } else {
        m.param_soc = {0.0};
        m.r0 = {arrhenius_at(temperature, temps_, r0_)};
        for (std::size_t b = 0; b < nb; ++b) {
            m.r.push_back({arrhenius_at(temperature, temps_, r_[b])});
            m.tau.push_back({arrhenius_at(temperature, temps_, tau_[b])});
        }
    }
    return m;
}

}  // namespace ecm
