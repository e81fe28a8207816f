// Micro benchmark of the C++ fitting path alone (no Python): the fits that
// one realistic model2 recording needs (1 s sampling, 19 cycles of a 180 s
// pulse at -2 A and an 1,800 s rest): 8 initial-value-search fits and, per
// cycle, a first-pass fit on the first 126 pulse samples and a second-pass
// fit on the 1,980-sample cycle window, warm-started as the extraction does,
// with the progress report at verbose level 2 (as the extraction runs them)
// collected into a string.
//
// Build by hand against a build tree's core library, e.g.
//   g++ -O3 -DNDEBUG -std=c++17 -I/work/main -isystem /usr/include/eigen3 \
//       benchmarks/bench_solver_micro.cpp build-perf/libecmcore.a -o /tmp/bench_solver_micro
//   /tmp/bench_solver_micro [repeats] [--verbose 0|1|2] [--dump FILE]
// --dump writes every fit's x, cost, nfev and status with 17 digits, so that
// two builds can be compared value by value.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/extract/fitting.hpp"

namespace {

struct Cycle {
    std::vector<double> t, i, y;
};

constexpr int kCycles = 19;
constexpr int kPulse = 180, kRest = 1800, kLead = 4;

// One cycle window: 4 rest samples, the pulse, the rest; the data are the
// two-branch response plus noise and a slow drift standing in for the error
// of the OCV estimate.
Cycle make_cycle(int k, std::mt19937_64& rng) {
    const int n = kLead + kPulse + kRest - 4;  // 1,980 samples
    Cycle c;
    c.t.resize(n);
    c.i.resize(n);
    c.y.resize(n);
    const double t0 = 36000.0 + k * 1984.0;
    for (int s = 0; s < n; ++s) {
        c.t[s] = t0 + s;
        c.i[s] = (s >= kLead && s < kLead + kPulse) ? -2.0 : 0.0;
    }
    const double soc = 1.0 - k / 20.0;
    const double r0 = 0.030 + 0.009 * (1.0 - soc), r1 = 0.015 + 0.009 * (1.0 - soc);
    const double r2 = 0.020 + 0.010 * (1.0 - soc);
    const double c1 = (30.0 + 9.0 * (1.0 - soc)) / r1, c2 = (500.0 + 150.0 * (1.0 - soc)) / r2;
    // The data are made here, independently of the library, so that two
    // builds see the same numbers: the current is piecewise constant after
    // the first sample of each level, each branch relaxes exponentially.
    const double r[2] = {r1, r2}, cc[2] = {c1, c2};
    double vb[2] = {0.0, 0.0};
    for (int s = 0; s < n; ++s) {
        if (s > 0) {
            for (int b = 0; b < 2; ++b) {
                const double a = std::exp(-(c.t[s] - c.t[s - 1]) / (r[b] * cc[b]));
                // linear current between the samples
                const double i0 = c.i[s - 1], di = c.i[s] - i0, x = (c.t[s] - c.t[s - 1]) / (r[b] * cc[b]);
                vb[b] = a * vb[b] + r[b] * ((1.0 - a) * i0 + (1.0 - (1.0 - a) / x) * di);
            }
        }
        c.y[s] = r0 * c.i[s] + vb[0] + vb[1];
    }
    std::normal_distribution<double> noise(0.0, 2e-4);
    for (int s = 0; s < n; ++s) c.y[s] += noise(rng) + 1e-3 * std::sin(s / 700.0);
    return c;
}

struct Timing {
    double total = 0.0;
    long fits = 0, nfev = 0;
    double rep = 0.0;     // time in the current repeat
    double best = 1e300;  // least time of one repeat
    void end_repeat() {
        best = std::min(best, rep);
        rep = 0.0;
    }
};

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv) {
    int repeats = 200;
    int verbose = 2;
    const char* dump = nullptr;
    for (int a = 1; a < argc; ++a) {
        if (std::strcmp(argv[a], "--dump") == 0 && a + 1 < argc)
            dump = argv[++a];
        else if (std::strcmp(argv[a], "--verbose") == 0 && a + 1 < argc)
            verbose = std::atoi(argv[++a]);
        else
            repeats = std::max(1, std::atoi(argv[a]));
    }
    std::mt19937_64 rng(7);
    std::vector<Cycle> cycles;
    for (int k = 0; k < kCycles; ++k) cycles.push_back(make_cycle(k, rng));

    std::string report;
    const auto print = [&report](const std::string& line) { report += line; };
    const double cinit[8] = {1, 10, 50, 100, 500, 1000, 2000, 4000};
    const std::size_t len_fall = static_cast<std::size_t>(kPulse * 0.7);

    Timing init, first, second;
    std::FILE* out = dump ? std::fopen(dump, "w") : nullptr;
    auto record = [&](const char* what, int k, const ecm::LsqResult& r) {
        if (out == nullptr) return;
        std::fprintf(out, "%s %d status %d nfev %d cost %.17g x", what, k, r.status, r.nfev, r.cost);
        for (Eigen::Index j = 0; j < r.x.size(); ++j) std::fprintf(out, " %.17g", r.x[j]);
        std::fprintf(out, "\n");
    };

    for (int rep = 0; rep < repeats; ++rep) {
        const bool log = rep == 0;
        const Cycle& c0 = cycles[0];
        std::array<double, 3> x1{0.5, 0.05, 1.0};
        for (int k = 0; k < 8; ++k) {
            report.clear();
            const double t0 = now();
            const auto r = ecm::fit_model1(c0.t.data() + kLead, c0.i.data() + kLead, c0.y.data() + kLead, len_fall,
                                           {0.5, 0.05, cinit[k]}, 0.1, 1e-8, verbose, print);
            init.total += now() - t0;
            init.rep += now() - t0;
            ++init.fits;
            init.nfev += r.nfev;
            if (log) record("init", k, r);
            if (k == 5) x1 = {r.x[0], r.x[1], r.x[2]};
        }
        std::array<double, 2> x2{1.0, 100.0};
        for (int k = 0; k < kCycles; ++k) {
            const Cycle& c = cycles[k];
            report.clear();
            double t0 = now();
            const auto r1 = ecm::fit_model1(c.t.data() + kLead, c.i.data() + kLead, c.y.data() + kLead, len_fall, x1,
                                            0.1, 1e-11, verbose, print);
            first.total += now() - t0;
            first.rep += now() - t0;
            ++first.fits;
            first.nfev += r1.nfev;
            if (log) record("pass1", k, r1);
            x1 = {r1.x[0], r1.x[1], r1.x[2]};
            report.clear();
            t0 = now();
            const auto r2 = ecm::fit_model2_branch(c.t.data(), c.i.data(), c.y.data(), c.t.size(), x1[0], x1[1], x1[2],
                                                   x2, 1.0, 1e-9, verbose, print);
            second.total += now() - t0;
            second.rep += now() - t0;
            ++second.fits;
            second.nfev += r2.nfev;
            if (log) record("pass2", k, r2);
            x2 = {r2.x[0], r2.x[1]};
        }
        init.end_repeat();
        first.end_repeat();
        second.end_repeat();
    }
    if (out) std::fclose(out);
    // mean over all repeats, and the best repeat (least disturbed by other load)
    auto show = [repeats](const char* what, const Timing& t, std::size_t m) {
        const double per_fit = 1e3 * t.total / t.fits, best = 1e3 * t.best * repeats / t.fits;
        std::printf(
            "%-27s %5zu samples: %8.4f ms per fit (best repeat %8.4f ms), %5.2f evaluations, "
            "%6.2f us per evaluation\n",
            what, m, per_fit, best, double(t.nfev) / t.fits, 1e3 * best * t.fits / t.nfev);
    };
    show("initial-value search fit", init, len_fall);
    show("first-pass fit (R0,R1,C1)", first, len_fall);
    show("second-pass fit (R2,C2)", second, cycles[0].t.size());
    const double per_recording = (init.total + first.total + second.total) / repeats;
    std::printf("all fits of one recording: %.3f ms (best repeat %.3f ms)\n", 1e3 * per_recording,
                1e3 * (init.best + first.best + second.best));
    return 0;
}
