#include "results.hpp"

#include "python_api/convert.hpp"

namespace tarnex::python {

Ref training_result_to_python(const self_play::TrainingGameResult& result) {
    Ref history = make_list(result.history.size(), [&](std::size_t i) {
        return int_pair(result.history[i].first, result.history[i].second);
    });
    if (!history) return {};
    Ref policies = make_list(result.policies.size(), [&](std::size_t i) {
        const auto& record = result.policies[i];
        return make_list(record.size(), [&](std::size_t j) { return share_pair(record[j].first, record[j].second); });
    });
    if (!policies) return {};
    Ref payoff = make_list(result.payoff.size(), [&](std::size_t i) {
        return Ref::steal(PyFloat_FromDouble(static_cast<double>(result.payoff[i])));
    });
    if (!payoff) return {};
    return Ref::steal(PyTuple_Pack(3, history.get(), policies.get(), payoff.get()));
}

}  // namespace tarnex::python
