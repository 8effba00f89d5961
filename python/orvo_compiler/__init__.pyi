# Type stubs of the orvo_compiler package (the bindings in orvo_compiler._core).
from __future__ import annotations

import enum
from os import PathLike
from typing import Literal, Mapping, Sequence, Union, overload

import numpy
import numpy.typing

__version__: str

FloatArray = numpy.typing.NDArray[numpy.float32]
WordArray = numpy.typing.NDArray[numpy.uint32]
StreamFormat = Literal["array", "bytes"]
Buffer = Union[bytes, bytearray, memoryview]

# ---- errors -----------------------------------------------------------------

class CompileError(Exception):
    kind: Literal["graph", "memory"]
    message: str
    def __init__(self, message: str, kind: Literal["graph", "memory"] = "graph") -> None: ...

# ---- graph.hpp -------------------------------------------------------------

class TensorId:
    def __init__(self, index: int) -> None: ...
    @property
    def index(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __lt__(self, other: TensorId, /) -> bool: ...
    def __le__(self, other: TensorId, /) -> bool: ...
    def __gt__(self, other: TensorId, /) -> bool: ...
    def __ge__(self, other: TensorId, /) -> bool: ...
    def __hash__(self) -> int: ...

class OpId:
    def __init__(self, index: int) -> None: ...
    @property
    def index(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __lt__(self, other: OpId, /) -> bool: ...
    def __le__(self, other: OpId, /) -> bool: ...
    def __gt__(self, other: OpId, /) -> bool: ...
    def __ge__(self, other: OpId, /) -> bool: ...
    def __hash__(self) -> int: ...

class DType(enum.Enum):
    F32 = 0
    I64 = 1
    Bool = 2

class TensorKind(enum.Enum):
    Input = 0
    Weight = 1
    Intermediate = 2
    Output = 3

def size(dtype: DType) -> int: ...

class MatMul:
    def __init__(self) -> None: ...

class Add:
    def __init__(self) -> None: ...

class Mul:
    def __init__(self) -> None: ...

class Reshape:
    shape: list[int]
    def __init__(self, shape: Sequence[int] = ...) -> None: ...

class Transpose:
    permutation: list[int]
    def __init__(self, permutation: Sequence[int] = ...) -> None: ...

class LayerNorm:
    epsilon: float
    def __init__(self, epsilon: float = 0.0) -> None: ...

class Softmax:
    axis: int
    def __init__(self, axis: int = 0) -> None: ...

class Gelu:
    def __init__(self) -> None: ...

class Sub:
    def __init__(self) -> None: ...

class Div:
    def __init__(self) -> None: ...

class Broadcast:
    shape: list[int]
    def __init__(self, shape: Sequence[int] = ...) -> None: ...

class BatchMatMul:
    def __init__(self) -> None: ...

class Slice:
    axis: int
    start: int
    end: int
    def __init__(self, axis: int = 0, start: int = 0, end: int = 0) -> None: ...

class Erf:
    def __init__(self) -> None: ...

class Tanh:
    def __init__(self) -> None: ...

class Sqrt:
    def __init__(self) -> None: ...

class ReduceMean:
    def __init__(self) -> None: ...

class ReduceSum:
    axes: list[int]
    keepdims: bool
    def __init__(self, axes: Sequence[int] = ..., keepdims: bool = True) -> None: ...

class ReduceMeanAxes:
    axes: list[int]
    keepdims: bool
    def __init__(self, axes: Sequence[int] = ..., keepdims: bool = True) -> None: ...

class ReduceMax:
    axes: list[int]
    keepdims: bool
    def __init__(self, axes: Sequence[int] = ..., keepdims: bool = True) -> None: ...

class ReduceMin:
    axes: list[int]
    keepdims: bool
    def __init__(self, axes: Sequence[int] = ..., keepdims: bool = True) -> None: ...

class ReduceProd:
    axes: list[int]
    keepdims: bool
    def __init__(self, axes: Sequence[int] = ..., keepdims: bool = True) -> None: ...

class ReduceL1:
    axes: list[int]
    keepdims: bool
    def __init__(self, axes: Sequence[int] = ..., keepdims: bool = True) -> None: ...

class ReduceL2:
    axes: list[int]
    keepdims: bool
    def __init__(self, axes: Sequence[int] = ..., keepdims: bool = True) -> None: ...

class ReduceSumSquare:
    axes: list[int]
    keepdims: bool
    def __init__(self, axes: Sequence[int] = ..., keepdims: bool = True) -> None: ...

class ReduceLogSum:
    axes: list[int]
    keepdims: bool
    def __init__(self, axes: Sequence[int] = ..., keepdims: bool = True) -> None: ...

class ReduceLogSumExp:
    axes: list[int]
    keepdims: bool
    def __init__(self, axes: Sequence[int] = ..., keepdims: bool = True) -> None: ...

class LogSoftmax:
    axis: int
    def __init__(self, axis: int = 0) -> None: ...

class Hardmax:
    axis: int
    def __init__(self, axis: int = 0) -> None: ...

class CumSum:
    axis: int
    exclusive: bool
    reverse: bool
    def __init__(self, axis: int = 0, exclusive: bool = False, reverse: bool = False) -> None: ...

class ArgMax:
    axis: int
    keepdims: bool
    select_last_index: bool
    def __init__(self, axis: int = 0, keepdims: bool = True, select_last_index: bool = False) -> None: ...

class ArgMin:
    axis: int
    keepdims: bool
    select_last_index: bool
    def __init__(self, axis: int = 0, keepdims: bool = True, select_last_index: bool = False) -> None: ...

class Concat:
    axis: int
    def __init__(self, axis: int = 0) -> None: ...

class Gather:
    axis: int
    def __init__(self, axis: int = 0) -> None: ...

class Tile:
    repeats: list[int]
    def __init__(self, repeats: Sequence[int] = ...) -> None: ...

class Pad:
    pads: list[int]
    mode: str
    def __init__(self, pads: Sequence[int] = ..., mode: str = 'constant') -> None: ...

class StridedSlice:
    starts: list[int]
    steps: list[int]
    shape: list[int]
    def __init__(
        self, starts: Sequence[int] = ..., steps: Sequence[int] = ..., shape: Sequence[int] = ...
    ) -> None: ...

class Cast:
    to: DType
    def __init__(self, to: DType = DType.F32) -> None: ...

class Trilu:
    upper: bool
    k: int
    def __init__(self, upper: bool = True, k: int = 0) -> None: ...

class OneHot:
    depth: int
    axis: int
    def __init__(self, depth: int = 1, axis: int = 0) -> None: ...

class Relu:
    def __init__(self) -> None: ...

class LeakyRelu:
    alpha: float
    def __init__(self, alpha: float = 0.009999999776482582) -> None: ...

class Elu:
    alpha: float
    def __init__(self, alpha: float = 1.0) -> None: ...

class Selu:
    alpha: float
    gamma: float
    def __init__(self, alpha: float = 1.6732631921768188, gamma: float = 1.0507010221481323) -> None: ...

class Celu:
    alpha: float
    def __init__(self, alpha: float = 1.0) -> None: ...

class ThresholdedRelu:
    alpha: float
    def __init__(self, alpha: float = 1.0) -> None: ...

class Sigmoid:
    def __init__(self) -> None: ...

class HardSigmoid:
    alpha: float
    beta: float
    def __init__(self, alpha: float = 0.20000000298023224, beta: float = 0.5) -> None: ...

class HardSwish:
    def __init__(self) -> None: ...

class Softplus:
    def __init__(self) -> None: ...

class Softsign:
    def __init__(self) -> None: ...

class Shrink:
    bias: float
    lambd: float
    def __init__(self, bias: float = 0.0, lambd: float = 0.5) -> None: ...

class Exp:
    def __init__(self) -> None: ...

class Log:
    def __init__(self) -> None: ...

class Neg:
    def __init__(self) -> None: ...

class Abs:
    def __init__(self) -> None: ...

class Reciprocal:
    def __init__(self) -> None: ...

class Floor:
    def __init__(self) -> None: ...

class Ceil:
    def __init__(self) -> None: ...

class Round:
    def __init__(self) -> None: ...

class Sign:
    def __init__(self) -> None: ...

class Sin:
    def __init__(self) -> None: ...

class Cos:
    def __init__(self) -> None: ...

class Tan:
    def __init__(self) -> None: ...

class Asin:
    def __init__(self) -> None: ...

class Acos:
    def __init__(self) -> None: ...

class Atan:
    def __init__(self) -> None: ...

class Sinh:
    def __init__(self) -> None: ...

class Cosh:
    def __init__(self) -> None: ...

class Asinh:
    def __init__(self) -> None: ...

class Acosh:
    def __init__(self) -> None: ...

class Atanh:
    def __init__(self) -> None: ...

class Clip:
    min: float
    max: float
    def __init__(self, min: float = -3.4028234663852886e+38, max: float = 3.4028234663852886e+38) -> None: ...

class Max:
    def __init__(self) -> None: ...

class Min:
    def __init__(self) -> None: ...

class Sum:
    def __init__(self) -> None: ...

class Mean:
    def __init__(self) -> None: ...

class Pow:
    def __init__(self) -> None: ...

class Mod:
    fmod: int
    def __init__(self, fmod: int = 0) -> None: ...

class PRelu:
    def __init__(self) -> None: ...

class Equal:
    def __init__(self) -> None: ...

class Less:
    def __init__(self) -> None: ...

class Greater:
    def __init__(self) -> None: ...

class LessOrEqual:
    def __init__(self) -> None: ...

class GreaterOrEqual:
    def __init__(self) -> None: ...

class Not:
    def __init__(self) -> None: ...

class And:
    def __init__(self) -> None: ...

class Or:
    def __init__(self) -> None: ...

class Xor:
    def __init__(self) -> None: ...

class Where:
    def __init__(self) -> None: ...

class Conv:
    group: int
    strides: list[int]
    dilations: list[int]
    pads: list[int]
    def __init__(self, group: int = 1, strides: Sequence[int] = ..., dilations: Sequence[int] = ..., pads: Sequence[int] = ...) -> None: ...

class MaxPool:
    kernel: list[int]
    strides: list[int]
    dilations: list[int]
    pads: list[int]
    ceil_mode: bool
    def __init__(self, kernel: Sequence[int] = ..., strides: Sequence[int] = ..., dilations: Sequence[int] = ..., pads: Sequence[int] = ..., ceil_mode: bool = False) -> None: ...

class AveragePool:
    kernel: list[int]
    strides: list[int]
    pads: list[int]
    ceil_mode: bool
    count_include_pad: bool
    def __init__(self, kernel: Sequence[int] = ..., strides: Sequence[int] = ..., pads: Sequence[int] = ..., ceil_mode: bool = False, count_include_pad: bool = False) -> None: ...

class GlobalAveragePool:
    def __init__(self) -> None: ...

class GlobalMaxPool:
    def __init__(self) -> None: ...

class BatchNormalization:
    epsilon: float
    def __init__(self, epsilon: float = 9.999999747378752e-06) -> None: ...

class ConvTranspose:
    group: int
    strides: list[int]
    dilations: list[int]
    pads: list[int]
    output_padding: list[int]
    def __init__(self, group: int = 1, strides: Sequence[int] = ..., dilations: Sequence[int] = ..., pads: Sequence[int] = ..., output_padding: Sequence[int] = ...) -> None: ...

class Resize:
    shape: list[int]
    scales: list[float]
    mode: str
    coordinate_transformation_mode: str
    nearest_mode: str
    def __init__(self, shape: Sequence[int] = ..., scales: Sequence[float] = ..., mode: str = "nearest", coordinate_transformation_mode: str = "half_pixel", nearest_mode: str = "round_prefer_floor") -> None: ...

OpKind = Union[
    MatMul, Add, Mul, Reshape, Transpose, LayerNorm, Softmax, Gelu, Sub, Div, Broadcast,
    BatchMatMul, Slice, Erf, Tanh, Sqrt, ReduceMean, ReduceSum, ReduceMeanAxes, ReduceMax, ReduceMin,
    ReduceProd, ReduceL1, ReduceL2, ReduceSumSquare, ReduceLogSum, ReduceLogSumExp, LogSoftmax, Hardmax,
    CumSum, ArgMax, ArgMin, Concat, Gather, Tile, Pad, StridedSlice, Cast, Trilu, OneHot,
    Relu, LeakyRelu, Elu, Selu, Celu, ThresholdedRelu,
    Sigmoid, HardSigmoid, HardSwish, Softplus, Softsign, Shrink, Exp, Log, Neg, Abs, Reciprocal, Floor, Ceil,
    Round, Sign, Sin, Cos, Tan, Asin, Acos, Atan, Sinh, Cosh, Asinh, Acosh, Atanh, Clip, Max, Min, Sum, Mean,
    Pow, Mod, PRelu, Equal, Less, Greater, LessOrEqual, GreaterOrEqual, Not, And, Or, Xor, Where,
    Conv, MaxPool, AveragePool, GlobalAveragePool, GlobalMaxPool, BatchNormalization, ConvTranspose,
    Resize,
]

class Tensor:
    id: TensorId
    name: str
    dtype: DType
    shape: list[int]
    kind: TensorKind
    producer: OpId | None
    def __init__(
        self,
        id: TensorId = ...,
        name: str = "",
        dtype: DType = DType.F32,
        shape: Sequence[int] = ...,
        kind: TensorKind = TensorKind.Input,
        producer: OpId | None = None,
    ) -> None: ...
    def elements(self) -> int: ...

class Op:
    id: OpId
    name: str
    kind: OpKind
    inputs: list[TensorId]
    output: TensorId
    def __init__(
        self,
        id: OpId = ...,
        name: str = "",
        kind: OpKind = ...,
        inputs: Sequence[TensorId] = ...,
        output: TensorId = ...,
    ) -> None: ...

class Graph:
    def __init__(self) -> None: ...
    @property
    def tensors(self) -> list[Tensor]: ...
    @property
    def ops(self) -> list[Op]: ...
    @property
    def outputs(self) -> list[TensorId]: ...
    def tensor(
        self, name: str, shape: Sequence[int], kind: TensorKind, producer: OpId | None = None
    ) -> TensorId: ...
    def input(self, name: str, shape: Sequence[int], dtype: DType = DType.F32) -> TensorId: ...
    def weight(self, name: str, shape: Sequence[int], dtype: DType = DType.F32) -> TensorId: ...
    def op(self, name: str, kind: OpKind, inputs: Sequence[TensorId], shape: Sequence[int]) -> TensorId: ...
    def binary(self, name: str, kind: OpKind, left: TensorId, right: TensorId) -> TensorId: ...
    def add(self, name: str, left: TensorId, right: TensorId) -> TensorId: ...
    def matmul(self, name: str, left: TensorId, right: TensorId) -> TensorId: ...
    def mul(self, name: str, left: TensorId, right: TensorId) -> TensorId: ...
    def sub(self, name: str, left: TensorId, right: TensorId) -> TensorId: ...
    def div(self, name: str, left: TensorId, right: TensorId) -> TensorId: ...
    def batch_matmul(self, name: str, left: TensorId, right: TensorId) -> TensorId: ...
    def transpose(self, name: str, input: TensorId, permutation: Sequence[int]) -> TensorId: ...
    def softmax(self, name: str, input: TensorId, axis: int) -> TensorId: ...
    def layer_norm(self, name: str, input: TensorId, epsilon: float) -> TensorId: ...
    def gelu(self, name: str, input: TensorId) -> TensorId: ...
    def erf(self, name: str, input: TensorId) -> TensorId: ...
    def tanh(self, name: str, input: TensorId) -> TensorId: ...
    def sqrt(self, name: str, input: TensorId) -> TensorId: ...
    def reduce_mean(self, name: str, input: TensorId) -> TensorId: ...
    def reshape(self, name: str, input: TensorId, shape: Sequence[int]) -> TensorId: ...
    def broadcast(self, name: str, input: TensorId, shape: Sequence[int]) -> TensorId: ...
    def slice(self, name: str, input: TensorId, axis: int, start: int, end: int) -> TensorId: ...
    def mark_output(self, tensor: TensorId) -> None: ...
    def validate(self) -> None: ...
    def __copy__(self) -> Graph: ...
    def __deepcopy__(self, memo: object) -> Graph: ...

# ---- schedule.hpp ----------------------------------------------------------

class CompilerOptions:
    tile_count: int
    data_base: int
    data_limit: int
    def __init__(self, tile_count: int = 64, data_base: int = 0x52000, data_limit: int = 0xE0000) -> None: ...

class Sharding(enum.Enum):
    Replicated = 0
    Rows = 1
    Columns = 2
    Heads = 3

class Layout:
    tensor: TensorId
    tiles: list[int]
    sharding: Sharding
    alignment: int
    def __init__(
        self,
        tensor: TensorId = ...,
        tiles: Sequence[int] = ...,
        sharding: Sharding = Sharding.Replicated,
        alignment: int = 16,
    ) -> None: ...

class Allocation:
    tensor: TensorId
    tile: int
    address: int
    size: int
    live_from: int
    live_until: int
    def __init__(
        self,
        tensor: TensorId = ...,
        tile: int = 0,
        address: int = 0,
        size: int = 0,
        live_from: int = 0,
        live_until: int = 0,
    ) -> None: ...

class Transfer:
    source_tile: int
    destination_tile: int
    tensor: TensorId
    bytes: int
    def __init__(
        self, source_tile: int = 0, destination_tile: int = 0, tensor: TensorId = ..., bytes: int = 0
    ) -> None: ...

class Exchange:
    transfers: list[Transfer]
    def __init__(self, transfers: Sequence[Transfer] = ...) -> None: ...

class SpecializationKey:
    operation: str
    shape: list[int]
    worker_count: int
    role: str
    alignment: int
    def __init__(
        self,
        operation: str = "",
        shape: Sequence[int] = ...,
        worker_count: int = 1,
        role: str = "",
        alignment: int = 16,
    ) -> None: ...

class KernelCommand:
    tile: int
    output: TensorId
    inputs: list[TensorId]
    specialization: SpecializationKey
    def __init__(
        self,
        tile: int = 0,
        output: TensorId = ...,
        inputs: Sequence[TensorId] = ...,
        specialization: SpecializationKey = ...,
    ) -> None: ...

class Compute:
    op: OpId
    commands: list[KernelCommand]
    def __init__(self, op: OpId = ..., commands: Sequence[KernelCommand] = ...) -> None: ...

Phase = Union[Exchange, Compute]

class EncodedTileCommand:
    words: list[int]
    def __init__(self, words: Sequence[int] = ...) -> None: ...
    def to_le_bytes(self) -> bytes: ...

class Schedule:
    @property
    def layouts(self) -> list[Layout]: ...
    @property
    def phases(self) -> list[Phase]: ...
    @property
    def allocations(self) -> list[Allocation]: ...
    @property
    def tile_count(self) -> int: ...
    @property
    def peak_sram(self) -> dict[int, int]: ...
    @overload
    def tile_commands(self, tile: int, format: Literal["array"] = "array") -> WordArray: ...
    @overload
    def tile_commands(self, tile: int, format: Literal["bytes"]) -> bytes: ...
    @overload
    def all_tile_commands(self, format: Literal["array"] = "array") -> list[WordArray]: ...
    @overload
    def all_tile_commands(self, format: Literal["bytes"]) -> list[bytes]: ...
    def __copy__(self) -> Schedule: ...
    def __deepcopy__(self, memo: object) -> Schedule: ...

# ---- commands.hpp ----------------------------------------------------------

class CommandKind(enum.Enum):
    Exchange = 1
    Compute = 2
    End = 255

class command_word:
    kind: int
    phase: int
    source_tile: int
    destination_tile: int
    tensor: int
    bytes: int
    op: int
    output: int
    input_count: int
    first_input: int

def tile_stream_bytes(schedule: Schedule, tile: int) -> bytes: ...

# ---- compiler.hpp ----------------------------------------------------------

def choose_layout(tensor: Tensor, tile_count: int) -> Layout: ...
def local_bytes(tensor: Tensor, layout: Layout) -> int: ...
def worker_count(tensor: Tensor) -> int: ...
def operation_name(kind: OpKind) -> str: ...
def validate_transfers(transfers: Sequence[Transfer]) -> None: ...
def lifetimes_overlap(a_start: int, a_end: int, b_start: int, b_end: int) -> bool: ...
def align_u32(value: int, alignment: int) -> int: ...
def plan_memory(
    graph: Graph, layouts: Sequence[Layout], phases: Sequence[Phase], options: CompilerOptions | None = None,
    **kwargs: int
) -> list[Allocation]: ...
class MemoryFailure:
    class Cause(enum.Enum):
        DataLimit = 0
        AddressOverflow = 1
    cause: MemoryFailure.Cause
    tile: int
    tensor: TensorId
    live_from: int
    live_until: int
    bytes: int
    def __init__(
        self,
        cause: MemoryFailure.Cause = MemoryFailure.Cause.DataLimit,
        tile: int = 0,
        tensor: TensorId = ...,
        live_from: int = 0,
        live_until: int = 0,
        bytes: int = 0,
    ) -> None: ...

def memory_failure(
    graph: Graph, layouts: Sequence[Layout], phases: Sequence[Phase], options: CompilerOptions | None = None,
    **kwargs: int
) -> MemoryFailure | None: ...
def compile(graph: Graph, options: CompilerOptions | None = None, **kwargs: int) -> Schedule: ...
def verify_schedule(graph: Graph, schedule: Schedule, options: CompilerOptions | None = None, **kwargs: int) -> None: ...

# ---- analysis.hpp ----------------------------------------------------------

class TileRun:
    first_tile: int
    last_tile: int
    bytes: int | None
    def __init__(self, first_tile: int = 0, last_tile: int = 0, bytes: int | None = None) -> None: ...

class LivePeak:
    phase: int
    bytes: int
    def __init__(self, phase: int = 0, bytes: int = 0) -> None: ...

class WorstTile:
    tile: int
    peak_bytes: int
    live: LivePeak
    def __init__(self, tile: int = 0, peak_bytes: int = 0, live: LivePeak = ...) -> None: ...

class ScheduleStatistics:
    tensors: int
    operations: int
    phases: int
    exchange_phases: int
    compute_phases: int
    transfers: int
    transfer_bytes: int
    kernel_commands: int
    allocations: int
    worst_tile: WorstTile | None
    def __init__(self) -> None: ...

class LiveBound:
    tile: int
    live: LivePeak
    def __init__(self, tile: int = 0, live: LivePeak = ...) -> None: ...

class LiveTensor:
    tensor: TensorId
    name: str
    bytes: int
    def __init__(self, tensor: TensorId = ..., name: str = "", bytes: int = 0) -> None: ...

class WindowFit(enum.Enum):
    Fits = 0
    PastAddressSpace = 1
    BaseNotAligned = 2

class TileCountFit(enum.Enum):
    Fits = 0
    PieceTooLarge = 1
    NoneFits = 2

class TileCountAdvice:
    window_bytes: int
    fit: TileCountFit
    tile_count: int
    spread_tiles: int
    largest_tensor: TensorId
    largest_name: str
    largest_piece_bytes: int
    piece_excess_bytes: int
    spread_needed_bytes: int | None
    def __init__(self) -> None: ...

class MemoryDiagnosis:
    tile: int
    data_base: int
    data_limit: int
    window_bytes: int
    peak: LivePeak
    phase_description: str
    excess_bytes: int
    spare_bytes: int
    largest_tensors: list[LiveTensor]
    other_tensors: int
    needed_bytes: int
    fit: WindowFit
    fitting_limit: int
    tile_advice: TileCountAdvice | None
    def __init__(self) -> None: ...

def peak_runs(schedule: Schedule) -> list[TileRun]: ...
def live_bytes(schedule: Schedule, tile: int) -> list[int]: ...
def max_live_bound(schedule: Schedule) -> LiveBound: ...
def memory_diagnosis(graph: Graph, options: CompilerOptions | None = None, **kwargs: int) -> MemoryDiagnosis | None: ...
def tile_count_advice(graph: Graph, options: CompilerOptions | None = None, **kwargs: int) -> TileCountAdvice | None: ...
def live_peak(schedule: Schedule, tile: int) -> LivePeak: ...
def live_peaks(schedule: Schedule) -> list[LivePeak]: ...
def live_allocations(schedule: Schedule, tile: int, phase: int) -> list[Allocation]: ...
def schedule_statistics(graph: Graph, schedule: Schedule) -> ScheduleStatistics: ...
def phase_description(graph: Graph, schedule: Schedule, phase: int) -> str: ...

# ---- encoder.hpp -----------------------------------------------------------

class EncoderConfig:
    sequence: int
    hidden: int
    heads: int
    feed_forward: int
    def __init__(self, sequence: int = 32, hidden: int = 64, heads: int = 4, feed_forward: int = 256) -> None: ...

class EncoderWeights:
    def __init__(
        self,
        wq: FloatArray | None = None,
        wk: FloatArray | None = None,
        wv: FloatArray | None = None,
        wo: FloatArray | None = None,
        w1: FloatArray | None = None,
        w2: FloatArray | None = None,
    ) -> None: ...
    @staticmethod
    def deterministic(config: EncoderConfig) -> EncoderWeights: ...
    @property
    def wq(self) -> FloatArray: ...
    @property
    def wk(self) -> FloatArray: ...
    @property
    def wv(self) -> FloatArray: ...
    @property
    def wo(self) -> FloatArray: ...
    @property
    def w1(self) -> FloatArray: ...
    @property
    def w2(self) -> FloatArray: ...

def encoder_graph(config: EncoderConfig) -> Graph: ...
def encoder_stack_graph(config: EncoderConfig, layers: int) -> Graph: ...
class EncoderWorkspace:
    def __init__(self) -> None: ...

@overload
def encoder_reference(config: EncoderConfig, input: FloatArray, weights: EncoderWeights) -> FloatArray: ...
@overload
def encoder_reference(
    config: EncoderConfig, input: FloatArray, weights: EncoderWeights, workspace: EncoderWorkspace, output: FloatArray
) -> None: ...

# ---- kernels.hpp -----------------------------------------------------------

def matmul(left: FloatArray, right: FloatArray, rows: int, inner: int, columns: int) -> FloatArray: ...
def layer_norm(input: FloatArray, rows: int, columns: int, epsilon: float) -> FloatArray: ...
def softmax_rows(values: FloatArray, rows: int, columns: int) -> None: ...
@overload
def gelu(values: FloatArray) -> FloatArray: ...
@overload
def gelu(value: float) -> float: ...

# ---- evaluate.hpp ----------------------------------------------------------

@overload
def evaluate(
    graph: Graph, values: Mapping[Union[TensorId, str], FloatArray], keys: Literal["name"] = "name"
) -> dict[str, FloatArray]: ...
@overload
def evaluate(
    graph: Graph, values: Mapping[Union[TensorId, str], FloatArray], keys: Literal["id"]
) -> dict[TensorId, FloatArray]: ...

# ---- prepared.hpp ----------------------------------------------------------

def default_thread_count() -> int: ...

class PreparedEvaluation:
    def __init__(self, graph: Graph, threads: int | None = None) -> None: ...
    def bind(self, values: Mapping[Union[TensorId, str], FloatArray]) -> None: ...
    @overload
    def run(
        self, values: Mapping[Union[TensorId, str], FloatArray], keys: Literal["name"] = "name"
    ) -> dict[str, FloatArray]: ...
    @overload
    def run(self, values: Mapping[Union[TensorId, str], FloatArray], keys: Literal["id"]) -> dict[TensorId, FloatArray]: ...
    @property
    def threads(self) -> int: ...
    @property
    def arena_bytes(self) -> int: ...
    @property
    def passes(self) -> int: ...

# ---- npy.hpp ---------------------------------------------------------------

def parse_npy(bytes: Buffer) -> FloatArray: ...
def read_npy(path: str | PathLike[str]) -> FloatArray: ...
def npy_bytes(shape: Sequence[int], values: FloatArray) -> bytes: ...

# ---- onnx.hpp --------------------------------------------------------------

class ImportedModel:
    @property
    def graph(self) -> Graph: ...
    @property
    def weights(self) -> dict[TensorId, FloatArray]: ...
    @property
    def opset(self) -> int: ...
    @property
    def producer(self) -> str: ...
    @property
    def fused(self) -> list[str]: ...
    @property
    def inputs(self) -> list[TensorInfo]: ...
    @property
    def outputs(self) -> list[TensorInfo]: ...

@overload
def import_onnx(model: Buffer, dimensions: Mapping[str, int] = ..., max_elements: int = 2147483648) -> ImportedModel: ...
@overload
def import_onnx(
    path: str | PathLike[str], dimensions: Mapping[str, int] = ..., max_elements: int = 2147483648
) -> ImportedModel: ...
@overload
def import_onnx(model: object, dimensions: Mapping[str, int] = ..., max_elements: int = 2147483648) -> ImportedModel: ...

# ---- session.hpp -----------------------------------------------------------

class TensorInfo:
    name: str
    shape: list[int]
    dtype: DType
    def __init__(self, name: str = "", shape: Sequence[int] = ..., dtype: DType = DType.F32) -> None: ...

def input_infos(graph: Graph) -> list[TensorInfo]: ...
def output_infos(graph: Graph) -> list[TensorInfo]: ...

class CompiledModel:
    @property
    def schedule(self) -> Schedule: ...
    @property
    def options(self) -> CompilerOptions: ...
    @property
    def graph(self) -> Graph: ...
    @property
    def workload(self) -> Workload: ...
    def summary(self) -> str: ...
    def report_html(self, tile: int = 0) -> str: ...
    def memory_map_svg(self, tile: int = 0, form: SvgForm = SvgForm.Document) -> str: ...
    def verify(self) -> None: ...
    def schedule_json(self, indent: int = 2) -> str: ...
    def trace_json(self) -> str: ...

class Session:
    def __init__(
        self,
        model: str | PathLike[str] | Buffer | ImportedModel | object,
        dimensions: Mapping[str, int] | None = None,
        threads: int | None = None,
        name: str | None = None,
        max_elements: int | None = None,
    ) -> None: ...
    @property
    def inputs(self) -> list[TensorInfo]: ...
    @property
    def outputs(self) -> list[TensorInfo]: ...
    @property
    def model(self) -> ImportedModel: ...
    @property
    def name(self) -> str: ...
    @property
    def threads(self) -> int: ...
    def run(
        self, feeds: Mapping[str, object], outputs: str | Sequence[str] | None = None
    ) -> dict[str, numpy.typing.NDArray[numpy.generic]]: ...
    def compile(self, options: CompilerOptions | None = None, **kwargs: int) -> CompiledModel: ...

# ---- views.hpp -------------------------------------------------------------

def group_thousands(value: int) -> str: ...
def hex_address(value: int) -> str: ...
def xml_escape(text: str) -> str: ...
def kib_text(bytes: int) -> str: ...
def byte_tick_step(span: int, max_ticks: int) -> int: ...

class Workload:
    config: EncoderConfig
    layers: int
    model: str
    def __init__(self, config: EncoderConfig = ..., layers: int = 1, model: str = "") -> None: ...

def schedule_summary(
    workload: Workload, options: CompilerOptions | None, schedule: Schedule, statistics: ScheduleStatistics,
    **kwargs: int
) -> str: ...
def diagnosis_lines(diagnosis: MemoryDiagnosis) -> list[str]: ...
def tile_advice_line(advice: TileCountAdvice) -> str: ...
def diagnose_memory_error(
    graph: Graph, options: CompilerOptions | None, error: CompileError, **kwargs: int
) -> list[str]: ...

class SvgForm(enum.Enum):
    Document = 0
    Inline = 1

class TileMap:
    tile: int
    svg: str
    def __init__(self, tile: int = 0, svg: str = "") -> None: ...

def memory_map_svg(
    graph: Graph, schedule: Schedule, options: CompilerOptions | None = None, tile: int = 0,
    form: SvgForm = SvgForm.Document, **kwargs: int
) -> str: ...
def memory_maps(
    graph: Graph, schedule: Schedule, options: CompilerOptions | None = None, form: SvgForm = SvgForm.Document,
    **kwargs: int
) -> list[TileMap]: ...
def memory_map_style() -> str: ...
def report_html(
    workload: Workload, options: CompilerOptions | None, graph: Graph, schedule: Schedule, tile: int = 0,
    **kwargs: int
) -> str: ...

class MemoryMap:
    def __init__(
        self, graph: Graph, schedule: Schedule, options: CompilerOptions | None = None, tile: int = 0, **kwargs: int
    ) -> None: ...
    @property
    def tile(self) -> int: ...
    @property
    def svg(self) -> str: ...
    def _repr_svg_(self) -> str: ...

# ---- schedule_json.hpp -----------------------------------------------------

def schedule_json(
    workload: Workload, options: CompilerOptions | None, graph: Graph, schedule: Schedule, indent: int = 2,
    **kwargs: int
) -> str: ...
def trace_json(graph: Graph, schedule: Schedule) -> str: ...
