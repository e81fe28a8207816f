// Rest and load detection, the OCV-SOC curve and the overvoltage signal.
#include <pybind11/pybind11.h>

#include "ecmfit/core/pulses.hpp"
#include "ecmfit/pyface.hpp"
#include "ecmfit/steps.hpp"
#include "common/errors.hpp"

namespace ecmpy {

void detect_pulses(py::module_& m, Recording& rec) {
    ecm::PulseAnalysis a;
    try {
        a = ecm::analyse_pulses(rec.t.data(), rec.iload.data(), rec.v.data(), rec.cum_mAh.data(), rec.t.size());
    } catch (const ecm::DataError& e) {
        raise(PyExc_ValueError, rec.infile + ": " + e.what());
    }
    m.attr("counts") = to_array(std::move(a.counts));
    m.attr("bins") = to_array(std::move(a.bins));
    m.attr("iload_ix") = a.iload_ix;
    m.attr("iload_th") = a.iload_th;
    m.attr("idx_rest") = to_array(std::move(a.idx_rest));
    m.attr("idx_load") = to_array(a.idx_load);
    m.attr("soc") = to_array(std::move(a.soc));
    m.attr("vsoc") = to_array(std::move(a.vsoc));
    m.attr("relaxpoint") = a.relaxpoint;
    m.attr("vsample") = a.vsample;
    m.attr("mAh") = a.mAh;
    m.attr("socval") = a.socval;
    m.attr("vsoc_itrp_3rd") = py::cast(a.spline);
    m.attr("SOC") = to_array(a.SOC);
    m.attr("OCV_3rd") = to_array(a.OCV_3rd);
    m.attr("ind_all") = to_array(std::move(a.ind_all));
    m.attr("vsoc_time") = to_array(std::move(a.vsoc_time));
    m.attr("vsoc_val") = to_array(std::move(a.vsoc_val));
    m.attr("vsoc_val_itrp") = to_array(std::move(a.vsoc_val_itrp));
    rec.ocv_diff = DArray{to_array(std::move(a.ocv_diff))};
    m.attr("ocv_diff") = rec.ocv_diff.a;
    m.attr("start_time") = py::module_::import("time").attr("time")();
    m.attr("ind_slice") = m.attr("idx_rest");  // one vector under both names

    rec.SOC = std::move(a.SOC);
    rec.OCV_3rd = std::move(a.OCV_3rd);
    rec.idx_load = std::move(a.idx_load);
    rec.ind_slice = std::move(a.ind_slice);
}

}  // namespace ecmpy
