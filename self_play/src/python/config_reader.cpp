#include "config_reader.hpp"

#include <array>
#include <cstdint>
#include <string>

#include "python_api/convert.hpp"

namespace tarnex::python {

namespace {

using self_play::Config;

// The fields in reading order: the two counts, then the four floats.
struct Field {
    const char* name;
    std::uint64_t Config::*count;  // set for the integer fields
    float Config::*real;           // set for the float fields
};
constexpr std::array<Field, 6> kFields = {{
    {"sims_per_move", &Config::sims_per_move, nullptr},
    {"sample_moves", &Config::sample_moves, nullptr},
    {"c_base", nullptr, &Config::c_base},
    {"c_init", nullptr, &Config::c_init},
    {"dirichlet_alpha", nullptr, &Config::dirichlet_alpha},
    {"exploration_fraction", nullptr, &Config::exploration_fraction},
}};
// The attribute-name strings, made once per process on first use.
std::array<PyObject*, kFields.size()> g_names{};

// Converts one attribute value into its field; false with the conversion
// error set on failure.
bool convert(PyObject* value, const Field& field, Config& config) {
    if (field.count != nullptr) return as_u64(value, config.*field.count);
    double d = 0.0;
    if (!as_double_fast(value, d)) return false;
    // The nearest single-precision value; an infinity beyond its range.
    config.*field.real = to_float(d);
    return true;
}

// The field error: a new TypeError naming the field, caused by the
// conversion error that is currently set.
PyError field_error(const char* name) {
    PyError cause = PyError::fetch();
    PyError error = PyError::make(PyExc_TypeError, std::string("failed to extract field Config.") + name);
    // Steals the cause and suppresses the context, as `raise ... from` does.
    PyException_SetCause(error.value(), Ref::borrow(cause.value()).release());
    return error;
}

}  // namespace

std::variant<Config, PyError> read_config(PyObject* object) {
    Config config;
    // Every attribute value is held until the reading ends.
    std::array<Ref, kFields.size()> values;
    for (std::size_t i = 0; i < kFields.size(); ++i) {
        PyObject* name = interned(g_names[i], kFields[i].name);
        if (name == nullptr) return PyError::fetch();
        values[i] = Ref::steal(PyObject_GetAttr(object, name));
        if (!values[i]) return PyError::fetch();
        if (!convert(values[i].get(), kFields[i], config)) return field_error(kFields[i].name);
    }
    return config;
}

}  // namespace tarnex::python
