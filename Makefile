# make        build everything into build/
# make test   install what is missing (as root), build, run every test (the
#             full fault matrix aside: make faults), then the unit tests again
#             under AddressSanitizer and UBSan
# make run    run the service on the simulated board in ./sandbox (Ctrl-C stops it)
# make fuzz   run every fuzz target (SNMP requests, MQTT requests, command texts,
#             settings files, mesh reports, the status log, system files) for
#             FUZZ_SECONDS each (default 60) with libFuzzer, ASan and UBSan
# make target       cross-build for the aarch64 board in build-aarch64/, pack
#                   kvt7400sys_aarch64.ipk and check it
# make target-test  that, then the unit tests under qemu-aarch64
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc)
SANDBOX    ?= $(CURDIR)/sandbox

.PHONY: all build test run deps sandbox clean bench fuzz target target-test target-deps faults tsan

all: build

deps:
	@sh tools/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

# Both runs always happen; the target fails if either did.
test: build
	@status=0; \
	ctest --test-dir $(BUILD) -LE faults --output-on-failure -j 6 || status=1; \
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKVT_SANITIZE=ON && \
	cmake --build $(ASAN_BUILD) -j $(JOBS) --target kvt_unit_tests && \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) -L unit --output-on-failure -j 4 || status=1; \
	exit $$status

sandbox: build
	@test -d $(SANDBOX) || $(BUILD)/kvtsim init $(SANDBOX)

run: sandbox
	KVT_ROOT=$(SANDBOX) $(BUILD)/kvt7400sim

# Every fuzz target in turn, FUZZ_SECONDS each, and a line of figures per
# target. New inputs collect in $(FUZZ_BUILD)/corpus; the committed seeds stay
# as they are.
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVT_FUZZ=ON \
	  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_all
	sh bench/fuzz_figures.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# make faults  the whole fault matrix (ctest label faults), its table printed
faults: build
	sh bench/fault_matrix.sh $(BUILD)

# make tsan    the service, the end-to-end tests and the unit tests built with
#              ThreadSanitizer in build-tsan; reports not fixed are explained
#              in tests/tsan.supp
TSAN_BUILD ?= build-tsan
tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKVT_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target kvt7400sim kvtsim kvtctl kvt_unit_tests kvt_e2e_tests
	KVT_TEST_TIME_SCALE=4 TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp halt_on_error=0 exitcode=66 log_path=$(CURDIR)/$(TSAN_BUILD)/tsan" \
	  ctest --test-dir $(TSAN_BUILD) -L 'unit|e2e' --output-on-failure -j 3

bench: build
	sh bench/run.sh $(BUILD)

# The aarch64 board: only what the package ships and the unit tests.
TARGET_BUILD ?= build-aarch64

target-deps: deps
	@sh tools/install-deps.sh target

target: target-deps
	cmake -S . -B $(TARGET_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake
	cmake --build $(TARGET_BUILD) -j $(JOBS) --target kvt7400sys kvtctl ipk
	ctest --test-dir $(TARGET_BUILD) -L target --output-on-failure

target-test: target
	cmake --build $(TARGET_BUILD) -j $(JOBS) --target kvt_unit_tests
	ctest --test-dir $(TARGET_BUILD) -L unit --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
