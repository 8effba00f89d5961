// The convolution kernels: the direct loop and the fast kernel with its bits.
//
// Steps of the fast kernel, for filters that read several channels: per batch
// entry and group, a chunk of output positions at a time, copy every window
// into a patch matrix whose row k = (channel, tap) holds, for each position
// of the chunk, the input element that tap reads, or +0.0 where it falls in
// the padding (laid out in blocks of positions as the product reads a packed
// right matrix, so that it is copied once); then continue the output rows of
// the group's filters with filters x patches on the blocked matrix product,
// k ascending. A 1x1 filter
// of stride 1 without padding reads the input itself as the patch matrix.
// Each output's sum thus takes the direct loop's products in the direct
// loop's order, plus x * w = ±0 for each padding tap. Such a term leaves a
// sum unchanged: the sum starts at +0.0 and, rounded to nearest, can only
// become -0.0 from -0.0 + -0.0, so adding ±0 to it gives it back exactly
// (infinities and NaN included). An infinite or NaN weight breaks this
// (inf x 0 is NaN), so such filters run the direct loop unless no window
// overhangs the input.
//
// With one channel per group the taps run outermost, each advancing every
// output row of the plane by one product, so each output still receives its
// taps in row-major order and padding taps are skipped, not multiplied.
//
// Cost: the patch matrix copies each input element once per tap; the product
// does the direct loop's multiplications plus those of the padding taps. The
// chunk size bounds the workspace, not the time; it is not tuned per shape.
#include "kernels/kernels_conv.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kernels/kernels_dispatch.hpp"
#include "kernels/kernels_tile.hpp"

namespace orvo_compiler::detail {
namespace {

// The patch matrix of one chunk holds about this many floats (1 MiB), or
// one multiple of tile_columns when a single column of it is larger.
constexpr std::size_t patch_budget = std::size_t{1} << 18U;
// Chunks are whole numbers of this many positions, a multiple of every
// path's tile width, so only a group's last chunk runs partial tiles. A
// remainder of less than one tile's width joins the chunk before it rather
// than running as a chunk of its own: every chunk reads all the group's
// filters, which for a deep conv over few positions (256 filters of 2,304
// weights over 196 positions) weigh more than the patch matrix.
constexpr std::size_t chunk_multiple = 96;

// Whether some window reaches into the padding on some axis.
bool overhangs(const ConvShape& shape) {
  for (std::size_t axis = 0; axis < 3; ++axis) {
    const std::size_t reach = (shape.output[axis] - 1) * shape.strides[axis] +
                              (shape.kernel[axis] - 1) * shape.dilations[axis];
    if (shape.pads_before[axis] != 0 || reach >= shape.input[axis] + shape.pads_before[axis]) {
      return true;
    }
  }
  return false;
}

// A chunk's patch matrix laid out as the matrix product reads a packed right
// matrix (pack_right_matrix's layout), so that the product copies nothing:
// blocks of `step` positions, each holding its `inner` rows one after
// another, the last block's rows `last_width` floats long.
struct PatchLayout {
  float* data = nullptr;
  std::size_t inner = 0;
  std::size_t step = 0;
  std::size_t count = 0;
  std::size_t last_width = 0;

