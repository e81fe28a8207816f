#pragma once
// The JSON text of the battery model.
#include <string>
#include <vector>

namespace ecm::gen {

// One entry of the JSON model record: a flat list of numbers, or (for the
// entry "name") the model name, written as one JSON string.
struct ModelEntry {
    std::string key;
    bool is_text = false;
    std::vector<double> values;  // number entries
    std::string text;            // text entry: the name's characters joined
    // Optional verbatim element texts (integers keep their decimal form);
    // an empty string, or an empty vector, means the number rule applies.
    std::vector<std::string> literal;
    bool empty() const { return is_text ? text.empty() : values.empty(); }
};

struct ModelText {
    std::string text;
    // Keys of the entries holding NaN or an infinity, in entry order.
    std::vector<std::string> nonfinite_keys;
};

// One line: "{", the entries "key": value joined by ", ", "}". Keys and texts
// are JSON strings; number lists are "[" elements joined by ", " "]" with each
// element by the model number rule (never exponent notation). An empty entry
// is left out, key included; a record whose entries are all empty gives "{}".
ModelText model_json_text(const std::vector<ModelEntry>& entries);

}  // namespace ecm::gen
