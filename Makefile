# Entry points: `make demo` and `make test` work on a fresh machine (each target installs the
# Debian packages it needs, see scripts/deps: the tool itself needs only a compiler, CMake and
# Ninja); `make bench` measures; `make fuzz` fuzzes every target for a while; `make package`
# builds the Debian package build/release/tbl2tblx_<version>_<arch>.deb.
.PHONY: all build demo test bench fuzz package clean

all: build

build:
	@scripts/deps build
	cmake --preset release >/dev/null
	cmake --build --preset release --target tbl2tblx

demo: build
	@scripts/demo build/release/tbl2tblx

test:
	@scripts/deps test
	cmake --preset test >/dev/null
	cmake --build --preset test
	ctest --preset test

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
