// The registry gathered from the operator families, its lookup by type and
// opset, and the first check every model meets: each node's operator is
// registered and given inputs and outputs its form takes.
#include "onnx/operator_registry.hpp"

#include <algorithm>
#include <map>
#include <string>

#include <fmt/format.h>

namespace orvo_compiler::onnx_import {
namespace {

std::vector<Registration> gather_registrations() {
  std::vector<Registration> all;
  for (const std::span<const Registration> family :
       {elementwise_operators(), product_operators(), normalization_operators(), reduction_operators(),
        movement_operators(), source_operators(), vision_operators()}) {
    all.insert(all.end(), family.begin(), family.end());
  }
  std::ranges::sort(all, {}, &Registration::op_type);
  return all;
}

std::string count_range(std::size_t least, std::size_t most) {
  if (most == many) {
    return fmt::format("{} or more", least);
  }
  return least == most ? fmt::format("{}", least) : fmt::format("{} to {}", least, most);
}

Result<void> check_arity(const Node& node, const Arity& arity) {
  const std::size_t required = std::min(arity.required_inputs, node.inputs.size());
  const std::size_t least = arity.required_inputs == many ? 1 : arity.required_inputs;
  if (node.inputs.size() < least || node.inputs.size() > arity.most_inputs) {
    return std::unexpected(node_error(
        node, fmt::format("takes {} inputs, not {}", count_range(least, arity.most_inputs), node.inputs.size())));
  }
  for (std::size_t index = 0; index < required; ++index) {
    if (node.inputs[index].empty()) {
      return std::unexpected(node_error(node, fmt::format("input {} is required but omitted", index)));
    }
  }
  if (node.outputs.empty() || node.outputs.size() > arity.most_outputs || node.outputs.front().empty()) {
    return std::unexpected(node_error(node, fmt::format("takes {} outputs, the first one named; it has {}",
                                                        count_range(1, arity.most_outputs), node.outputs.size())));
  }
  return {};
}

// The registration of `node`'s operator at any opset; nothing for one the
// registry lacks or a node outside the default domain.
const Registration* find_registration(const Node& node) {
  if (!node.domain.empty()) {
    return nullptr;
  }
  const std::span<const Registration> registrations = registered_operators();
  const auto found = std::ranges::lower_bound(registrations, std::string_view(node.op_type), {},
                                              &Registration::op_type);
  return found == registrations.end() || found->op_type != node.op_type ? nullptr : &*found;
}

// "13 to 17", "7 to 12 and 14 to 17", "11": the opsets of the forms, runs of
// adjacent forms joined.
std::string accepted_opsets(const Registration& registration) {
  std::vector<OpsetRange> runs;
  for (const OperatorForm& form : registration.forms) {
    if (!runs.empty() && runs.back().last + 1 == form.opsets.first) {
      runs.back().last = form.opsets.last;
    } else {
      runs.push_back(form.opsets);
    }
  }
  std::vector<std::string> texts;
  for (const OpsetRange& run : runs) {
    texts.push_back(run.first == run.last ? fmt::format("{}", run.first) : fmt::format("{} to {}", run.first, run.last));
  }
  return fmt::format("{}", fmt::join(texts, " and "));
}

}  // namespace

std::span<const Registration> registered_operators() {
  static const std::vector<Registration> registrations = gather_registrations();
  return registrations;
}

const OperatorForm* find_operator(const Node& node, std::int64_t opset) {
  const Registration* found = find_registration(node);
  if (found == nullptr) {
    return nullptr;
  }
  const auto form = std::ranges::find_if(found->forms, [opset](const OperatorForm& candidate) {
    return candidate.opsets.first <= opset && opset <= candidate.opsets.last;
  });
  return form == found->forms.end() ? nullptr : &*form;
}

Result<void> check_operators(std::span<const Node> nodes, std::int64_t opset) {
  std::map<std::string, std::string> unsupported;
  std::vector<CompileError> errors;
  for (const Node& node : nodes) {
    if (const OperatorForm* form = find_operator(node, opset); form != nullptr) {
      if (Result<void> arity = check_arity(node, form->arity); !arity) {
        errors.push_back(arity.error());
      }
    } else {
      const std::string type = node.domain.empty() ? node.op_type : fmt::format("{}.{}", node.domain, node.op_type);
      const Registration* registration = find_registration(node);
      unsupported.emplace(type, registration == nullptr
                                    ? node_label(node)
                                    : fmt::format("{}; accepted at opsets {}, not {}", node_label(node),
                                                  accepted_opsets(*registration), opset));
    }
  }
  if (!unsupported.empty()) {
    std::vector<std::string> items;
    for (const auto& [type, first] : unsupported) {
      items.push_back(fmt::format("{} (first node {})", type, first));
    }
    errors.insert(errors.begin(), model_error(fmt::format("unsupported operators: {}", fmt::join(items, ", "))));
  }
  if (!errors.empty()) {
    return std::unexpected(joined_errors(errors));
  }
  return {};
}

}  // namespace orvo_compiler::onnx_import
