# Thin wrappers over the CMake presets. `make test` and `make run` install
# missing system packages first, so both work on a fresh machine.
.PHONY: run test python-test deps bench fuzz fuzz-build fuzz-smoke verify-math clean

# Seconds each fuzz target runs: short in `make fuzz-smoke`, longer in `make fuzz`.
FUZZ_SMOKE_SECONDS ?= 30
FUZZ_SECONDS ?= 600
# Tests CTest runs at once; they share nothing but the build tree they read.
TEST_JOBS ?= $(shell nproc)

deps:
	bash scripts/install-deps

# One build, the dev preset (Debug, ASan+UBSan), and every test registered in
# it: the GoogleTest cases, the self-checks, orvoc's command-line tests, the
# install test and the Python module's tests, all against sanitized code.
test: deps
	cmake --preset dev
	cmake --build --preset dev
	ctest --preset dev --parallel $(TEST_JOBS)

# The Python module's tests alone, as `make test` runs them: the dev build's
# module, with the sanitizer's runtime preloaded into the interpreter.
python-test: deps
	cmake --preset dev
	cmake --build --preset dev --target orvo_compiler_python
	ctest --preset dev --tests-regex '^python\.'

run: deps
	cmake --preset release
	cmake --build --preset release
	./build/release/apps/orvoc/orvoc compile
	./build/release/apps/orvo-selfcheck

bench: deps
	cmake --preset bench
	cmake --build --preset bench
	for program in build/bench/bench/orvo_*_bench; do "$$program" || exit 1; done

fuzz: deps fuzz-build
	bash scripts/run-fuzzers $(FUZZ_SECONDS)

fuzz-build:
	cmake --preset fuzz
	cmake --build --preset fuzz

# Every fuzz target for a short while (CI runs it after `make test`).
fuzz-smoke: deps fuzz-build
	bash scripts/run-fuzzers $(FUZZ_SMOKE_SECONDS)

# Every single-precision input of exp, tanh and erf against MPFR, then the
# vectorised forms on every kernel path against the scalar ones; long-running.
verify-math: deps
	cmake -S tools -B build/verify-math -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build build/verify-math --target verify_math
	./build/verify-math/verify_math

clean:
	rm -rf build
