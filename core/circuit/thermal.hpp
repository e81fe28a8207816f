#pragma once
// A finished model driven by a measured current at a temperature that changes
// sample by sample: the cell's measured temperature, or one predicted by a
// lumped thermal model from the ambient. The circuit parameters, the OCV and the
// capacity come from the evaluator at each sample's temperature.
#include <cstddef>
#include <vector>

#include "core/circuit/model.hpp"
#include "core/circuit/simulate.hpp"

namespace ecm {

// One heat capacity and one conductance to the ambient:
// C dT/dt = i (v - OCV) + i T_K dOCV/dT - G (T - T_ambient), with i charge positive
// (the first term the heat of the overpotential, the second the reversible heat).
struct LumpedThermal {
    double heat_capacity_j_per_k = 0.0;
    double conductance_w_per_k = 0.0;
};

// Where the temperature comes from: `measured` (C per sample), or `ambient` (C
// per sample) with the thermal model, starting at `initial` (NaN: the first
// ambient value). Exactly one of measured and ambient is given.
struct TemperatureInput {
    const double* measured = nullptr;
    const double* ambient = nullptr;
    LumpedThermal thermal;
    double initial = 0.0;
};

struct ThermalSimResult : SimResult {
    std::vector<double> temperature;  // C per sample: the one the parameters were taken at
    std::vector<double> heat;         // W per sample: what the thermal model sees (along a measured one too)
    int temperatures_evaluated = 0;   // distinct rounded temperatures the model was evaluated at
};

// Simulates as simulate_model does (parameters at the SOC of each interval's
// middle, each branch by its exact response to the linear current), with the
// model at the temperature of the interval's first sample, rounded to
// `step_c` (the evaluations are cached per rounded temperature). The SOC moves
// by the charge over each interval divided by the capacity at that temperature.
// The thermal model moves the temperature by its exact response to the heat of
// the interval's first sample. Throws DataError for bad input.
ThermalSimResult simulate_model_at_temperatures(const double* t, const double* i, std::size_t n,
                                                const ModelEvaluator& ev, double soc0, bool use_tables,
                                                const TemperatureInput& temperature, double step_c = 0.1);

// x (sampled at t) smoothed in time and read at the times t_out: at each the mean of
// the finite samples within window_s / 2 of it, else (no sample that near) the
// finite samples linear between. t and t_out non-decreasing; throws DataError
// otherwise or when no value is finite.
std::vector<double> smooth_in_time(const double* t, const double* x, std::size_t n, double window_s,
                                   const double* t_out, std::size_t m);

// The lumped thermal model fitted on a recording's measured cell temperature: heat capacity,
// conductance and the ambient that explain it, and how closely (RMS of the temperature the fitted
// model predicts from the recording's first sample, K).
struct ThermalFit {
    LumpedThermal thermal;
    double ambient_c = 0.0;
    double rms_k = 0.0;
    double tau_s = 0.0;     // C / G
    bool on_bound = false;  // tau at min_tau_s or at the recording's length: not pinned by it
};

// Fits C dT/dt = heat - G (T - T_ambient) to the measured temperature temp_c (C) of samples t given
// the heat per sample (W; as simulate_model_at_temperatures reports it, so the fitted values predict
// the temperature in its thermal mode), by the temperature it predicts from the first sample's
// (output error, so the sensor's noise is not differentiated): for each time constant C / G (log
// grid from min_tau_s to the recording's length, then golden sections) the ambient and 1 / C by
// linear least squares. Throws DataError for bad input, a temperature that hardly moves (under
// 0.2 K: nothing to fit) or no positive heat capacity.
ThermalFit fit_lumped_thermal(const double* t, const double* heat_w, const double* temp_c, std::size_t n,
                              double min_tau_s = 10.0);

}  // namespace ecm