  // Where row k of block `block` starts; positions of one block follow each
  // other.
  [[nodiscard]] float* row(std::size_t k, std::size_t block) const { return data + offset(k, block); }
  [[nodiscard]] std::size_t offset(std::size_t k, std::size_t block) const {
    return packed_row_offset(inner, step, block, k, width(block));
  }
  // How many floats each row of `block` holds.
  [[nodiscard]] std::size_t width(std::size_t block) const { return (block + 1) * step <= count ? step : last_width; }
};

// Writes a short run of a patch row (never longer than a block of
// positions) inline, four floats at a time: the four from target[i] on are
// read from from(i) on. A call to memmove or memset costs more than a few
// dozen floats. The last four end at count, overlapping the ones before.
template <class From>
void write_short(float* __restrict target, std::size_t count, From from) {
  constexpr std::size_t piece = 4;
  if (count < piece) {
    for (std::size_t i = 0; i < count; ++i) {
      target[i] = *from(i);
    }
    return;
  }
  for (std::size_t i = 0; i + piece < count; i += piece) {
    __builtin_memcpy(target + i, from(i), piece * sizeof(float));
  }
  __builtin_memcpy(target + (count - piece), from(count - piece), piece * sizeof(float));
}

void copy_short(const float* __restrict source, float* __restrict target, std::size_t count) {
  write_short(target, count, [source](std::size_t i) { return source + i; });
}

void clear_short(float* target, std::size_t count) {
  static constexpr float zeros[4] = {};
  write_short(target, count, [](std::size_t /*i*/) { return zeros; });
}

// target[i] = source[2 i] for i below count: the even elements of
// 2 x count - 1 floats, four at a time from two neighbouring pieces.
void copy_even(const float* __restrict source, float* __restrict target, std::size_t count) {
  using Four [[gnu::vector_size(16), gnu::aligned(4)]] = float;
  std::size_t i = 0;
  for (; i + 4 < count; i += 4) {
    Four low;
    Four high;
    __builtin_memcpy(&low, source + 2 * i, sizeof low);
    __builtin_memcpy(&high, source + 2 * i + 4, sizeof high);
    const Four even = __builtin_shufflevector(low, high, 0, 2, 4, 6);
    __builtin_memcpy(target + i, &even, sizeof even);
  }
  // The last few read no further than the last even element.
  for (; i < count; ++i) {
    target[i] = source[2 * i];
  }
}

// One run of a patch row: positions that follow each other both in an output
// row and in one block of the layout. Of its floats, the first `before` and
// the last `after` fall in the padding; the `copied` between read the input
// from `source` in the channel plane on, a stride apart. The run starts at
// `target` + k x `row_step` in row k of its block.
struct PatchRun {
  std::size_t target = 0;
  std::size_t row_step = 0;
  std::size_t source = 0;
  std::uint32_t before = 0;
  std::uint32_t copied = 0;
  std::uint32_t after = 0;
};

// Most runs planned at once; a tap whose runs over a chunk are more is
// planned and written in parts.
constexpr std::size_t max_patch_runs = 256;

// The runs of one tap's patch rows over the chunk's positions from `done` on,
// in row-major output order; `first` is the chunk's first position. The runs
// are the same for every channel: only the plane they read differs. Returns
// how many runs and how many positions they cover (all that remain, unless
// `runs` fills first).
struct PlannedRuns {
  std::size_t runs = 0;
  std::size_t positions = 0;
};

PlannedRuns plan_patch_runs(const ConvShape& shape, const std::array<std::size_t, 3>& tap, std::size_t first,
                            std::size_t done, std::size_t count, const PatchLayout& layout,
                            std::span<PatchRun, max_patch_runs> runs, bool split) {
  const std::int64_t offset_z = tap_offset(shape, 0, tap[0]);
  const std::int64_t offset_y = tap_offset(shape, 1, tap[1]);
  const std::int64_t offset_x = tap_offset(shape, 2, tap[2]);
  const OutputRange xs = inside(shape.output[2], shape.input[2], shape.strides[2], offset_x);
  const std::size_t width = shape.output[2];
  const std::size_t start = done;
  std::size_t ox = (first + done) % width;
  std::size_t oy = ((first + done) / width) % shape.output[1];
  std::size_t oz = (first + done) / (width * shape.output[1]);
  std::size_t planned = 0;
  while (done < count && planned < runs.size()) {
    const std::size_t block = done / layout.step;
    const std::size_t in_block = done % layout.step;
    const std::size_t run = std::min({width - ox, count - done, layout.step - in_block});
    PatchRun& entry = runs[planned++];
    entry.target = layout.offset(0, block) + in_block;
    entry.row_step = layout.width(block);
    std::size_t iz = 0;
    std::size_t iy = 0;
    if (!input_index(oz, shape.strides[0], offset_z, shape.input[0], iz) ||
        !input_index(oy, shape.strides[1], offset_y, shape.input[1], iy)) {
      entry.before = static_cast<std::uint32_t>(run);
      entry.copied = 0;
      entry.after = 0;
    } else {
      const std::size_t from = std::clamp(xs.first, ox, ox + run);
      const std::size_t to = std::clamp(xs.last, from, ox + run);
      entry.before = static_cast<std::uint32_t>(from - ox);
      entry.copied = static_cast<std::uint32_t>(to - from);
      entry.after = static_cast<std::uint32_t>(ox + run - to);
      if (to > from) {
        const std::size_t row = (iz * shape.input[1] + iy) * shape.input[2];
        const auto column = static_cast<std::size_t>(static_cast<std::int64_t>(from * shape.strides[2]) + offset_x);
        // A split row holds the even columns, then the odd ones.
        entry.source = row + (split ? column / 2 + (column % 2) * ((shape.input[2] + 1) / 2) : column);
      }
    }
    done += run;
    ox += run;
    if (ox == width) {
      ox = 0;
      if (++oy == shape.output[1]) {
        oy = 0;
        ++oz;
      }
    }
  }
  return {.runs = planned, .positions = done - start};
}

// Writes the planned runs into row k of the patch matrix, reading `plane`:
// the element each position reads, +0.0 in the padding.
void write_patch_runs(std::span<const PatchRun> runs, const float* plane, std::size_t stride, float* data,
                      std::size_t k) {
  for (const PatchRun& run : runs) {
    float* const target = data + run.target + k * run.row_step;
    clear_short(target, run.before);
    if (run.copied != 0) {
      const float* const source = plane + run.source;
      if (stride == 1) {
        copy_short(source, target + run.before, run.copied);
      } else if (stride == 2) {
        copy_even(source, target + run.before, run.copied);
      } else {
        for (std::size_t i = 0; i < run.copied; ++i) {
          target[run.before + i] = source[i * stride];
        }
      }
    }
    clear_short(target + run.before + run.copied, run.after);
  }
}

// Most floats of a group's input that conv_patches copies split.
constexpr std::size_t max_split_floats = std::size_t{1} << 22U;

// Each of `rows` rows of `width` floats as its even columns then its odd
// ones.
void split_rows(const float* __restrict source, std::size_t rows, std::size_t width, float* __restrict target) {
  const std::size_t evens = (width + 1) / 2;
  for (std::size_t r = 0; r < rows; ++r) {
    const float* const from = source + r * width;
    float* const to = target + r * width;
    copy_strided<2>(from, 2, to, evens);
    copy_strided<2>(from + 1, 2, to + evens, width / 2);
  }
}

// Output positions [from, to) of every group of every batch entry as filters
// x patches, chunk by chunk, each product summing from +0.0 without reading
// the output.
void conv_patches(KernelPath path, const ConvShape& shape, std::span<const float> x, std::span<const float> w,
                  std::span<float> output, std::vector<float>& patches, std::size_t from, std::size_t to) {
  const std::size_t group_channels = shape.channels / shape.groups;
  const std::size_t group_filters = shape.filters / shape.groups;
  const std::size_t taps = shape.taps();
  const std::size_t inner = group_channels * taps;
  const std::size_t positions = shape.positions();
  const std::size_t plane = shape.plane();
  const bool direct_input = taps == 1 && !overhangs(shape) && shape.strides == std::array<std::size_t, 3>{1, 1, 1};
  std::size_t chunk = std::max(chunk_multiple, patch_budget / inner / chunk_multiple * chunk_multiple);
  chunk = std::min(chunk, to - from);
  const std::size_t step = matmul_column_step(path);
  std::array<PatchRun, max_patch_runs> runs;
  // Stride 2 along rows, windows of 4 or more columns, so that each input
  // column is read by at least two taps of a window row: each input row is
  // first copied as its even columns then its odd ones, and every run of a
  // patch row then reads consecutive floats (for inputs of a group up to 16
  // MiB, which the workspace then holds too). A narrower window reads each
  // column too few times to repay the copy.
  const bool split = !direct_input && shape.strides[2] == 2 && shape.kernel[2] >= 4 &&
                     group_channels * plane <= max_split_floats;
  const std::size_t patch_floats =
      (packed_right_floats(path, inner, chunk + step - 1) + line_floats - 1) / line_floats * line_floats;
  float* const patch_data =
      direct_input ? nullptr
                   : line_aligned(patches, patch_floats + (split ? group_channels * plane : 0));
  float* const split_planes = split ? patch_data + patch_floats : nullptr;

  for (std::size_t n = 0; n < shape.batch; ++n) {
    for (std::size_t g = 0; g < shape.groups; ++g) {
      const float* group_input = x.data() + (n * shape.channels + g * group_channels) * plane;
      const MatrixView filters{.data = w.data() + g * group_filters * inner, .row_stride = inner};
      float* const group_output = output.data() + (n * shape.filters + g * group_filters) * positions;
      if (direct_input) {
        matmul_accumulate(path, filters, MatrixView{.data = group_input + from, .row_stride = plane},
                          group_output + from, positions, group_filters, inner, to - from, SumStart::Zero);
        continue;
      }
      if (split) {
        split_rows(group_input, group_channels * plane / shape.input[2], shape.input[2], split_planes);
        group_input = split_planes;
      }
      for (std::size_t first = from, count = 0; first < to; first += count) {
        count = std::min(chunk, to - first);
        if (to - first - count < step) {
          count = to - first;
        }
        const std::size_t tail = count % step;
        const PatchLayout layout{.data = patch_data,
                                 .inner = inner,
                                 .step = step,
                                 .count = count,
                                 .last_width = packed_block_width(path, tail == 0 ? step : tail)};
        // Tap by tap, the runs planned once serve every channel's row.
        std::size_t t = 0;
        for (std::size_t tz = 0; tz < shape.kernel[0]; ++tz) {
          for (std::size_t ty = 0; ty < shape.kernel[1]; ++ty) {
            for (std::size_t tx = 0; tx < shape.kernel[2]; ++tx, ++t) {
              for (std::size_t done = 0; done < count;) {
                const PlannedRuns planned =
                    plan_patch_runs(shape, {tz, ty, tx}, first, done, count, layout, runs, split);
                for (std::size_t c = 0; c < group_channels; ++c) {
                  write_patch_runs(std::span(runs).first(planned.runs), group_input + c * plane,
                                   split ? 1 : shape.strides[2], patch_data, c * taps + t);
                }
                done += planned.positions;
              }
            }
          }
        }
        if (tail != 0) {
          // The last block's lanes past the chunk's positions.
          for (std::size_t row = 0; row < inner; ++row) {
            float* const end = layout.row(row, count / step) + tail;
            std::fill(end, end + (layout.last_width - tail), 0.0F);
          }
        }
        matmul_accumulate_packed(path, filters, patch_data, group_output + first, positions, group_filters,
                                 inner, count, SumStart::Zero);
      }
    }
  }
}

// A 2-D conv of stride and dilation 1 read straight from its input: every
// channel copied once into rows of `width` floats, its padding as zeros (the
// padding columns of the right edge of one row serve as those of the left
// edge of the next), so that tap (ty, tx) of output (oy, ox) lies at
// virtual position q = oy x width + ox, shifted by ty x width + tx. Row k of
// the patch matrix is then a run of consecutive floats of that copy, and the
// tiles read it where it lies (TileKernel::shifted) instead of from copied
// windows. The columns past the output's width in each row of q are computed
// too and dropped.
struct ShiftedRows {
  std::size_t left = 0;    // padding columns before the input, pads_before[2]
  std::size_t top = 0;     // padding rows above, pads_before[1]
  std::size_t rows = 0;    // padded rows: top + input rows + padding rows below
  std::size_t width = 0;   // input columns + the larger padding of the two sides
  std::size_t channel = 0; // floats between channels' copies

