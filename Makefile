# The two commands: `make demo` and `make test`. Both install missing packages first.
BUILD_DIR ?= build
SAN_DIR   ?= build-sanitize
TSAN_DIR  ?= build-tsan
JOBS      ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
FUZZ_DIR  ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZER    ?= sysfile
SUB_DIR   ?= build-subproject

.PHONY: all bootstrap build python demo test test-consumer test-subproject test-sanitize test-tsan bench fuzz clean

all: build

bootstrap:
	@./scripts/bootstrap.sh

build: bootstrap
	@test -f $(BUILD_DIR)/CMakeCache.txt || cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The Python module into $(BUILD_DIR)/python/vesk: PYTHONPATH=$(BUILD_DIR)/python /usr/bin/python3
python: bootstrap
	@test -f $(BUILD_DIR)/CMakeCache.txt || cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS) --target python

demo: build
	./scripts/demo.sh $(BUILD_DIR)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# Installs the build into a temporary prefix and builds examples/consumer
# against it, with find_package and with pkg-config.
test-consumer: build
	./scripts/test-consumer.sh $(BUILD_DIR)

# vesk as another project's subdirectory (examples/consumer with
# VESK_SOURCE_DIR), as a shared library: builds the library only, checks what
# libvesk.so exports, then installs it and builds the consumer against that.
test-subproject: bootstrap
	@test -f $(SUB_DIR)/CMakeCache.txt || cmake -S examples/consumer -B $(SUB_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVESK_SOURCE_DIR=$(CURDIR) -DBUILD_SHARED_LIBS=ON
	cmake --build $(SUB_DIR) -j $(JOBS)
	$(SUB_DIR)/consumer $(SUB_DIR)/consumer.sys
	./scripts/check-exports.sh $(SUB_DIR)/vesk/libvesk.so $(wildcard $(BUILD_DIR)/tools/vesk/libvesk_tool_core.a)
	./scripts/test-consumer.sh $(SUB_DIR)

test-sanitize: bootstrap
	@test -f $(SAN_DIR)/CMakeCache.txt || cmake -S . -B $(SAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DVESK_SANITIZE=ON -DVESK_BUILD_BENCH=OFF
	cmake --build $(SAN_DIR) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(SAN_DIR) --output-on-failure -j $(JOBS)

# The whole suite under ThreadSanitizer (the storage streams run threads of
# their own); any report fails the run.
test-tsan: bootstrap
	@test -f $(TSAN_DIR)/CMakeCache.txt || cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESK_TSAN=ON -DVESK_BUILD_BENCH=OFF
	cmake --build $(TSAN_DIR) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir $(TSAN_DIR) --output-on-failure -j $(JOBS)

bench: build
	@for b in $(BUILD_DIR)/bench/*_bench; do echo "== $$b"; $$b; done

# Builds a libFuzzer harness with clang in its own build directory and runs
# it for FUZZ_SECONDS over a copy of its seed corpus (fuzz/corpus/FUZZER),
# with its dictionary (fuzz/FUZZER.dict); findings land in
# $(FUZZ_DIR)/FUZZER-crash-* and friends. FUZZER: sysfile (any bytes as a
# system file, plain and encrypted), csv (as a CSV file for vesk import) or
# records (the text-form extension records). FUZZ_FLAGS go to libFuzzer as
# they are (e.g. FUZZ_FLAGS=-jobs=2).
fuzz:
	@./scripts/bootstrap.sh --fuzz
	@test -f $(FUZZ_DIR)/CMakeCache.txt || cmake -S . -B $(FUZZ_DIR) -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESK_FUZZ=ON -DVESK_BUILD_BENCH=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target $(FUZZER)_fuzzer
	rm -rf $(FUZZ_DIR)/corpus-$(FUZZER) && mkdir -p $(FUZZ_DIR)/corpus-$(FUZZER) && \
	  cp fuzz/corpus/$(FUZZER)/* $(FUZZ_DIR)/corpus-$(FUZZER)/
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(FUZZ_DIR)/fuzz/$(FUZZER)_fuzzer $(FUZZ_DIR)/corpus-$(FUZZER) -dict=fuzz/$(FUZZER).dict \
	  -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
	  -artifact_prefix=$(FUZZ_DIR)/$(FUZZER)- $(FUZZ_FLAGS)

clean:
	rm -rf $(BUILD_DIR) $(SAN_DIR) $(TSAN_DIR) $(FUZZ_DIR) $(SUB_DIR)
