# The commands people type.  Everything builds under build/.
BUILD := build
NATIVE := $(BUILD)/native
ASAN := $(BUILD)/asan
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# Sanitizer reports fail the run; leaks count too.
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
                 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: all deps native asan test test-native test-asan demo bench fuzz clean

all: native

deps:
	@tools/install-deps.sh

native:
	cmake -S . -B $(NATIVE) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(NATIVE) -j$(JOBS)

asan:
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DKARVELO_SANITIZE=ON -DKARVELO_BENCH=OFF >/dev/null
	cmake --build $(ASAN) -j$(JOBS)

test-native: native
	cd $(NATIVE) && ctest --output-on-failure -j$(JOBS)

test-asan: asan
	cd $(ASAN) && $(SANITIZER_ENV) ctest --output-on-failure -j$(JOBS)

# The whole suite twice: a normal build, then ASan + UBSan.
test: deps
	$(MAKE) test-native
	$(MAKE) test-asan

demo: deps native
	@if [ -x $(NATIVE)/karvelo ]; then $(NATIVE)/karvelo demo; else echo "karvelo demo: not yet (the relocation run lands with the command line)"; fi

bench: deps native
	$(NATIVE)/karvelo_bench

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKARVELO_FUZZ=ON -DKARVELO_TESTS=OFF -DKARVELO_BENCH=OFF >/dev/null
	cmake --build $(BUILD)/fuzz -j$(JOBS)

clean:
	rm -rf $(BUILD)
