// The fewest tiles that fit a data window. Tensors spread over more tiles as
// the tile count grows, until each has one tile per started KiB, so the
// search is bounded by the count where spreading stops. Below it, the bytes
// live at once on tile 0 (which holds a piece of every tensor, as large as
// any other tile's) are worked out for any count from one compiled schedule,
// since pieces change with the count but which pieces are live together
// does not; the fewest tiles those bytes fit is where compiling starts.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

#include "orvo_compiler/analysis.hpp"
#include "analysis/widest_limit.hpp"
#include "orvo_compiler/compiler.hpp"

namespace orvo_compiler {
namespace {

constexpr std::uint16_t most_tiles = std::numeric_limits<std::uint16_t>::max();
using detail::widest_limit;

// A tensor as its pieces depend on the tile count: its bytes, the tiles it
// spreads over with every tile available, and its layout's alignment.
struct Spread {
  std::uint64_t bytes = 0;
  std::uint16_t tiles = 1;
  std::uint32_t alignment = 1;
};

std::vector<Spread> spreads(const Graph& graph) {
  std::vector<Spread> all;
  all.reserve(graph.tensors.size());
  for (const Tensor& tensor : graph.tensors) {
    const Layout layout = choose_layout(tensor, most_tiles);
    all.push_back(Spread{tensor.elements() * size(tensor.dtype), static_cast<std::uint16_t>(layout.tiles.size()),
                         std::max<std::uint32_t>(layout.alignment, 1)});
  }
  return all;
}

// The piece of `spread` on each of its tiles with `tile_count` tiles, as the
// planner allocates it: its share rounded up to the alignment. A share is at
// most 1 KiB or a 65,535th of a tensor, so the rounding cannot wrap.
std::uint64_t piece_bytes(const Spread& spread, std::uint16_t tile_count) {
  const std::uint64_t tiles = std::min(spread.tiles, tile_count);
  const std::uint64_t share = spread.bytes / tiles + (spread.bytes % tiles == 0 ? 0 : 1);
  return (share + spread.alignment - 1) / spread.alignment * spread.alignment;
}

bool pieces_fit(const std::vector<Spread>& all, std::uint16_t tile_count, std::uint64_t window) {
  return std::ranges::all_of(all, [&](const Spread& spread) { return piece_bytes(spread, tile_count) <= window; });
}

// The lowest count in [low, high] for which `fits` holds, given that it
// holds at `high`; exact when `fits` is monotone, and otherwise still a count
// where it holds, `high` or one it was tried at.
std::uint16_t lowest_fitting(std::uint16_t low, std::uint16_t high,
                             const std::function<bool(std::uint16_t)>& fits) {
  while (low < high) {
    const auto middle = static_cast<std::uint16_t>(low + (high - low) / 2);
    if (fits(middle)) {
      high = middle;
    } else {
      low = static_cast<std::uint16_t>(middle + 1);
    }
  }
  return high;
}

// A piece's appearance or departure on tile 0: its tensor's bytes count
// from phase `from` up to and including `until`.
struct Lifetime {
  std::size_t tensor = 0;
  std::uint64_t from = 0;
  std::uint64_t until = 0;
};

// The lifetime of each piece on tile 0 in `schedule`.
std::vector<Lifetime> tile_zero_lifetimes(const Schedule& schedule) {
  std::vector<Lifetime> lifetimes;
  for (const Allocation& allocation : schedule.allocations) {
    if (allocation.tile == 0) {
      lifetimes.push_back(Lifetime{allocation.tensor.index, allocation.live_from, allocation.live_until});
    }
  }
  return lifetimes;
}

// The most bytes live at once on tile 0 with `tile_count` tiles: each
// lifetime's piece resized for that count. One sweep over the starts and
// ends, sorted by phase.
std::uint64_t tile_zero_live_peak(const std::vector<Spread>& all, const std::vector<Lifetime>& lifetimes,
                                  std::uint16_t tile_count) {
  struct Change {
    std::uint64_t phase = 0;
    bool ends = false;
    std::uint64_t bytes = 0;
  };
  std::vector<Change> changes;
  changes.reserve(lifetimes.size() * 2);
  for (const Lifetime& lifetime : lifetimes) {
    const std::uint64_t bytes = piece_bytes(all[lifetime.tensor], tile_count);
    changes.push_back(Change{lifetime.from, false, bytes});
    changes.push_back(Change{lifetime.until + 1, true, bytes});
  }
  // At one phase, pieces ending before it leave before those starting at it arrive.
  std::ranges::sort(changes, [](const Change& left, const Change& right) {
    return left.phase != right.phase ? left.phase < right.phase : left.ends && !right.ends;
  });
  std::uint64_t live = 0;
  std::uint64_t peak = 0;
  for (const Change& change : changes) {
    live = change.ends ? live - change.bytes : live + change.bytes;
    peak = std::max(peak, live);
  }
  return peak;
}

// The largest piece over `spread_tiles`, the first such tensor in graph order.
void name_largest_piece(const Graph& graph, const std::vector<Spread>& all, TileCountAdvice& advice) {
  for (std::size_t index = 0; index < all.size(); ++index) {
    const std::uint64_t bytes = piece_bytes(all[index], advice.spread_tiles);
    if (index == 0 || bytes > advice.largest_piece_bytes) {
      advice.largest_tensor = graph.tensors[index].id;
      advice.largest_name = graph.tensors[index].name;
      advice.largest_piece_bytes = bytes;
    }
  }
}

CompilerOptions with_tiles(const CompilerOptions& options, std::uint16_t tile_count) {
  return CompilerOptions{tile_count, options.data_base, options.data_limit};
}

// The highest peak over `tile_count` tiles with a window that holds
// everything; empty when even that window does not.
std::optional<std::uint32_t> needed_bytes(const Graph& graph, std::uint16_t tile_count) {
  const Result<Schedule> wide = compile(graph, CompilerOptions{tile_count, 0, widest_limit});
  if (!wide) {
    return std::nullopt;
  }
  std::uint32_t needed = 0;
  for (const auto& [tile, bytes] : wide->peak_sram) {
    needed = std::max(needed, bytes);
  }
  return needed;
}

}  // namespace

std::optional<TileCountAdvice> tile_count_advice(const Graph& graph, const CompilerOptions& options) {
  if (!graph.validate() || options.data_base >= options.data_limit) {
    return std::nullopt;
  }
  const std::uint64_t window = options.data_limit - options.data_base;
  const std::vector<Spread> all = spreads(graph);

  TileCountAdvice advice;
  advice.window_bytes = window;
  advice.spread_tiles = 1;
  for (const Spread& spread : all) {
    advice.spread_tiles = std::max(advice.spread_tiles, spread.tiles);
  }
  name_largest_piece(graph, all, advice);
  if (advice.largest_piece_bytes > window) {
    advice.fit = TileCountFit::PieceTooLarge;
    advice.piece_excess_bytes = advice.largest_piece_bytes - window;
    return advice;
  }

  // Every count from spread_tiles on compiles to the same layouts, phases
  // and placement, so this one compile speaks for all of them.
  const Result<Schedule> spread = compile(graph, with_tiles(options, advice.spread_tiles));
  if (!spread) {
    if (spread.error().kind != CompileError::Kind::Memory) {
      return std::nullopt;
    }
    advice.fit = TileCountFit::NoneFits;
    advice.spread_needed_bytes = needed_bytes(graph, advice.spread_tiles);
    return advice;
  }

  const auto compiles = [&](std::uint16_t tile_count) {
    return compile(graph, with_tiles(options, tile_count)).has_value();
  };
  // Lower bounds that need no compile: with fewer tiles than `fewest_pieces`
  // a piece alone passes the window, with fewer than `hint` the pieces live
  // at once on tile 0 do. Both only fall as tiles are added.
  const std::uint16_t fewest_pieces = lowest_fitting(
      1, advice.spread_tiles, [&](std::uint16_t tile_count) { return pieces_fit(all, tile_count, window); });
  const std::vector<Lifetime> lifetimes = tile_zero_lifetimes(*spread);
  const std::uint16_t hint = lowest_fitting(fewest_pieces, advice.spread_tiles, [&](std::uint16_t tile_count) {
    return tile_zero_live_peak(all, lifetimes, tile_count) <= window;
  });
  // Placement leaves gaps, so the answer may lie above the hint: the counts
  // above it are tried one, two, four, ... further on until one compiles,
  // and the answer sought between that one and the last that did not. The
  // hint's lifetimes come from spread_tiles' phases, where an exchange can
  // come or go, so one count below a hint that compiles is tried as well.
  std::uint16_t high = hint;
  std::uint16_t low = fewest_pieces;
  if (hint == advice.spread_tiles || compiles(hint)) {
    if (hint > fewest_pieces && compiles(static_cast<std::uint16_t>(hint - 1))) {
      high = static_cast<std::uint16_t>(hint - 1);
    } else {
      low = hint;
    }
  } else {
    std::uint32_t step = 1;
    low = static_cast<std::uint16_t>(hint + 1);
    high = advice.spread_tiles;
    for (std::uint32_t probe = hint + step; probe < advice.spread_tiles; probe = hint + step) {
      if (compiles(static_cast<std::uint16_t>(probe))) {
        high = static_cast<std::uint16_t>(probe);
        break;
      }
      low = static_cast<std::uint16_t>(probe + 1);
      step *= 2;
    }
  }
  high = lowest_fitting(low, high, compiles);
  advice.fit = TileCountFit::Fits;
  advice.tile_count = high;
  return advice;
}

}  // namespace orvo_compiler
