// Umbrella header: the whole public API of orvo_compiler.
#pragma once

#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/encoder.hpp"
#include "orvo_compiler/error.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/graph.hpp"
#include "orvo_compiler/kernels.hpp"
#include "orvo_compiler/schedule.hpp"
