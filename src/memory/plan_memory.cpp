// The tile SRAM planner: gives every piece of every tensor a fixed byte range
// in the data window of each tile of its layout.
//
// Steps:
//   1. Lifetimes. Walking the phases, a tensor is produced at the phase that
//      computes it (phase 0 for inputs and weights) and consumed at the last
//      phase that reads it, an exchange carrying it included; a graph output
//      stays live one index past the last phase, and a produced tensor that
//      nothing later reads is live at its producing phase.
//   2. Placement, tensor by tensor in graph order and tile by tile in layout
//      order: each piece goes to the lowest address, among data_base and the
//      multiples of the layout's alignment above it, at which it shares no
//      byte with a piece on the same tile whose lifetime overlaps its own.
//      When that address would end past 2^32 - 1 the call fails with
//      "address overflow", when it ends past data_limit with the data-limit
//      error of that tile; the first failing piece in placement order decides.
//      The failure is worked out as data first (MemoryFailure: tile, tensor,
//      lifetime, bytes), and the error text is made from it, so memory_failure
//      and plan_memory always tell of the same piece.
//
// How the lowest address is found. A tile's pieces are kept sorted by
// address and swept once from the bottom with a candidate that starts at
// data_base: a piece that starts at or above the candidate's end, and so
// every piece after it, cannot clash; a piece of overlapping lifetime that
// still reaches above the candidate clashes, and every allowed address from
// the candidate up to that piece's end clashes with it too, so the candidate
// moves to that end rounded up to the alignment. Pieces passed over never
// clash again because the candidate only rises. Hence the sweep stops at the
// lowest allowed conflict-free address. That address alone decides the
// outcome: every address the rescan-from-the-start formulation visits lies at
// or below it, so that formulation overflows exactly when this address does.
// The sorted pieces are held in chunks of up to 32 with bounds over each
// (highest end, extremes of the lifetimes, widest uncovered stretch), so the
// sweep passes a chunk none of whose pieces can clash in one step, and jumps
// over a chunk that is a solid wall for this piece (every lifetime overlaps
// and no stretch between its pieces is wide enough) to the chunk's highest
// end, which is where the piece-by-piece sweep would arrive.
//
// Sharing work between tiles. A tile's addresses depend only on the sequence
// of (size, alignment, lifetime) placed on it, so tiles that have received
// the same pieces form a group with one sorted list, and each tensor is
// placed once per group it touches. A tensor whose layout covers a whole
// group extends that group's list; one that covers part of a group moves the
// covered tiles to a copy of the list. Layouts that name a tile twice place
// on a private list per tile, piece by piece. Every group keeps at least one
// tile and its list holds that tile's pieces, so the lists together never
// outgrow the result.
//
// The result is not guaranteed to be the best packing: placed pieces never
// move, and the order of placement alone decides which piece goes low. A
// placement costs at most a pass over the group's pieces below the chosen
// address, one step per chunk where chunks can be passed or jumped whole.
#include <algorithm>
#include <array>
#include <cstdint>
#include <expected>
#include <functional>
#include <iterator>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/memory.hpp"
#include "memory/plan_memory_inputs.hpp"

namespace orvo_compiler {
namespace {

using detail::align_up;
using detail::check_inputs;
using detail::checked_align;
using detail::Lifetimes;
using detail::max_address;
using detail::memory_error;
using detail::piece_bytes;
using detail::tensor_lifetimes;

using Cause = MemoryFailure::Cause;

// A placed piece as the search sees it. Its end fits 32 bits: no piece is
// placed past data_limit.
struct Piece {
  std::uint32_t address = 0;
  std::uint32_t end = 0;
  std::uint64_t live_from = 0;
  std::uint64_t live_until = 0;
};

// Up to `capacity` pieces adjacent in address order, with bounds over them
// that let a search pass the whole run at once.
struct Chunk {
  static constexpr std::uint32_t capacity = 32;

