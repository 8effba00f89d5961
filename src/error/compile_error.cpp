// Construction and debug rendering of CompileError.
#include <utility>

#include "orvo_compiler/error.hpp"

namespace orvo_compiler {

CompileError CompileError::graph(std::string message) { return CompileError{Kind::Graph, std::move(message)}; }

CompileError CompileError::memory(std::string message) { return CompileError{Kind::Memory, std::move(message)}; }

std::ostream& operator<<(std::ostream& out, CompileError::Kind kind) {
  switch (kind) {
    case CompileError::Kind::Graph:
      return out << "Graph";
    case CompileError::Kind::Memory:
      return out << "Memory";
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, const CompileError& error) {
  return out << error.kind << "(\"" << error.message << "\")";
}

}  // namespace orvo_compiler
