# Thin wrapper over CMake + Ninja.
#   make demo   build what the examples need and run them
#   make test   build everything and run every test
#   make fuzz   build the fuzz targets with clang (build-fuzz/) and run each
#               for FUZZ_SECONDS seconds (default 60)
# BUILD=<dir> picks the build directory, SANITIZE=ON builds with
# AddressSanitizer and UndefinedBehaviorSanitizer.
BUILD ?= build
SANITIZE ?= OFF
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60

.PHONY: all configure demo test fuzz clean

configure:
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DBKF_SANITIZE=$(SANITIZE) >/dev/null

all: configure
	cmake --build $(BUILD) -j $(JOBS)

demo: configure
	cmake --build $(BUILD) --target demo -j $(JOBS)

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

fuzz:
	@cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DBKF_FUZZ=ON -DBKF_BUILD_TESTS=OFF >/dev/null
	cmake --build build-fuzz --target fuzz_targets -j $(JOBS)
	tests/fuzz/run.sh build-fuzz/tests/fuzz $(FUZZ_SECONDS)

clean:
	rm -rf build build-*