  std::uint32_t count = 0;
  std::array<std::uint32_t, capacity> address{};
  std::array<std::uint32_t, capacity> end{};
  std::array<std::uint64_t, capacity> live_from{};
  std::array<std::uint64_t, capacity> live_until{};
  // Over the pieces: the highest end, the extremes of both lifetime bounds,
  // and the widest stretch between the pieces that none of them covers
  // (a zero-sized piece counts as a boundary).
  std::uint32_t max_end = 0;
  std::uint64_t min_from = 0;
  std::uint64_t max_from = 0;
  std::uint64_t min_until = 0;
  std::uint64_t max_until = 0;
  std::uint32_t max_gap = 0;

  void insert_at(std::uint32_t position, const Piece& piece) {
    for (std::uint32_t index = count; index > position; --index) {
      address[index] = address[index - 1];
      end[index] = end[index - 1];
      live_from[index] = live_from[index - 1];
      live_until[index] = live_until[index - 1];
    }
    address[position] = piece.address;
    end[position] = piece.end;
    live_from[position] = piece.live_from;
    live_until[position] = piece.live_until;
    ++count;
  }

  void update_bounds() {
    max_end = end[0];
    min_from = max_from = live_from[0];
    min_until = max_until = live_until[0];
    max_gap = 0;
    for (std::uint32_t index = 1; index < count; ++index) {
      if (address[index] > max_end) {
        max_gap = std::max(max_gap, address[index] - max_end);
      }
      max_end = std::max(max_end, end[index]);
      min_from = std::min(min_from, live_from[index]);
      max_from = std::max(max_from, live_from[index]);
      min_until = std::min(min_until, live_until[index]);
      max_until = std::max(max_until, live_until[index]);
    }
  }
};

// The pieces of one placement history in address order, as a list of chunks.
class Occupancy {
 public:
  // The lowest address among `data_base` and the multiples of `alignment`
  // above it at which `size` bytes live over [live_from, live_until] meet no
  // piece of overlapping lifetime. Once the candidate ends past 2^32 - 1 the
  // search stops and returns it: the answer can only be higher.
  //
  // A chunk is passed whole when no piece of it can clash (it starts above
  // the candidate's end, ends at or below the candidate, or no lifetime in it
  // overlaps), and jumped over when every piece in it overlaps in lifetime
  // and no stretch between its pieces is as wide as `size`: then every
  // address from the candidate up to the chunk's highest end clashes with
  // one of its pieces, as the piece-by-piece sweep would find.
  std::uint64_t lowest_free(std::uint64_t live_from, std::uint64_t live_until, std::uint32_t size,
                            std::uint32_t alignment, std::uint32_t data_base) const {
    std::uint64_t candidate = data_base;
    for (const std::uint32_t index : order_) {
      const Chunk& chunk = chunks_[index];
      if (chunk.address[0] >= candidate + size) {
        return candidate;
      }
      if (chunk.max_end <= candidate || chunk.max_until < live_from || chunk.min_from > live_until) {
        continue;
      }
      if (chunk.min_until >= live_from && chunk.max_from <= live_until && chunk.max_gap < size) {
        candidate = align_up(chunk.max_end, alignment);
        if (candidate + size > max_address) {
          return candidate;
        }
        continue;
      }
      for (std::uint32_t piece = 0; piece < chunk.count; ++piece) {
        if (chunk.address[piece] >= candidate + size) {
          return candidate;
        }
        if (chunk.end[piece] > candidate &&
            lifetimes_overlap(live_from, live_until, chunk.live_from[piece], chunk.live_until[piece])) {
          candidate = align_up(chunk.end[piece], alignment);
          if (candidate + size > max_address) {
            return candidate;
          }
        }
      }
    }
    return candidate;
  }

