# Thin wrappers over the CMake presets. `make test` and `make run` install
# missing system packages first, so both work on a fresh machine.
.PHONY: run test python-test deps bench fuzz fuzz-build verify-math clean

# Seconds each fuzz target runs: short in `make test`, longer in `make fuzz`.
FUZZ_SMOKE_SECONDS ?= 30
FUZZ_SECONDS ?= 600

deps:
	bash scripts/install-deps

test: deps
	cmake --preset dev
	cmake --build --preset dev
	ctest --preset dev
	$(MAKE) python-test
	$(MAKE) fuzz-build
	bash scripts/run-fuzzers $(FUZZ_SMOKE_SECONDS)

# The Python module's tests run against the release build's module: the dev
# build's is compiled with AddressSanitizer, whose runtime an ordinary Python
# process loads only when preloaded, so it is not the one tested here.
python-test:
	cmake --preset release
	cmake --build --preset release --target orvo_compiler_python
	PYTHONPATH=build/release/python /usr/bin/python3 -m pytest python/tests -q

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

# Every single-precision input of exp, tanh and erf against MPFR, then the
# vectorised forms on every kernel path against the scalar ones; long-running.
verify-math: deps
	cmake -S tools -B build/verify-math -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build build/verify-math --target verify_math
	./build/verify-math/verify_math

clean:
	rm -rf build
