# Thin wrappers over the CMake presets. `make test` and `make run` install
# missing system packages first, so both work on a fresh machine.
.PHONY: run test deps bench clean

deps:
	bash scripts/install-deps

test: deps
	cmake --preset dev
	cmake --build --preset dev
	ctest --preset dev

run: deps
	cmake --preset release
	cmake --build --preset release
	./build/release/apps/orvoc/orvoc compile
	./build/release/apps/orvo-selfcheck

bench: deps
	cmake --preset bench
	cmake --build --preset bench

clean:
	rm -rf build
