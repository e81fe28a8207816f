#include "core/build/model_text.hpp"

#include <cmath>

#include "core/base/numtext.hpp"

namespace ecm::gen {

ModelText model_json_text(const std::vector<ModelEntry>& entries) {
    ModelText out;
    std::string& s = out.text;
    s = "{";
    bool first = true;
    for (const auto& e : entries) {
        if (e.empty()) continue;
        if (!first) s += ", ";
        first = false;
        s += json_string(e.key);
        s += ": ";
        if (e.is_text) {
            s += json_string(e.text);
            continue;
        }
        s += '[';
        bool nonfinite = false;
        for (std::size_t i = 0; i < e.values.size(); ++i) {
            if (i) s += ", ";
            if (i < e.literal.size() && !e.literal[i].empty()) {
                s += e.literal[i];
                continue;
            }
            const double v = e.values[i];
            if (!std::isfinite(v)) nonfinite = true;
            s += model_number_text(v);
        }
        s += ']';
        if (nonfinite) out.nonfinite_keys.push_back(e.key);
    }
    s += '}';
    return out;
}

}  // namespace ecm::gen
