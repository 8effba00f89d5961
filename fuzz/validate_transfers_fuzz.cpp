// validate_transfers against a direct restatement of its rules: transfers are
// taken in order, and the first one that moves nothing, sends to its own tile
// or targets a (destination tile, tensor) pair an earlier transfer already
// targeted decides the error.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.hpp"
#include "orvo_compiler/compiler.hpp"

namespace {

using orvo_compiler::CompileError;
using orvo_compiler::Result;
using orvo_compiler::Transfer;

Result<void> expected_outcome(const std::vector<Transfer>& transfers) {
  for (std::size_t i = 0; i < transfers.size(); ++i) {
    const Transfer& transfer = transfers[i];
    if (transfer.source_tile == transfer.destination_tile || transfer.bytes == 0) {
      return std::unexpected(CompileError::graph("invalid exchange transfer"));
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (transfers[j].destination_tile == transfer.destination_tile &&
          transfers[j].tensor == transfer.tensor) {
        return std::unexpected(CompileError::graph("multiple sends target one tensor region in an epoch"));
      }
    }
  }
  return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  // A few tiles and tensors make repeats likely; sometimes any 16-bit tile.
  const bool wide = data.ConsumeBool();
  std::vector<Transfer> transfers(data.ConsumeIntegralInRange<std::size_t>(0, 96));
  for (Transfer& transfer : transfers) {
    transfer.source_tile = wide ? data.ConsumeIntegral<std::uint16_t>() : data.ConsumeIntegralInRange<std::uint16_t>(0, 5);
    transfer.destination_tile =
        wide ? data.ConsumeIntegral<std::uint16_t>() : data.ConsumeIntegralInRange<std::uint16_t>(0, 5);
    transfer.tensor.index = orvo_fuzz::pick_count(data, 5);
    transfer.bytes = orvo_fuzz::pick_u32(data, 64);
  }
  const Result<void> outcome = orvo_compiler::validate_transfers(transfers);
  const Result<void> expected = expected_outcome(transfers);
  orvo_fuzz::check(outcome.has_value() == expected.has_value(), "validate_transfers accepts what it must not, or the reverse");
  if (!outcome.has_value()) {
    orvo_fuzz::check(outcome.error() == expected.error(),
                     "validate_transfers reports " + orvo_fuzz::describe(outcome.error()) + ", expected " +
                         orvo_fuzz::describe(expected.error()));
  }
  return 0;
}
