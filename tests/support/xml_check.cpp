// A small XML reader, enough for what the renderers write: elements,
// attributes in double quotes, text with references, and an XML declaration.
// No DTDs, comments, CDATA or processing instructions.
#include "support/xml_check.hpp"

#include <cctype>

namespace orvo_compiler::test_support {
namespace {

bool is_name_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == ':' || c == '.';
}

// A character reference or one of XML's five entities, starting at text[at] == '&'.
bool valid_reference(std::string_view text, std::size_t at) {
  const std::size_t end = text.find(';', at);
  if (end == std::string_view::npos) {
    return false;
  }
  const std::string_view name = text.substr(at + 1, end - at - 1);
  if (name == "amp" || name == "lt" || name == "gt" || name == "quot" || name == "apos") {
    return true;
  }
  return name.size() > 1 && name[0] == '#' &&
         name.substr(1).find_first_not_of("0123456789") == std::string_view::npos;
}

// Text or an attribute value: every '&' begins a reference.
std::optional<std::string> text_error(std::string_view text) {
  for (std::size_t at = text.find('&'); at != std::string_view::npos; at = text.find('&', at + 1)) {
    if (!valid_reference(text, at)) {
      return "bad reference in '" + std::string(text.substr(at, 12)) + "'";
    }
  }
  return std::nullopt;
}

// Reads a document from its start; each step says what is wrong, if anything,
// and leaves `at` after what it read.
struct XmlReader {
  std::string_view document;
  std::size_t at = 0;
  std::vector<std::string> open;  // the elements not yet closed, outermost first
  int roots = 0;

  std::string name() {
    const std::size_t start = at;
    while (at < document.size() && is_name_char(document[at])) {
      ++at;
    }
    return std::string(document.substr(start, at - start));
  }

  // After the name of a closing tag at `lt`: it must close the innermost open element.
  std::optional<std::string> close(std::size_t lt, const std::string& element) {
    if (open.empty() || open.back() != element || at >= document.size() || document[at] != '>') {
      return "unbalanced </" + element + "> at " + std::to_string(lt);
    }
    open.pop_back();
    ++at;
    return std::nullopt;
  }

  // Attributes: name="value", value free of '<'. Stops at the tag's '>' or "/>".
  std::optional<std::string> attributes(const std::string& element) {
    while (true) {
      while (at < document.size() && std::isspace(static_cast<unsigned char>(document[at])) != 0) {
        ++at;
      }
      if (at >= document.size()) {
        return "unterminated <" + element + ">";
      }
      if (document.compare(at, 2, "/>") == 0 || document[at] == '>') {
        return std::nullopt;
      }
      const std::size_t attribute = at;
      if (name().empty() || document.compare(at, 2, "=\"") != 0) {
        return "malformed attribute in <" + element + "> at " + std::to_string(attribute);
      }
      const std::size_t value_end = document.find('"', at + 2);
      if (value_end == std::string_view::npos) {
        return "unterminated attribute in <" + element + ">";
      }
      const std::string_view value = document.substr(at + 2, value_end - at - 2);
      if (value.find('<') != std::string_view::npos) {
        return "'<' in an attribute of <" + element + ">";
      }
      if (auto error = text_error(value)) {
        return error;
      }
      at = value_end + 1;
    }
  }

  // After the name of an opening tag: its attributes, then its end, which may close it too.
  std::optional<std::string> open_element(const std::string& element) {
    if (auto error = attributes(element)) {
      return error;
    }
    if (open.empty()) {
      ++roots;
    }
    if (document[at] == '/') {
      at += 2;
      return std::nullopt;
    }
    open.push_back(element);
    ++at;
    return std::nullopt;
  }

  // The declaration or tag that starts at `lt`, a '<'.
  std::optional<std::string> markup(std::size_t lt) {
    if (document.compare(lt, 2, "<?") == 0) {
      const std::size_t end = document.find("?>", lt);
      if (end == std::string_view::npos || lt != 0) {
        return "misplaced declaration";
      }
      at = end + 2;
      return std::nullopt;
    }
    const bool closing = document.compare(lt, 2, "</") == 0;
    at = lt + (closing ? 2 : 1);
    const std::string element = name();
    if (element.empty()) {
      return "tag without a name at " + std::to_string(lt);
    }
    return closing ? close(lt, element) : open_element(element);
  }

  std::optional<std::string> read() {
    while (at < document.size()) {
      const std::size_t lt = document.find('<', at);
      const std::size_t text_size = lt == std::string_view::npos ? std::string_view::npos : lt - at;
      if (auto error = text_error(document.substr(at, text_size))) {
        return error;
      }
      if (lt == std::string_view::npos) {
        break;
      }
      if (auto error = markup(lt)) {
        return error;
      }
    }
    if (!open.empty()) {
      return "<" + open.back() + "> never closed";
    }
    if (roots != 1) {
      return std::to_string(roots) + " root elements";
    }
    return std::nullopt;
  }
};

}  // namespace

std::optional<std::string> xml_error(std::string_view document) { return XmlReader{document}.read(); }

std::size_t count(std::string_view text, std::string_view what) {
  std::size_t found = 0;
  for (std::size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + what.size())) {
    ++found;
  }
  return found;
}

std::vector<std::string> elements(std::string_view text, std::string_view prefix) {
  std::vector<std::string> found;
  for (std::size_t at = text.find(prefix); at != std::string_view::npos; at = text.find(prefix, at + 1)) {
    found.emplace_back(text.substr(at, text.find('>', at) - at + 1));
  }
  return found;
}

std::string attribute(std::string_view element, std::string_view name) {
  const std::string key = " " + std::string(name) + "=\"";
  const std::size_t at = element.find(key);
  if (at == std::string_view::npos) {
    return "";
  }
  const std::size_t start = at + key.size();
  return std::string(element.substr(start, element.find('"', start) - start));
}

}  // namespace orvo_compiler::test_support
