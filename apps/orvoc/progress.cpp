// Progress lines on a terminal for the stages that can take a while: shown
// at once, kept with the time taken when a stage lasts a second or more, and
// blanked out again when it does not.
#include <unistd.h>

#include <cstdio>
#include <ostream>
#include <string>

#include <fmt/format.h>

#include "orvoc_core.hpp"

namespace orvo_compiler::orvoc {
namespace {

// Long enough for a file name, short enough that the line does not wrap on
// a terminal of 80 columns, which would keep '\r' from reaching its start.
constexpr std::size_t longest_stage = 60;
constexpr double kept_after_seconds = 1.0;

// `stage` on one line of at most longest_stage bytes: control characters
// become '?', and a longer text is cut at a character boundary with "...".
std::string one_line(std::string_view stage) {
  std::string line;
  for (const char c : stage) {
    const auto byte = static_cast<unsigned char>(c);
    line += byte < 0x20 || byte == 0x7F ? '?' : c;
  }
  if (line.size() <= longest_stage) {
    return line;
  }
  std::size_t cut = longest_stage - 3;
  while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0U) == 0x80U) {
    --cut;
  }
  return line.substr(0, cut) + "...";
}

}  // namespace

Progress::Progress(std::ostream& out, bool enabled) : out_(&out), enabled_(enabled) {}

void Progress::start(std::string_view stage) {
  if (!enabled_) {
    return;
  }
  const std::string line = fmt::format("orvoc: {}...", one_line(stage));
  *out_ << line << std::flush;
  pending_ = line.size();
}

void Progress::finish(std::chrono::duration<double> elapsed) {
  if (!enabled_ || pending_ == 0) {
    return;
  }
  if (elapsed.count() >= kept_after_seconds) {
    *out_ << fmt::format(" {:.1f} s\n", elapsed.count()) << std::flush;
  } else {
    *out_ << '\r' << std::string(pending_, ' ') << '\r' << std::flush;
  }
  pending_ = 0;
}

bool progress_wanted(bool quiet) { return !quiet && isatty(fileno(stderr)) == 1; }

}  // namespace orvo_compiler::orvoc
