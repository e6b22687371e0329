# Entry points: `make demo` and `make test` work on a fresh machine (the build installs what it
# needs); `make bench` measures.
.PHONY: all build demo test bench clean deps

all: build

deps:
	@scripts/deps

build: deps
	cmake --preset release >/dev/null
	cmake --build --preset release --target tbl2tblx

demo: build
	@scripts/demo build/release/tbl2tblx

test: deps
	cmake --preset test >/dev/null
	cmake --build --preset test
	ctest --preset test

bench: deps
	cmake --preset release >/dev/null
	cmake --build --preset release
	@bench/run build/release

clean:
	rm -rf build
