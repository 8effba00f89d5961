// Checks of the markup the renderers write, for tests: a small XML
// well-formedness reader and text helpers that pick out elements and attributes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvo_compiler::test_support {

// Empty when `document` is well-formed: one root element, every tag closed in
// order, attributes quoted, '<' and '&' only where they belong. Otherwise what is wrong.
[[nodiscard]] std::optional<std::string> xml_error(std::string_view document);

// How often `what` occurs in `text`, without overlaps.
[[nodiscard]] std::size_t count(std::string_view text, std::string_view what);

// The elements opened by `prefix` (e.g. `<rect class="allocation `), each up to its '>'.
[[nodiscard]] std::vector<std::string> elements(std::string_view text, std::string_view prefix);

// The value of attribute `name` of `element`; empty when it has none.
[[nodiscard]] std::string attribute(std::string_view element, std::string_view name);

}  // namespace orvo_compiler::test_support