  // Adds a piece after every piece at or below its address.
  void insert(const Piece& piece) {
    if (order_.empty()) {
      order_.push_back(new_chunk());
      chunks_.back().insert_at(0, piece);
      chunks_.back().update_bounds();
      return;
    }
    // The last chunk starting at or below the address, or the first chunk.
    auto slot = std::ranges::upper_bound(order_, piece.address, {},
                                         [this](std::uint32_t index) { return chunks_[index].address[0]; });
    if (slot != order_.begin()) {
      --slot;
    }
    std::uint32_t index = *slot;
    if (chunks_[index].count == Chunk::capacity) {
      // Move the upper half to a new chunk placed right after this one.
      const std::uint32_t upper = new_chunk();
      Chunk& full = chunks_[index];
      Chunk& half = chunks_[upper];
      constexpr std::uint32_t keep = Chunk::capacity / 2;
      for (std::uint32_t moved = keep; moved < Chunk::capacity; ++moved) {
        half.insert_at(half.count, Piece{full.address[moved], full.end[moved], full.live_from[moved],
                                         full.live_until[moved]});
      }
      full.count = keep;
      full.update_bounds();
      half.update_bounds();
      slot = order_.insert(std::next(slot), upper);
      if (piece.address < half.address[0]) {
        --slot;
      }
      index = *slot;
    }
    Chunk& chunk = chunks_[index];
    const auto position = static_cast<std::uint32_t>(
        std::upper_bound(chunk.address.begin(), chunk.address.begin() + chunk.count, piece.address) -
        chunk.address.begin());
    chunk.insert_at(position, piece);
    chunk.update_bounds();
  }

 private:
  std::uint32_t new_chunk() {
    chunks_.emplace_back();
    return static_cast<std::uint32_t>(chunks_.size() - 1);
  }

  std::vector<Chunk> chunks_;
  std::vector<std::uint32_t> order_;  // chunk indexes in address order
};

// Tiles with one placement history, and what the tensor being placed did to
// them. The scratch fields are valid while `stamp` is that tensor's stamp.
struct Group {
  Occupancy occupancy;
  std::uint32_t tiles = 0;
  std::uint64_t stamp = 0;
  std::uint32_t covered = 0;  // tiles of the group in the tensor's layout
  bool placed = false;        // the tensor's piece is placed for the group
  std::uint32_t moved_to = 0;
  std::uint32_t address = 0;
};

class TilePlanner {
 public:
  TilePlanner(std::size_t tile_span, const CompilerOptions& options)
      : group_of_(tile_span, 0), data_base_(options.data_base), data_limit_(options.data_limit) {
    groups_.push_back(Group{{}, static_cast<std::uint32_t>(tile_span)});
  }

  // Places the pieces of one tensor, `size` bytes each, on the tiles of its
  // layout in order, appending an allocation per tile; the first piece that
  // does not fit stops it.
  std::expected<void, MemoryFailure> place(const Tensor& tensor, const Layout& layout, std::uint32_t size,
                                           std::uint64_t live_from, std::uint64_t live_until,
                                           std::vector<Allocation>& allocations) {
    ++stamp_;
    const Request request{tensor, size, layout.alignment, live_from, live_until};
    if (names_a_tile_twice(layout.tiles)) {
      return place_tile_by_tile(request, layout.tiles, allocations);
    }
    return place_by_group(request, layout.tiles, allocations);
  }

 private:
  struct Request {
    const Tensor& tensor;
    std::uint32_t size;
    std::uint32_t alignment;
    std::uint64_t live_from;
    std::uint64_t live_until;
  };

  bool names_a_tile_twice(std::span<const std::uint16_t> tiles) {
    if (std::ranges::adjacent_find(tiles, std::greater_equal{}) == tiles.end()) {
      return false;  // strictly ascending, as compile lays tensors out
    }
    seen_.resize(group_of_.size(), 0);
    for (const std::uint16_t tile : tiles) {
      if (seen_[tile] == stamp_) {
        return true;
      }
      seen_[tile] = stamp_;
    }
    return false;
  }

