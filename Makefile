# make        build everything into build/
# make test   install what is missing (as root), build, run every test, then
#             the unit tests again under AddressSanitizer and UBSan
# make run    run the service on the simulated board in ./sandbox (Ctrl-C stops it)
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
SANDBOX    ?= $(CURDIR)/sandbox

.PHONY: all build test run deps sandbox clean bench

all: build

deps:
	@sh tools/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

# Both runs always happen; the target fails if either did.
test: build
	@status=0; \
	ctest --test-dir $(BUILD) --output-on-failure -j 6 || status=1; \
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKVT_SANITIZE=ON && \
	cmake --build $(ASAN_BUILD) -j $(JOBS) --target kvt_unit_tests && \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) -L unit --output-on-failure -j 4 || status=1; \
	exit $$status

sandbox: build
	@test -d $(SANDBOX) || $(BUILD)/kvtsim init $(SANDBOX)

run: sandbox
	KVT_ROOT=$(SANDBOX) $(BUILD)/kvt7400sim

bench: build
	sh bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
