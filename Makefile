# The two commands of the README: `make demo` and `make test`. Each first installs the Debian
# packages it needs (as root; otherwise it prints the command to run).
.PHONY: demo test build build-linux build-windows bench deps-demo deps-test deps-bench format clean \
	sanitize fuzz soak

JOBS ?= $(shell nproc)

# The demo needs no cross compilers: it builds the Linux library and the jar in a folder of its
# own, without the tests (whose tools the demo does not install). The jar also carries the
# Windows DLLs when they have been built before.
demo: deps-demo
	cmake --preset linux -B build/demo -DBUILD_TESTING=OFF --no-warn-unused-cli
	cmake --build build/demo -j $(JOBS) --target tarvolex
	scripts/demo.sh build/demo/java/tarvolex.jar

test: deps-test build
	ctest --preset linux -j $(JOBS)

# In this order: the Linux build puts the Windows DLLs into tarvolex.jar.
build:
	$(MAKE) build-windows
	$(MAKE) build-linux

build-linux:
	cmake --preset linux
	cmake --build --preset linux -j $(JOBS)

# The Windows DLLs come first when both are built: the Linux tests check and run them.
build-windows:
	cmake --preset mingw-i686
	cmake --build --preset mingw-i686 -j $(JOBS)
	cmake --preset mingw-x86_64
	cmake --build --preset mingw-x86_64 -j $(JOBS)

# Not part of `test`. bench/run.sh builds the library on its own (build/bench, without the test
# suites and their packages), runs the suite and writes docs/BENCHMARKS.md.
bench: deps-bench
	bench/run.sh

# Not part of `test` (which runs short versions of them): the long reliability runs, see
# docs/RELIABILITY.md. FUZZ_SECONDS per fuzzer; SOAK_SECONDS of threads and SOAK_CYCLES
# open/close cycles in a real JVM.
FUZZ_SECONDS ?= 600
SOAK_SECONDS ?= 300
SOAK_CYCLES ?= 1000000

sanitize: deps-test
	tests/reliability/run.sh build asan
	tests/reliability/run.sh driver asan
	tests/reliability/run.sh build tsan
	tests/reliability/run.sh driver tsan

fuzz: deps-test
	tests/reliability/run.sh build asan
	tests/reliability/run.sh fuzz port_name $(FUZZ_SECONDS)
	tests/reliability/run.sh fuzz write_range $(FUZZ_SECONDS)

soak: deps-test build-linux
	TARVOLEX_SOAK_SECONDS=$(SOAK_SECONDS) TARVOLEX_SOAK_CYCLES=$(SOAK_CYCLES) \
	  ctest --preset linux -R '^soak_test$$' -V

deps-demo deps-test deps-bench: deps-%:
	scripts/install-deps.sh $*

# include/ holds the header exactly as javac -h writes it.
format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c' ':!include/')

clean:
	rm -rf build