  // Each group among the tiles is placed once; the tiles of a group the
  // layout covers only in part move to a copy of its list.
  std::expected<void, MemoryFailure> place_by_group(const Request& request, std::span<const std::uint16_t> tiles,
                                                    std::vector<Allocation>& allocations) {
    count_covered(tiles);
    constexpr std::uint32_t no_group = std::numeric_limits<std::uint32_t>::max();
    std::uint32_t run_source = no_group;
    std::uint32_t target = 0;
    std::uint32_t address = 0;
    for (const std::uint16_t tile : tiles) {
      const std::uint32_t source = group_of_[tile];
      if (source != run_source) {
        run_source = source;
        if (!groups_[source].placed) {
          const std::uint32_t destination =
              groups_[source].covered < groups_[source].tiles ? split(source) : source;
          const std::expected<std::uint32_t, MemoryFailure> placed = place_piece(request, destination, tile);
          if (!placed) {
            return std::unexpected(placed.error());
          }
          Group& group = groups_[source];
          group.placed = true;
          group.moved_to = destination;
          group.address = *placed;
        }
        target = groups_[source].moved_to;
        address = groups_[source].address;
      }
      if (target != source) {
        --groups_[source].tiles;
        ++groups_[target].tiles;
        group_of_[tile] = target;
      }
      allocations.push_back(Allocation{request.tensor.id, tile, address, request.size, request.live_from,
                                       request.live_until});
    }
    return {};
  }

  // Stamps the groups of `tiles` for this tensor and counts the tiles each
  // holds among them.
  void count_covered(std::span<const std::uint16_t> tiles) {
    for (std::size_t index = 0; index < tiles.size();) {
      const std::uint32_t group_index = group_of_[tiles[index]];
      std::uint32_t run = 0;
      for (; index < tiles.size() && group_of_[tiles[index]] == group_index; ++index) {
        ++run;
      }
      Group& group = groups_[group_index];
      if (group.stamp != stamp_) {
        group.stamp = stamp_;
        group.covered = 0;
        group.placed = false;
      }
      group.covered += run;
    }
  }

  // With a tile named twice every tile first gets a list of its own, so the
  // second piece on a tile sees the first.
  std::expected<void, MemoryFailure> place_tile_by_tile(const Request& request,
                                                        std::span<const std::uint16_t> tiles,
                                                        std::vector<Allocation>& allocations) {
    for (const std::uint16_t tile : tiles) {
      std::uint32_t group = group_of_[tile];
      if (groups_[group].tiles > 1) {
        const std::uint32_t own = split(group);
        --groups_[group].tiles;
        ++groups_[own].tiles;
        group_of_[tile] = own;
        group = own;
      }
      const std::expected<std::uint32_t, MemoryFailure> placed = place_piece(request, group, tile);
      if (!placed) {
        return std::unexpected(placed.error());
      }
      allocations.push_back(Allocation{request.tensor.id, tile, *placed, request.size, request.live_from,
                                       request.live_until});
    }
    return {};
  }

  // Adds the piece to `group`'s list at its lowest free address; `tile` is
  // the tile a failure names.
  std::expected<std::uint32_t, MemoryFailure> place_piece(const Request& request, std::uint32_t group,
                                                          std::uint16_t tile) {
    Occupancy& occupancy = groups_[group].occupancy;
    const std::uint64_t address =
        occupancy.lowest_free(request.live_from, request.live_until, request.size, request.alignment, data_base_);
    const std::uint64_t end = address + request.size;
    if (end > max_address) {
      return failure(Cause::AddressOverflow, request, tile);
    }
    if (end > data_limit_) {
      return failure(Cause::DataLimit, request, tile);
    }
    occupancy.insert(Piece{static_cast<std::uint32_t>(address), static_cast<std::uint32_t>(end),
                           request.live_from, request.live_until});
    return static_cast<std::uint32_t>(address);
  }

  static std::unexpected<MemoryFailure> failure(Cause cause, const Request& request, std::uint16_t tile) {
    return std::unexpected(
        MemoryFailure{cause, tile, request.tensor.id, request.live_from, request.live_until, request.size});
  }

