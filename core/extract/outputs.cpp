#include "core/extract/outputs.hpp"

#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include "core/base/numtext.hpp"
#include "core/base/stats.hpp"

namespace ecm {

OutputPaths output_paths(const std::string& results_dir, const std::string& recording_path) {
    auto slash = recording_path.find_last_of('/');
    std::string name = slash == std::string::npos ? recording_path : recording_path.substr(slash + 1);
    const std::string ext = ".csv";
    if (name.size() >= ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0) {
        name.resize(name.size() - ext.size());
    }
    std::string base = results_dir + "/" + name;
    return {base + "_params.json", base + "_ocv.csv"};
}

namespace {

void append_e18(std::string& out, double x) {
    if (std::isnan(x)) {
        out += "nan";
        return;
    }
    if (std::isinf(x)) {
        out += x > 0 ? "inf" : "-inf";
        return;
    }
    char buf[64];
    int len = std::snprintf(buf, sizeof buf, "%.18e", x);
    out.append(buf, static_cast<std::size_t>(len));
}

// A number as json.dumps writes it (NaN and the infinities as Python spells them).
void append_json_number(std::string& out, double x) {
    if (std::isnan(x))
        out += "NaN";
    else if (std::isinf(x))
        out += x > 0 ? "Infinity" : "-Infinity";
    else
        out += py_repr(x);
}

void append_json_list(std::string& out, const std::vector<double>& v) {
    out += '[';
    for (std::size_t k = 0; k < v.size(); ++k) {
        if (k) out += ", ";
        append_json_number(out, v[k]);
    }
    out += ']';
}

}  // namespace

std::string params_file_text(double temperature, double charge_Ah, const std::vector<double>& median,
                             const std::vector<double>& soc, const std::vector<double>& ocv) {
    std::string out = "{\"TempC\": ";
    const double whole = std::nearbyint(temperature);
    if (std::isfinite(temperature) && std::fabs(temperature - whole) < 1e-9 && std::fabs(whole) < 9.0e18)
        out += std::to_string(static_cast<long long>(whole));
    else
        append_json_number(out, temperature);
    out += ", \"Tparam_1\": ";
    append_json_number(out, charge_Ah);
    out += ", \"Tparam_2\": ";
    append_json_list(out, median);
    out += ", \"Tparam_3\": [";
    append_json_list(out, soc);
    out += ", ";
    append_json_list(out, ocv);
    out += "]}";
    return out;
}

std::string ocv_table_text(const std::vector<double>& soc, const std::vector<double>& ocv) {
    if (soc.size() != ocv.size()) throw std::invalid_argument("SOC and OCV tables differ in length");
    std::string out = "# SOC,OCV\n";
    out.reserve(out.size() + soc.size() * 52);
    for (std::size_t k = 0; k < soc.size(); ++k) {
        append_e18(out, soc[k]);
        out += ',';
        append_e18(out, ocv[k]);
        out += '\n';
    }
    return out;
}

void column_mean_median(const std::vector<std::vector<double>>& columns, std::vector<double>& mean_out,
                        std::vector<double>& median_out) {
    mean_out.clear();
    median_out.clear();
    for (const auto& col : columns) {
        std::vector<double> finite;
        finite.reserve(col.size());
        for (double x : col)
            if (!std::isnan(x)) finite.push_back(x);
        mean_out.push_back(finite.empty() ? std::numeric_limits<double>::quiet_NaN()
                                          : mean(finite.data(), finite.size()));
        median_out.push_back(median(finite));
    }
}

}  // namespace ecm
