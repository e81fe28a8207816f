// Fuzz target: the builder's collection, table derivation and model text.
//
// Parameter tables come from fuzzed parameter files (temperatures drawn from
// a small set so repeats happen, lists of any length, any numbers) or as a
// collection put together directly, possibly inconsistent. Checked on every
// run that returns: the table lengths the model file relies on, and a model
// text that is one line of JSON with no exponent notation.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "core/build/collect.hpp"
#include "core/build/model_text.hpp"
#include "core/build/tables.hpp"
#include "core/numeric/interp.hpp"
#include "fuzz_common.hpp"

namespace {

std::vector<double> values(FuzzedDataProvider& p, std::size_t n, double lo, double hi) {
    std::vector<double> v(n);
    for (auto& x : v) x = fuzz::mostly_in(p, lo, hi, 24);
    return v;
}

std::vector<ecm::gen::ParamFile> files(FuzzedDataProvider& p) {
    std::vector<ecm::gen::ParamFile> fs(p.ConsumeIntegralInRange<std::size_t>(0, 6));
    const auto rows = p.ConsumeIntegralInRange<std::size_t>(0, 30);
    const double temps[] = {-10.0, 0.0, 10.0, 25.0, 45.0};
    for (auto& f : fs) {
        f.name = p.ConsumeRandomLengthString(16);
        f.temp_c =
            p.ConsumeIntegralInRange<int>(0, 9) == 0 ? fuzz::any_double(p) : temps[p.ConsumeIntegralInRange<int>(0, 4)];
        f.capacity_ah = fuzz::mostly_in(p, 0.1, 10);
        f.rc = values(p, p.ConsumeBool() ? 3 : p.ConsumeIntegralInRange<std::size_t>(0, 6), 1e-4, 5e4);
        const std::size_t nr =
            p.ConsumeIntegralInRange<int>(0, 7) == 0 ? p.ConsumeIntegralInRange<std::size_t>(0, 30) : rows;
        if (p.ConsumeBool()) {
            f.soc.resize(nr);
            for (std::size_t k = 0; k < nr; ++k) f.soc[k] = nr > 1 ? static_cast<double>(k) / (nr - 1) : 0.0;
        } else {
            f.soc = values(p, nr, 0, 1);
        }
        f.ocv = values(p, p.ConsumeIntegralInRange<int>(0, 7) == 0 ? p.ConsumeIntegralInRange<std::size_t>(0, 30) : nr,
                       2.5, 4.3);
        if (p.ConsumeBool()) std::sort(f.ocv.begin(), f.ocv.end());
    }
    return fs;
}

ecm::gen::Collection direct(FuzzedDataProvider& p) {
    ecm::gen::Collection c;
    auto n = [&] { return p.ConsumeIntegralInRange<std::size_t>(0, 5); };
    // Temperatures from a small set, so that the lookups between the tables
    // succeed often enough to reach the fits.
    auto temps = [&](std::size_t k) {
        std::vector<double> v(k);
        for (auto& x : v) x = 10.0 * p.ConsumeIntegralInRange<int>(-1, 3);
        if (p.ConsumeBool()) std::sort(v.begin(), v.end());
        return v;
    };
    c.temperatures = temps(n());
    c.capacities = values(p, n(), 0.1, 10);
    for (std::size_t k = n(); k > 0; --k) c.rcparams.push_back(values(p, n() + 1, 1e-4, 5e4));
    c.soc = values(p, p.ConsumeIntegralInRange<std::size_t>(0, 12), 0, 1);
    c.ocv_temps = temps(n());
    for (std::size_t k = n(); k > 0; --k)
        c.ocv_columns.push_back(values(p, p.ConsumeBool() ? c.soc.size() : n(), 2.5, 4.3));
    return c;
}

void check_model_text(const ecm::gen::ModelText& mt) {
    const std::string& s = mt.text;
    FUZZ_CHECK(s.size() >= 2 && s.front() == '{' && s.back() == '}');
    FUZZ_CHECK(s.find('\n') == std::string::npos);
    // Exponent letters can only come from keys or texts, which are quoted:
    // outside quotes nothing but digits, signs, points, separators and the
    // JSON spellings of the non-finite values.
    bool in_str = false;
    std::string word;
    for (std::size_t k = 0; k < s.size(); ++k) {
        const char ch = s[k];
        if (in_str) {
            if (ch == '\\')
                ++k;
            else if (ch == '"')
                in_str = false;
            continue;
        }
        if (ch == '"') {
            in_str = true;
            continue;
        }
        if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z')) {
            word += ch;
            continue;
        }
        if (!word.empty()) {
            FUZZ_CHECK(word == "NaN" || word == "Infinity");
            word.clear();
        }
    }
    FUZZ_CHECK(!in_str);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider p(data, size);
    ecm::gen::Collection c;
    if (p.ConsumeIntegralInRange<int>(0, 3) == 0) {
        c = direct(p);
    } else if (!fuzz::expect_ok_or_documented([&] { c = ecm::gen::collect(files(p)); })) {
        return 0;
    }
    const double vlow = fuzz::mostly_in(p, 2.0, 3.5), vhigh = fuzz::mostly_in(p, 3.5, 4.5);

