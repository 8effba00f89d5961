// File input and output of the tool: raw float32 data, whole-file reads, and
// output files that appear complete or not at all (written under a temporary
// name in the destination's directory, then renamed over it).
#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

#include <fmt/format.h>

#include "orvoc_core.hpp"

namespace orvo_compiler::orvoc {
namespace {

std::string reason(int error_number) { return std::generic_category().message(error_number); }

// Writes all of `bytes` to `descriptor`, resuming after partial writes.
bool write_all(int descriptor, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(descriptor, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

std::vector<std::uint8_t> float_bytes(std::span<const float> values) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(values.size() * 4);
  for (const float value : values) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) {
      bytes.push_back(static_cast<std::uint8_t>(bits >> shift));
    }
  }
  return bytes;
}

std::optional<std::vector<float>> floats_from_bytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() % 4 != 0) {
    return std::nullopt;
  }
  std::vector<float> values;
  values.reserve(bytes.size() / 4);
  for (std::size_t i = 0; i < bytes.size(); i += 4) {
    const std::uint32_t bits = std::uint32_t{bytes[i]} | std::uint32_t{bytes[i + 1]} << 8U |
                               std::uint32_t{bytes[i + 2]} << 16U | std::uint32_t{bytes[i + 3]} << 24U;
    values.push_back(std::bit_cast<float>(bits));
  }
  return values;
}

std::expected<std::vector<std::uint8_t>, std::string> read_file(const std::filesystem::path& path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    return std::unexpected(fmt::format("cannot read {}: it is a directory", path.string()));
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::unexpected(fmt::format("cannot read {}: {}", path.string(), reason(errno)));
  }
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    return std::unexpected(fmt::format("cannot read {}: read error", path.string()));
  }
  return bytes;
}

StagedFiles::~StagedFiles() {
  for (const Entry& entry : entries_) {
    std::error_code ignored;
    std::filesystem::remove(entry.temporary, ignored);
  }
}

std::expected<void, std::string> StagedFiles::stage(const std::filesystem::path& path,
                                                    std::span<const std::uint8_t> bytes) {
  const std::filesystem::path directory = path.has_parent_path() ? path.parent_path() : ".";
  const std::string base = path.filename().string();
  if (base.empty() || base == "." || base == "..") {
    return std::unexpected(fmt::format("cannot write {}: not a file name", path.string()));
  }
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    return std::unexpected(fmt::format("cannot write {}: it is a directory", path.string()));
  }
  // O_EXCL never reuses an existing name; a leftover of another run only moves
  // us on to the next suffix.
  for (std::size_t attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path temporary =
        directory / fmt::format(".{}.{}-{}.tmp", base, ::getpid(), entries_.size() + attempt);
    const int descriptor = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor < 0) {
      if (errno == EEXIST) {
        continue;
      }
      return std::unexpected(fmt::format("cannot write {}: {}", path.string(), reason(errno)));
    }
    entries_.push_back(Entry{temporary, path});
    if (!write_all(descriptor, bytes)) {
      const int write_error = errno;
      ::close(descriptor);
      return std::unexpected(fmt::format("cannot write {}: {}", path.string(), reason(write_error)));
    }
    if (::close(descriptor) != 0) {
      return std::unexpected(fmt::format("cannot write {}: {}", path.string(), reason(errno)));
    }
    return {};
  }
  return std::unexpected(fmt::format("cannot write {}: no free temporary name", path.string()));
}

std::expected<void, std::string> StagedFiles::commit() {
  for (std::size_t committed = 0; committed < entries_.size(); ++committed) {
    const Entry& entry = entries_[committed];
    std::error_code error;
    std::filesystem::rename(entry.temporary, entry.final_path, error);
    if (error) {
      std::string message = fmt::format("cannot write {}: {}", entry.final_path.string(), error.message());
      // What is renamed already stays; the rest is removed on destruction.
      entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(committed));
      return std::unexpected(std::move(message));
    }
  }
  entries_.clear();
  return {};
}

}  // namespace orvo_compiler::orvoc