  // The layout of `shape`, when it is such a conv and the dropped columns
  // stay below a sixteenth of the work.
  static std::optional<ShiftedRows> of(const ConvShape& shape, std::size_t tile_rows) {
    constexpr std::array<std::size_t, 3> ones{1, 1, 1};
    if (shape.groups != 1 || shape.input[0] != 1 || shape.kernel[0] != 1 || shape.output[0] != 1 ||
        shape.pads_before[0] != 0 || shape.strides != ones ||
        shape.dilations != ones || shape.taps() == 1 || shape.filters % tile_rows != 0) {
      return std::nullopt;
    }
    // With stride 1: output = input + before + after - (kernel - 1).
    const std::size_t right_end = shape.output[2] + shape.kernel[2] - 1;
    const std::size_t bottom_end = shape.output[1] + shape.kernel[1] - 1;
    if (right_end < shape.input[2] + shape.pads_before[2] || bottom_end < shape.input[1] + shape.pads_before[1]) {
      return std::nullopt;
    }
    const std::size_t right = right_end - shape.input[2] - shape.pads_before[2];
    const std::size_t width = shape.input[2] + std::max(shape.pads_before[2], right);
    if ((width - shape.output[2]) * 16 > width) {
      return std::nullopt;
    }
    const std::size_t rows = bottom_end;
    // Past the last row: a tile's columns beyond the last output, and taps
    // to the right of them, read up to a row and a tile further.
    const std::size_t channel = shape.pads_before[2] + rows * width + width + max_tile_columns;
    return ShiftedRows{
        .left = shape.pads_before[2], .top = shape.pads_before[1], .rows = rows, .width = width, .channel = channel};
  }
};

// Output positions [first, last) of every batch entry by shifted rows, each
// sum + bias[filter] when there is a bias (added as the sums leave the
// tiles' buffer, not in a pass of its own over the output).
void conv_shifted_rows(const TileKernel& tile, const ConvShape& shape, const ShiftedRows& layout,
                       std::span<const float> x, std::span<const float> w, std::span<const float> bias,
                       std::span<float> output, std::vector<float>& workspace, std::size_t first, std::size_t last) {
  const std::size_t taps = shape.taps();
  const std::size_t inner = shape.channels * taps;
  const std::size_t positions = shape.positions();
  const std::size_t plane = shape.plane();
  const std::size_t out_width = shape.output[2];
  const std::size_t in_width = shape.input[2];
  const std::size_t copy_floats = shape.channels * layout.channel;
  const std::size_t sums_floats = shape.filters * tile.columns;
  float* const copy = line_aligned(workspace, copy_floats + sums_floats + line_floats);
  float* const sums = copy + (copy_floats + line_floats - 1) / line_floats * line_floats;
  // The padded rows the outputs of [first, last) read, and the row before
  // (whose zero columns the first row's left taps read).
  const std::size_t first_row = first / out_width;
  const std::size_t last_row = (last - 1) / out_width;
  const std::size_t from_row = first_row == 0 ? 0 : first_row - 1;
  const std::size_t to_row = std::min(layout.rows, last_row + shape.kernel[1]);
  const std::size_t q_first = first_row * layout.width + first % out_width;
  const std::size_t q_end = last_row * layout.width + (last - 1) % out_width + 1;

  for (std::size_t n = 0; n < shape.batch; ++n) {
    for (std::size_t c = 0; c < shape.channels; ++c) {
      const float* const source = x.data() + (n * shape.channels + c) * plane;
      float* const target = copy + c * layout.channel;
      std::fill_n(target, layout.left, 0.0F);
      for (std::size_t row = from_row; row < to_row; ++row) {
        float* const line = target + layout.left + row * layout.width;
        if (row < layout.top || row >= layout.top + shape.input[1]) {
          std::fill_n(line, layout.width, 0.0F);
          continue;
        }
        std::copy_n(source + (row - layout.top) * in_width, in_width, line);
        std::fill(line + in_width, line + layout.width, 0.0F);
      }
    }
    float* const out = output.data() + n * shape.filters * positions;
    const float* const base = copy + layout.left;
    for (std::size_t q0 = q_first; q0 < q_end; q0 += tile.columns) {
      for (std::size_t k0 = 0; k0 < inner; k0 += tile.depth) {
        const std::size_t depth = std::min(tile.depth, inner - k0);
        // Row k = (channel, ty, tx) of the patch matrix, counted up from k0.
        std::array<std::ptrdiff_t, max_tile_depth> offsets{};
        std::size_t c = k0 / taps;
        std::size_t ty = k0 % taps / shape.kernel[2];
        std::size_t tx = k0 % taps % shape.kernel[2];
        for (std::size_t k = 0; k < depth; ++k) {
          offsets[k] = static_cast<std::ptrdiff_t>(c * layout.channel + ty * layout.width + tx) -
                       static_cast<std::ptrdiff_t>(layout.left);
          if (++tx == shape.kernel[2]) {
            tx = 0;
            if (++ty == shape.kernel[1]) {
              ty = 0;
              ++c;
            }
          }
        }
        for (std::size_t f0 = 0; f0 < shape.filters; f0 += tile.rows) {
          tile.shifted(depth, w.data() + f0 * inner + k0, inner, base + q0, offsets.data(),
                       sums + f0 * tile.columns, tile.columns, k0 == 0);
        }
      }
      // The block's outputs, a run of whole positions per row of q; columns
      // past a row's outputs are dropped.
      const std::size_t q_stop = std::min(q_end, q0 + tile.columns);
      for (std::size_t q = q0; q < q_stop;) {
        const std::size_t ox = q % layout.width;
        const std::size_t row_end = q - ox + layout.width;
        if (ox < out_width) {
          const std::size_t row_start = q / layout.width * out_width;
          const std::size_t from = std::max(first, row_start + ox);
          const std::size_t to = std::min({last, row_start + out_width, row_start + ox + (q_stop - q)});
          for (std::size_t f = 0; from < to && f < shape.filters; ++f) {
            const float* const source = sums + f * tile.columns + (q - q0) + (from - row_start - ox);
            float* const target = out + f * positions + from;
            if (bias.empty()) {
              std::copy_n(source, to - from, target);
            } else {
              const float value = bias[f];
              for (std::size_t i = 0; i < to - from; ++i) {
                target[i] = source[i] + value;
              }
            }
          }
        }
        q = row_end;
      }
    }
  }
}

// Each output at positions [from, to) of every batch entry and filter
// becomes sum + bias[filter]; nothing when there is no bias.
void add_bias(const ConvShape& shape, std::span<const float> bias, std::span<float> output, std::size_t from,
              std::size_t to) {
  if (bias.empty()) {
    return;
  }
  const std::size_t positions = shape.positions();
  for (std::size_t n = 0; n < shape.batch; ++n) {
    for (std::size_t m = 0; m < shape.filters; ++m) {
      float* const out = output.data() + (n * shape.filters + m) * positions;
      // Read once: the output might alias the bias for all the compiler knows.
      const float value = bias[m];
      for (std::size_t i = from; i < to; ++i) {
        out[i] = out[i] + value;
      }
    }
  }
}

// Where in a channel plane the tap `tap` of output position `at` reads
// (both as z, y, x), or nothing where the tap falls in the padding.
std::optional<std::size_t> tap_element(const ConvShape& shape, const std::array<std::size_t, 3>& at,
                                       const std::array<std::size_t, 3>& tap) {
  std::array<std::size_t, 3> index{};
  for (std::size_t axis = 0; axis < 3; ++axis) {
    if (!input_index(at[axis], shape.strides[axis], tap_offset(shape, axis, tap[axis]), shape.input[axis],
                     index[axis])) {
      return std::nullopt;
    }
  }
  return (index[0] * shape.input[1] + index[1]) * shape.input[2] + index[2];
}

// One input channel per group: each filter's output plane continued tap by
// tap, a row of outputs at a time, padding taps skipped.
void conv_one_channel(const ConvShape& shape, std::span<const float> x, std::span<const float> w,
                      std::span<float> output) {
  const std::size_t group_filters = shape.filters / shape.groups;
  const std::size_t taps = shape.taps();
  const std::size_t positions = shape.positions();
  const std::size_t plane = shape.plane();
  for (std::size_t n = 0; n < shape.batch; ++n) {
    for (std::size_t m = 0; m < shape.filters; ++m) {
      const float* const input = x.data() + (n * shape.channels + m / group_filters) * plane;
      const float* const filter = w.data() + m * taps;
      continue_by_taps(shape, input, output.data() + (n * shape.filters + m) * positions, [filter](std::size_t t) {
        return [weight = filter[t]](float sum, float value) { return value * weight + sum; };
      });
    }
  }
}

// The zero-padded copy of a 2-D conv's input planes that copy_window_rows
// reads: every row and column some window reaches, the padding as +0.0.
struct PaddedPlanes {
  std::size_t rows = 0;
  std::size_t width = 0;