    // The numerical helpers on their own.
    {
        const auto num = p.ConsumeIntegralInRange<std::size_t>(0, 300);
        const std::vector<double> ls = ecm::gen::linspace(vlow, vhigh, num);
        FUZZ_CHECK(ls.size() == num);
        if (num >= 1 && std::isfinite(vhigh - vlow)) FUZZ_CHECK(ls[0] == vlow);
        if (num >= 2) FUZZ_CHECK(ls[num - 1] == vhigh || (std::isnan(ls[num - 1]) && std::isnan(vhigh)));
        (void)fuzz::expect_ok_or_documented([&] { (void)ecm::interp_linear(ls, c.soc, c.temperatures); });
        (void)fuzz::expect_ok_or_documented([&] { (void)ecm::gen::mean_step(c.soc); });
        (void)fuzz::expect_ok_or_documented([&] { (void)ecm::gen::derivative_along_soc(c.soc, vhigh); });
    }

    ecm::gen::ModelTables m;
    if (!fuzz::expect_ok_or_documented([&] { m = ecm::gen::derive_tables(c, vlow, vhigh); })) return 0;
    const std::size_t n_soc = c.soc.size();
    FUZZ_CHECK(m.vovc.size() == ecm::gen::kVoltageAxisSize);
    FUZZ_CHECK(m.ocv_rel.size() == n_soc && m.ocv0.size() == n_soc);
    FUZZ_CHECK(m.docv0.size() == n_soc && m.docv_rel.size() == n_soc);
    FUZZ_CHECK(m.soc_rel.size() == m.vovc.size() && m.soc0.size() == m.vovc.size());
    FUZZ_CHECK(m.r0.size() == c.temperatures.size() && m.q.size() == c.temperatures.size());
    FUZZ_CHECK(m.soc_columns.size() == m.soc_temps.size());
    for (const auto& col : m.soc_columns) FUZZ_CHECK(col.size() == m.vovc.size());

    std::vector<ecm::gen::ModelEntry> entries;
    auto num = [&](const char* key, const std::vector<double>& v) {
        ecm::gen::ModelEntry e;
        e.key = key;
        e.values = v;
        if (p.ConsumeIntegralInRange<int>(0, 7) == 0) e.literal = {"1", "", "25"};
        entries.push_back(std::move(e));
    };
    num("OCV", m.vovc);
    num("OCV0", m.ocv0);
    num("OCVrel", m.ocv_rel);
    num("SOC0", m.soc0);
    num("SOCrel", m.soc_rel);
    num("dOCV0", m.docv0);
    num("R0Param", m.r0);
    num("RCParam", m.tau);
    num("RParam", m.r);
    num("QParam", m.q);
    {
        ecm::gen::ModelEntry e;
        e.key = p.ConsumeRandomLengthString(12);
        e.is_text = true;
        e.text = p.ConsumeRandomLengthString(24);
        entries.push_back(std::move(e));
    }
    check_model_text(ecm::gen::model_json_text(entries));
    return 0;
}
