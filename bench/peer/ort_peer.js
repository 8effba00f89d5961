// The runtime peer of bench/compare_onnxruntime.py: one session at a time,
// driven by one JSON request per line on standard input, one JSON answer per
// line on standard output. Tensors travel as raw little-endian files.
//   {"load": path, "threads": n}                 -> {"create_ms": t}
//   {"run": {name: {"dtype", "shape", "file"}}, "calls": k, "output": path}
//                                                -> {"ms": [t, ...], "shape": [...]}
// Times are wall-clock milliseconds of the calls alone, measured here.
"use strict";
const fs = require("fs");
const readline = require("readline");
const ort = require("onnxruntime-node");

const arrays = { float32: Float32Array, int64: BigInt64Array, bool: Uint8Array };
let session = null;

function tensorOf({ dtype, shape, file }) {
  const bytes = fs.readFileSync(file);
  const Type = arrays[dtype];
  const data = new Type(bytes.buffer, bytes.byteOffset, bytes.byteLength / Type.BYTES_PER_ELEMENT);
  return new ort.Tensor(dtype, data, shape);
}

async function handle(request) {
  if (request.load !== undefined) {
    const start = process.hrtime.bigint();
    session = await ort.InferenceSession.create(request.load, {
      intraOpNumThreads: request.threads,
      interOpNumThreads: 1,
      executionMode: "sequential",
      graphOptimizationLevel: "all",
    });
    return { create_ms: Number(process.hrtime.bigint() - start) / 1e6 };
  }
  const feeds = {};
  for (const [name, description] of Object.entries(request.run)) {
    feeds[name] = tensorOf(description);
  }
  const times = [];
  let results = null;
  for (let call = 0; call < request.calls; ++call) {
    const start = process.hrtime.bigint();
    results = await session.run(feeds);
    times.push(Number(process.hrtime.bigint() - start) / 1e6);
  }
  const output = results[session.outputNames[0]];
  fs.writeFileSync(request.output, Buffer.from(output.data.buffer, output.data.byteOffset, output.data.byteLength));
  return { ms: times, shape: output.dims };
}

const lines = readline.createInterface({ input: process.stdin });
let queue = Promise.resolve();
lines.on("line", (line) => {
  queue = queue.then(async () => {
    let answer;
    try {
      answer = await handle(JSON.parse(line));
    } catch (error) {
      answer = { error: String(error) };
    }
    process.stdout.write(JSON.stringify(answer) + "\n");
  });
});
