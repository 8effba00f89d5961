// The importer's refusal for unbound symbolic dimensions, reworded for
// Python callers, shared by import_onnx and Session.
#pragma once

#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "orvo_compiler/onnx.hpp"

namespace orvo_compiler::python {

// The importer's error (from import_onnx or Session::load), but for symbolic
// dimensions left unbound, named as the `dimensions` argument that binds
// them (every one at once).
template <class T, class Source>
Result<T> with_dimension_advice(Result<T> model, const Source& source, const ImportOptions& options) {
  if (model) {
    return model;
  }
  const Result<std::vector<std::string>> unbound = unbound_dimensions(source, options);
  if (!unbound || unbound->empty()) {
    return model;
  }
  std::vector<std::string> entries;
  for (const std::string& symbol : *unbound) {
    entries.push_back(fmt::format("\"{}\": N", symbol));
  }
  return std::unexpected(CompileError::graph(
      fmt::format("onnx: symbolic dimension{} {} {} not bound; pass dimensions={{{}}}", unbound->size() == 1 ? "" : "s",
                  fmt::join(*unbound, ", "), unbound->size() == 1 ? "is" : "are", fmt::join(entries, ", "))));
}

}  // namespace orvo_compiler::python
