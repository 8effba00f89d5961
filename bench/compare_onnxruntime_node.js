// Times the npm package onnxruntime-node on the BERT-base-size layer that
// bench/prepared_bench.cpp writes (ORVO_BERT_LAYER_ONNX=<path>), with 1 and 2
// intra-op threads, in wall time per run, the same input as the benchmark's
// shape ([1, 128, 768]). Not a build or test dependency: install the package
// in a scratch folder (npm install --ignore-scripts onnxruntime-node) and run
//   NODE_PATH=<scratch>/node_modules node bench/compare_onnxruntime_node.js <model.onnx> [seconds]
'use strict';

const ort = require('onnxruntime-node');

async function time(path, threads, seconds) {
  const session = await ort.InferenceSession.create(path, {
    intraOpNumThreads: threads,
    interOpNumThreads: 1,
    executionMode: 'sequential',
    graphOptimizationLevel: 'all',
  });
  const values = new Float32Array(128 * 768);
  let state = 99;
  for (let i = 0; i < values.length; ++i) {
    state = (Math.imul(state, 1664525) + 1013904223) >>> 0;
    values[i] = ((state >>> 8) - (1 << 23)) / 1e9;
  }
  const feeds = { input: new ort.Tensor('float32', values, [1, 128, 768]) };
  for (let i = 0; i < 5; ++i) {
    await session.run(feeds);
  }
  let runs = 0;
  const start = process.hrtime.bigint();
  let elapsed = 0;
  while (elapsed < seconds) {
    await session.run(feeds);
    ++runs;
    elapsed = Number(process.hrtime.bigint() - start) / 1e9;
  }
  return (elapsed * 1e3) / runs;
}

async function main() {
  const path = process.argv[2];
  const seconds = Number(process.argv[3] || 3);
  for (const threads of [1, 2]) {
    const ms = await time(path, threads, seconds);
    console.log(`onnxruntime-node ${ort.env.versions ? ort.env.versions.common : ''} threads=${threads}: ${ms.toFixed(2)} ms per run`);
  }
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