  // Its geometry, for a 2-D conv of 2 to max_row_taps taps. (A 1x1 filter
  // reads each element once; its window rows are copied from the input
  // itself.)
  static std::optional<PaddedPlanes> of(const ConvShape& shape) {
    if (shape.input[0] != 1 || shape.kernel[0] != 1 || shape.output[0] != 1 || shape.taps() == 1 ||
        shape.taps() > max_row_taps) {
      return std::nullopt;
    }
    const auto reach = [&shape](std::size_t axis) {
      return (shape.output[axis] - 1) * shape.strides[axis] + (shape.kernel[axis] - 1) * shape.dilations[axis] + 1;
    };
    return PaddedPlanes{.rows = reach(1), .width = reach(2)};
  }
  static constexpr std::size_t max_row_taps = 64;
};

// Row p of `windows` for every output position p from the padded planes:
// each tap one load at offsets[t] from its window's corner. With Taps known
// (3x3 filters) the offsets stay in registers.
template <std::size_t Taps>
void gather_window_rows(const ConvShape& shape, const PaddedPlanes& geometry, const float* padded,
                        std::span<const std::ptrdiff_t> offsets, float* windows) {
  const std::size_t taps = Taps == 0 ? offsets.size() : Taps;
  const std::size_t channel_floats = geometry.rows * geometry.width;
  const std::size_t inner = shape.channels * taps;
  float* row = windows;
  for (std::size_t oy = 0; oy < shape.output[1]; ++oy) {
    for (std::size_t ox = 0; ox < shape.output[2]; ++ox, row += inner) {
      const float* const corner = padded + oy * shape.strides[1] * geometry.width + ox * shape.strides[2];
      for (std::size_t c = 0; c < shape.channels; ++c) {
        const float* const source = corner + c * channel_floats;
        float* const target = row + c * taps;
        for (std::size_t t = 0; t < taps; ++t) {
          target[t] = source[offsets[t]];
        }
      }
    }
  }
}

// Row p of `windows` for every output position p of the 2-D conv `shape`
// (one batch entry, one group) whose padded planes have `geometry`: for each
// channel, its window's taps in row-major order, +0.0 in the padding. The
// input is first copied with its padding into `padded` (channels x rows x
// width floats), so that no tap is checked against the input's edges.
void copy_window_rows(const ConvShape& shape, const PaddedPlanes& geometry, const float* x, float* windows,
                      float* padded) {
  const std::size_t top = shape.pads_before[1];
  const std::size_t left = shape.pads_before[2];
  for (std::size_t c = 0; c < shape.channels; ++c) {
    const float* const plane = x + c * shape.plane();
    for (std::size_t row = 0; row < geometry.rows; ++row) {
      float* const line = padded + (c * geometry.rows + row) * geometry.width;
      std::fill_n(line, geometry.width, 0.0F);
      if (row < top || row - top >= shape.input[1] || left >= geometry.width) {
        continue;
      }
      const std::size_t copied = std::min(shape.input[2], geometry.width - left);
      std::copy_n(plane + (row - top) * shape.input[2], copied, line + left);
    }
  }
  std::array<std::ptrdiff_t, PaddedPlanes::max_row_taps> offsets{};
  std::size_t t = 0;
  for (std::size_t ty = 0; ty < shape.kernel[1]; ++ty) {
    for (std::size_t tx = 0; tx < shape.kernel[2]; ++tx, ++t) {
      offsets[t] = static_cast<std::ptrdiff_t>(ty * shape.dilations[1] * geometry.width + tx * shape.dilations[2]);
    }
  }
  const std::span<const std::ptrdiff_t> used(offsets.data(), t);
  if (t == 9) {
    gather_window_rows<9>(shape, geometry, padded, used, windows);
  } else {
    gather_window_rows<0>(shape, geometry, padded, used, windows);
  }
}

// copy_window_rows's rows for any shape of one batch entry and one group,
// each tap checked against the input's edges.
void copy_window_rows_by_taps(const ConvShape& shape, const float* x, float* windows) {
  const std::size_t taps = shape.taps();
  const std::size_t inner = shape.channels * taps;
  const std::size_t plane = shape.plane();
  std::size_t p = 0;
  for (std::size_t oz = 0; oz < shape.output[0]; ++oz) {
    for (std::size_t oy = 0; oy < shape.output[1]; ++oy) {
      for (std::size_t ox = 0; ox < shape.output[2]; ++ox, ++p) {
        float* const row = windows + p * inner;
        std::size_t t = 0;
        for (std::size_t tz = 0; tz < shape.kernel[0]; ++tz) {
          for (std::size_t ty = 0; ty < shape.kernel[1]; ++ty) {
            for (std::size_t tx = 0; tx < shape.kernel[2]; ++tx, ++t) {
              const std::optional<std::size_t> element = tap_element(shape, {oz, oy, ox}, {tz, ty, tx});
              if (!element) {
                for (std::size_t c = 0; c < shape.channels; ++c) {
                  row[c * taps + t] = 0.0F;
                }
                continue;
              }
              const float* const source = x + *element;
              for (std::size_t c = 0; c < shape.channels; ++c) {
                row[c * taps + t] = source[c * plane];
              }
            }
          }
        }
      }
    }
  }
}

}  // namespace

ConvShape conv_shape(std::size_t batch, std::size_t channels, std::size_t filters, std::size_t groups,
                     std::span<const std::uint64_t> input, std::span<const std::uint64_t> kernel,
                     std::span<const std::uint64_t> strides, std::span<const std::uint64_t> dilations,
                     std::span<const std::uint64_t> pads_before, std::span<const std::uint64_t> output) {
  ConvShape shape{.batch = batch, .channels = channels, .filters = filters, .groups = groups};
  const std::size_t skip = 3 - input.size();
  for (std::size_t axis = 0; axis < input.size(); ++axis) {
    shape.input[skip + axis] = input[axis];
    shape.kernel[skip + axis] = kernel[axis];
    shape.strides[skip + axis] = strides[axis];
    shape.dilations[skip + axis] = dilations[axis];
    shape.pads_before[skip + axis] = pads_before[axis];
    shape.output[skip + axis] = output[axis];
  }
  return shape;
}

void conv_direct(const ConvShape& shape, std::span<const float> x, std::span<const float> w,
                 std::span<const float> bias, std::span<float> output) {
  const std::size_t group_channels = shape.channels / shape.groups;
  const std::size_t group_filters = shape.filters / shape.groups;
  const std::size_t taps = shape.taps();
  const std::size_t plane = shape.plane();
  std::size_t at = 0;
  for (std::size_t n = 0; n < shape.batch; ++n) {
    for (std::size_t m = 0; m < shape.filters; ++m) {
      const std::size_t first_channel = (m / group_filters) * group_channels;
      for (std::size_t oz = 0; oz < shape.output[0]; ++oz) {
        for (std::size_t oy = 0; oy < shape.output[1]; ++oy) {
          for (std::size_t ox = 0; ox < shape.output[2]; ++ox) {
            float sum = 0.0F;
            for (std::size_t c = 0; c < group_channels; ++c) {
              const float* const input = x.data() + (n * shape.channels + first_channel + c) * plane;
              const float* const filter = w.data() + (m * group_channels + c) * taps;
              std::size_t t = 0;
              for (std::size_t tz = 0; tz < shape.kernel[0]; ++tz) {
                for (std::size_t ty = 0; ty < shape.kernel[1]; ++ty) {
                  for (std::size_t tx = 0; tx < shape.kernel[2]; ++tx, ++t) {
                    if (const std::optional<std::size_t> element = tap_element(shape, {oz, oy, ox}, {tz, ty, tx})) {
                      sum = input[*element] * filter[t] + sum;
                    }
                  }
                }
              }
            }
            if (!bias.empty()) {
              sum = sum + bias[m];
            }
            output[at++] = sum;
          }
        }
      }
    }
  }
}

void conv_forward(KernelPath path, const ConvShape& shape, std::span<const float> x, std::span<const float> w,
                  std::span<const float> bias, std::span<float> output) {
  std::vector<float> workspace;
  conv_forward(path, shape, x, w, bias, output, workspace);
}

void conv_forward(KernelPath path, const ConvShape& shape, std::span<const float> x, std::span<const float> w,
                  std::span<const float> bias, std::span<float> output, std::vector<float>& workspace,
                  std::optional<bool> finite) {
  if (conv_by_patches(shape, w, finite)) {
    conv_forward_positions(path, shape, x, w, bias, output, workspace, 0, shape.positions());
    return;
  }
  if (shape.channels / shape.groups != 1) {
    conv_direct(shape, x, w, bias, output);
    return;
  }
  std::fill(output.begin(), output.end(), 0.0F);
  conv_one_channel(shape, x, w, output);
  add_bias(shape, bias, output, 0, shape.positions());
}

bool conv_by_patches(const ConvShape& shape, std::span<const float> w, std::optional<bool> finite) {
  return shape.channels / shape.groups != 1 && (!overhangs(shape) || (finite ? *finite : weights_finite(w)));
}

void conv_forward_positions(KernelPath path, const ConvShape& shape, std::span<const float> x,
                            std::span<const float> w, std::span<const float> bias, std::span<float> output,
                            std::vector<float>& workspace, std::size_t first, std::size_t last) {
  if (first < last) {
    const TileKernel tile = tile_kernel(path);
    if (const std::optional<ShiftedRows> layout = ShiftedRows::of(shape, tile.rows)) {
      conv_shifted_rows(tile, shape, *layout, x, w, bias, output, workspace, first, last);
      return;
    }
    conv_patches(path, shape, x, w, output, workspace, first, last);
    add_bias(shape, bias, output, first, last);
  }
}

bool conv_by_positions_as_rows(KernelPath path, const ConvShape& shape) {
  // Each run copies every window into the workspace; a bound keeps that copy
  // within the second-level cache.
  constexpr std::size_t max_window_floats = std::size_t{1} << 18U;
  const std::size_t inner = shape.channels * shape.taps();
  const std::size_t lanes = packed_block_width(path, 1);
  const std::size_t last_lanes = shape.positions() % lanes;
  return shape.groups == 1 && shape.batch == 1 && shape.channels > 1 && shape.positions() < shape.filters &&
         shape.positions() * inner <= max_window_floats && last_lanes != 0 && last_lanes <= lanes / 2;
}

std::size_t conv_packed_filters_floats(KernelPath path, const ConvShape& shape) {
  return packed_right_floats(path, shape.channels * shape.taps(), shape.filters);
}

void pack_conv_filters(KernelPath path, const ConvShape& shape, std::span<const float> w, float* packed) {
  const std::size_t inner = shape.channels * shape.taps();
  // Element (k, m) of the transposed matrix is filter m's weight k.
  pack_right_matrix(path, MatrixView{.data = w.data(), .row_stride = 1, .column_stride = inner}, inner, shape.filters,
                    packed);
}

void conv_forward_packed_filters(KernelPath path, const ConvShape& shape, std::span<const float> x,
                                 const float* packed, std::span<const float> bias, std::span<float> output,
                                 std::vector<float>& workspace, std::size_t first, std::size_t last) {
  if (first >= last) {
    return;
  }
  const std::size_t inner = shape.channels * shape.taps();
  const std::size_t positions = shape.positions();
  const std::size_t count = last - first;
  const std::optional<PaddedPlanes> geometry = PaddedPlanes::of(shape);
  // Rows of windows [positions, inner], the product [positions, count],
  // then the padded planes the windows are gathered from, if any.
  const std::size_t windows_floats = (positions * inner + line_floats - 1) / line_floats * line_floats;
  const std::size_t padded_floats = geometry ? shape.channels * geometry->rows * geometry->width : 0;
  float* const windows = line_aligned(workspace, windows_floats + positions * count + padded_floats);
  float* const product = windows + windows_floats;

  // Row p: for each channel, the window's taps in row-major order, +0.0 in
  // the padding (as the patch matrix holds them).
  if (geometry) {
    copy_window_rows(shape, *geometry, x.data(), windows, product + positions * count);
  } else {
    copy_window_rows_by_taps(shape, x.data(), windows);
  }
  matmul_accumulate_packed(path, MatrixView{.data = windows, .row_stride = inner}, packed + first * inner, product,
                           count, positions, inner, count, SumStart::Zero);
  // Each filter's column of the product into its plane, plus its bias (sum
  // + bias, as add_bias) when there is one.
  for (std::size_t m = first; m < last; ++m) {
    float* const out = output.data() + m * positions;
    const float* const column = product + (m - first);
    for (std::size_t i = 0; i < positions; ++i) {
      out[i] = bias.empty() ? column[i * count] : column[i * count] + bias[m];
    }
  }
}

bool weights_finite(std::span<const float> w) {
  // Branch-free, so that the scan of a large filter bank runs in vectors.
  std::uint32_t found = 0;
  for (const float value : w) {
    const std::uint32_t exponent = std::bit_cast<std::uint32_t>(value) & 0x7f800000U;
    found |= static_cast<std::uint32_t>(exponent == 0x7f800000U);
  }
  return found == 0;
}

}  // namespace orvo_compiler::detail
