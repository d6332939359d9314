# Thin wrapper over CMake + Ninja.
#   make demo   build everything and run the examples
#   make test   build everything and run every test
# BUILD=<dir> picks the build directory, SANITIZE=ON builds with
# AddressSanitizer and UndefinedBehaviorSanitizer.
BUILD ?= build
SANITIZE ?= OFF
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)

.PHONY: all configure demo test clean

configure:
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DBKF_SANITIZE=$(SANITIZE) >/dev/null

all: configure
	cmake --build $(BUILD) -j $(JOBS)

demo: all
	cmake --build $(BUILD) --target demo

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

clean:
	rm -rf build build-*
