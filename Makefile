# Entry points: `make demo` and `make test` work on a fresh machine (each target installs the
# Debian packages it needs, see scripts/deps: the tool itself needs only a compiler, CMake and
# Ninja); `make check` runs the tests in one configuration, for iterating; `make bench`
# measures; `make fuzz` fuzzes every target for a while; `make package` builds the Debian
# package build/release/tbl2tblx_<version>_<arch>.deb.
.PHONY: all build demo test check bench fuzz package clean
# Every configuration builds with two jobs; two at once would overload the machine.
.NOTPARALLEL:

# The configurations the suite must pass (CMakePresets.json): under the sanitizers; optimised as
# released; built with clang; and without SSE2, so that every scalar fallback is built and run.
TEST_PRESETS := test test-optimised test-clang test-no-sse2
# `make check`: one of them (PRESET=name), and only the tests matching TESTS=regex if given.
PRESET ?= test

all: build

build:
	@scripts/deps build
	cmake --preset release >/dev/null
	cmake --build --preset release --target tbl2tblx

demo: build
	@scripts/demo build/release/tbl2tblx

test:
	@scripts/deps test
	@scripts/test $(TEST_PRESETS)

check:
	@scripts/deps test
	@scripts/test $(PRESET)

# The benchmarks share the release build folder.
bench:
	@scripts/deps bench
	cmake --preset bench >/dev/null
	cmake --build --preset bench
	@bench/run build/release

package: build
	@scripts/deps package
	cd build/release && cpack

fuzz:
	@scripts/deps fuzz
	@fuzz/run

clean:
	rm -rf build
