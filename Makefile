# Front door. `make` installs what is missing, builds the chip image and the simulated node and runs the
# node in the simulator on a built-in script; `make test` installs what is missing, builds every preset
# that CI checks and runs every test.
FUZZ_SECONDS ?= 30
FUZZ_LONG_RUNS ?= 10000000
FUZZ_LONG_SECONDS ?= 900
SOAK_SECONDS ?= 600
# Where the measuring commands write their figures: build/assurance.md, so that `make test` leaves the tree
# as it found it. `make assurance` refreshes the committed docs/assurance.md; `make soak` and
# `make fuzz-long` do so too when given ASSURANCE_DOC=docs/assurance.md.
ASSURANCE_DOC ?= build/assurance.md
export ASSURANCE_DOC

.PHONY: all deps host asan clang chip fuzz fuzz-long lint coverage stack assurance run test test-host test-asan test-fuzz bench bench-chip soak clean

all: deps
	$(MAKE) chip
	$(MAKE) run

deps:
	@tools/install-deps.sh

host:
	cmake --preset host >/dev/null
	cmake --build --preset host

asan:
	cmake --preset host-asan >/dev/null
	cmake --build --preset host-asan

# Built, not run: it proves the sources compile warning-free with the second compiler.
clang:
	cmake --preset host-clang >/dev/null
	cmake --build --preset host-clang

chip:
	cmake --preset stm32f413 >/dev/null
	cmake --build --preset stm32f413

fuzz:
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz

# clang-tidy (.clang-tidy) and cppcheck over firmware/, platform/ and sitl/, as both builds compile them.
lint: deps
	$(MAKE) host
	$(MAKE) chip
	tools/lint.sh build/host build/stm32f413

# The host tests under gcov: line and branch coverage per module (gcovr), the totals printed, the report
# in the assurance report. The image's tests need the chip build.
coverage: deps
	$(MAKE) chip
	cmake --preset coverage >/dev/null
	cmake --build --preset coverage
	tools/coverage.sh build/coverage

# The image's stack bound (checked by every chip build) beside the depths the image reaches on the
# emulated core, into the assurance report.
stack: deps
	$(MAKE) chip
	$(MAKE) host
	tools/stack-report.sh build/host build/stm32f413

# Deep fuzzing, not part of make test: every target to FUZZ_LONG_RUNS executions or FUZZ_LONG_SECONDS each,
# new finds merged into the committed corpus, the figures into the assurance report.
fuzz-long: deps
	$(MAKE) fuzz
	tools/fuzz-long.sh build/fuzz $(FUZZ_LONG_RUNS) $(FUZZ_LONG_SECONDS)

# The committed figures refreshed: static analysis, coverage and stack into docs/assurance.md.
assurance:
	$(MAKE) lint coverage stack ASSURANCE_DOC=docs/assurance.md

run: host
	tools/run-demo.sh build/host

test-host: host
	ctest --preset host -j2

test-asan: asan
	ctest --preset host-asan -j2

test-fuzz: fuzz
	tools/run-fuzzers.sh build/fuzz $(FUZZ_SECONDS)

test: deps
	$(MAKE) chip
	$(MAKE) clang
	$(MAKE) test-host
	$(MAKE) lint
	$(MAKE) coverage
	$(MAKE) stack
	$(MAKE) test-asan
	$(MAKE) test-fuzz

# Benchmarks run from an optimised build of their own.
bench: deps
	@tools/install-deps.sh --bench
	cmake --preset host -B build/bench -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/bench --target xport_bench emu_compare_bench
	build/bench/tests/bench/xport_bench
	build/bench/tests/emu/emu_compare_bench

# The flashed image on the emulated core: fixed scenarios, counted cycles, written to docs/performance.md.
bench-chip: deps
	$(MAKE) chip
	$(MAKE) host
	tools/bench-chip.sh build/host build/stm32f413/endpoint.elf

# Ten simulated minutes of hostile traffic into the node, in the plain and the sanitizer build, the figures
# into the assurance report (CI runs a minute of it as a test).
soak: deps
	$(MAKE) host
	$(MAKE) asan
	tools/soak-report.sh $(SOAK_SECONDS)

clean:
	rm -rf build
