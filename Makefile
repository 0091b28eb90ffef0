# The two commands of the README: `make demo` and `make test`. Each first installs the Debian
# packages it needs (as root; otherwise it prints the command to run).
.PHONY: demo test build build-linux build-windows bench deps-demo deps-test deps-bench format clean

JOBS ?= $(shell nproc)

demo: deps-demo build-linux
	scripts/demo.sh

test: deps-test build
	ctest --preset linux -j $(JOBS)

build: build-linux build-windows

build-linux:
	cmake --preset linux
	cmake --build --preset linux -j $(JOBS)

# The Windows DLLs come first when both are built: the Linux tests check and run them.
build-windows:
	cmake --preset mingw-i686
	cmake --build --preset mingw-i686 -j $(JOBS)
	cmake --preset mingw-x86_64
	cmake --build --preset mingw-x86_64 -j $(JOBS)

bench: deps-bench build-linux
	bench/run.sh

deps-demo deps-test deps-bench: deps-%:
	scripts/install-deps.sh $*

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')

clean:
	rm -rf build