  // A new group, without tiles yet, whose list copies `source`'s.
  std::uint32_t split(std::uint32_t source) {
    Group copy{groups_[source].occupancy};
    groups_.push_back(std::move(copy));
    return static_cast<std::uint32_t>(groups_.size() - 1);
  }

  std::vector<std::uint32_t> group_of_;
  std::vector<std::uint64_t> seen_;  // per tile, the stamp of the last tensor naming it
  std::vector<Group> groups_;
  std::uint64_t stamp_ = 0;
  std::uint32_t data_base_;
  std::uint32_t data_limit_;
};

// A failed plan: the error plan_memory returns and, for a Memory error, the
// facts it was made from.
struct PlanFailure {
  CompileError error;
  std::optional<MemoryFailure> memory;
};

std::unexpected<PlanFailure> failed_placement(const MemoryFailure& failure, const Tensor& tensor) {
  return std::unexpected(PlanFailure{memory_error(failure.cause, failure.tile, tensor.name).error(), failure});
}

// Both public entry points: the allocations, or the first failure.
std::expected<std::vector<Allocation>, PlanFailure> plan(const Graph& graph, std::span<const Layout> layouts,
                                                         std::span<const Phase> phases,
                                                         const CompilerOptions& options) {
  if (const Result<void> checked = check_inputs(graph, layouts, phases); !checked) {
    return std::unexpected(PlanFailure{checked.error(), std::nullopt});
  }
  const Lifetimes lifetimes = tensor_lifetimes(graph, phases);

  std::size_t piece_count = 0;
  std::size_t tile_span = 0;
  for (const Tensor& tensor : graph.tensors) {
    const std::vector<std::uint16_t>& tiles = layouts[tensor.id.index].tiles;
    piece_count += tiles.size();
    tile_span = std::max<std::size_t>(tile_span, *std::ranges::max_element(tiles) + std::size_t{1});
  }
  std::vector<Allocation> allocations;
  allocations.reserve(piece_count);
  TilePlanner planner(tile_span, options);
  for (const Tensor& tensor : graph.tensors) {
    const std::uint64_t id = tensor.id.index;
    const Layout& layout = layouts[id];
    const std::uint64_t live_from = lifetimes.produced[id];
    const std::uint64_t live_until = lifetimes.consumed[id];
    const std::expected<std::uint32_t, Cause> size = piece_bytes(tensor, layout);
    if (!size) {
      return failed_placement(
          MemoryFailure{size.error(), layout.tiles.front(), tensor.id, live_from, live_until,
                        local_bytes(tensor, layout)},
          tensor);
    }
    if (const std::expected<void, MemoryFailure> placed =
            planner.place(tensor, layout, *size, live_from, live_until, allocations);
        !placed) {
      return failed_placement(placed.error(), tensor);
    }
  }
  return allocations;
}

}  // namespace

bool lifetimes_overlap(std::uint64_t a_start, std::uint64_t a_end, std::uint64_t b_start, std::uint64_t b_end) {
  return a_start <= b_end && b_start <= a_end;
}

std::uint32_t align_u32(std::uint32_t value, std::uint32_t alignment) {
  return checked_align(value, alignment).value_or(0);
}

Result<std::vector<Allocation>> plan_memory(const Graph& graph, std::span<const Layout> layouts,
                                            std::span<const Phase> phases, const CompilerOptions& options) {
  std::expected<std::vector<Allocation>, PlanFailure> planned = plan(graph, layouts, phases, options);
  if (!planned) {
    return std::unexpected(std::move(planned.error().error));
  }
  return std::move(*planned);
}

std::optional<MemoryFailure> memory_failure(const Graph& graph, std::span<const Layout> layouts,
                                            std::span<const Phase> phases, const CompilerOptions& options) {
  const std::expected<std::vector<Allocation>, PlanFailure> planned = plan(graph, layouts, phases, options);
  if (planned) {
    return std::nullopt;
  }
  return planned.error().memory;
}

}  // namespace orvo_compiler
