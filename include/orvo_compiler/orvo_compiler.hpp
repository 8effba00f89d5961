// Umbrella header: the whole public API of the core library orvo_compiler
// (the views, JSON and ONNX libraries have headers of their own).
#pragma once

#include "orvo_compiler/analysis.hpp"
#include "orvo_compiler/commands.hpp"
#include "orvo_compiler/compiler.hpp"
#include "orvo_compiler/encoder.hpp"
#include "orvo_compiler/error.hpp"
#include "orvo_compiler/evaluate.hpp"
#include "orvo_compiler/graph.hpp"
#include "orvo_compiler/kernels.hpp"
#include "orvo_compiler/memory.hpp"
#include "orvo_compiler/npy.hpp"
#include "orvo_compiler/prepared.hpp"
#include "orvo_compiler/schedule.hpp"
