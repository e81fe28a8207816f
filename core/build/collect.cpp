#include "core/build/collect.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <string>

#include "core/base/errors.hpp"
#include "core/base/numtext.hpp"

namespace ecm::gen {

namespace {

[[noreturn]] void bad(const ParamFile& f, const std::string& what) {
    throw DataError(f.name + ": " + what);
}

}  // namespace

void check_param_file(const ParamFile& f, std::size_t rows) {
    if (!std::isfinite(f.temp_c))
        bad(f, "\"TempC\" is " + py_repr(f.temp_c) + ", expected a finite temperature in degrees Celsius");
    if (f.rc.size() != 3 && f.rc.size() != 5)
        bad(f, "\"Tparam_2\" holds " + std::to_string(f.rc.size()) +
                   " values, expected 3 (R0, R1, C1) or 5 (R0, R1, C1, R2, C2)");
    if (f.soc.size() != f.ocv.size())
        bad(f, "\"Tparam_3\" holds " + std::to_string(f.soc.size()) + " SOC values and " +
                   std::to_string(f.ocv.size()) + " OCV values, expected lists of equal length");
    if (rows == 0 && f.soc.size() < 2)
        bad(f, "\"Tparam_3\" holds " + std::to_string(f.soc.size()) +
                   " SOC points, expected at least 2 to form the derivatives along SOC");
    if (rows != 0 && f.soc.size() != rows)
        bad(f, "\"Tparam_3\" holds " + std::to_string(f.soc.size()) + " SOC/OCV points, expected " +
                   std::to_string(rows) + " like the parameter files read before");
}

Collection collect(const std::vector<ParamFile>& files) {
    if (files.empty()) throw DataError("no '*_params.json' file in the results directory, expected at least one");

    Collection c;
    std::map<double, double> cap_data;
    std::map<double, std::vector<double>> rcparams;
    std::size_t rows = 0;
    for (const auto& f : files) {
        check_param_file(f, rows);
        rows = f.soc.size();
        c.temperatures.push_back(f.temp_c);
        cap_data[f.temp_c] = f.capacity_ah;
        c.soc = f.soc;
        auto it = std::find(c.ocv_temps.begin(), c.ocv_temps.end(), f.temp_c);
        if (it == c.ocv_temps.end()) {
            c.ocv_temps.push_back(f.temp_c);
            c.ocv_columns.push_back(f.ocv);
        } else {
            c.ocv_columns[static_cast<std::size_t>(it - c.ocv_temps.begin())] = f.ocv;
        }
        rcparams[f.temp_c] = f.rc;
    }
    std::sort(c.temperatures.begin(), c.temperatures.end());
    for (double t : c.temperatures) {
        c.capacities.push_back(cap_data.at(t));
        c.rcparams.push_back(rcparams.at(t));
    }
    return c;
}

}  // namespace ecm::gen
