# Entry points: `make demo` and `make test` work on a fresh machine (the build installs what it
# needs); `make bench` measures; `make fuzz` fuzzes every target for a while; `make package`
# builds the Debian package build/release/tbl2tblx_<version>_<arch>.deb.
.PHONY: all build demo test bench fuzz package clean deps

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

package: build
	cd build/release && cpack

fuzz:
	@scripts/deps --all
	@fuzz/run

clean:
	rm -rf build
