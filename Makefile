# korvelt-updater: one entry point for building, testing and trying the updater.
# Every target installs what it needs first (Debian packages, as root), so a fresh
# machine needs nothing but make.

BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)

DEBIAN_PACKAGES := cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev \
                   qt6-base-dev libcli11-dev ccache xvfb xauth stm32flash \
                   nlohmann-json3-dev libssl-dev clang libclang-rt-14-dev

CMAKE_FLAGS := -G Ninja -DKORVELT_WERROR=ON
ifneq ($(shell command -v ccache 2>/dev/null),)
CMAKE_FLAGS += -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
endif

.PHONY: windows-check deps build test test-fast test-asan test-tsan demo demo-gui bench fuzz format format-check clean

FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 30
FUZZ_TARGETS := receive_router search_reply banner stm32_client loader_client image_loading

deps:
	@missing=""; for p in $(DEBIAN_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

# The whole suite, then again under address+undefined sanitizers, then the tests that
# run a serial worker thread under the thread sanitizer.
test: test-fast test-asan test-tsan format-check

test-fast: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug \
	  -DKORVELT_SANITIZE=address,undefined -DKORVELT_BUILD_FRONTENDS=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug \
	  -DKORVELT_SANITIZE=thread -DKORVELT_BUILD_FRONTENDS=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir $(TSAN_BUILD) --output-on-failure -L threads -j $(JOBS)

demo: build
	./tools/demo.sh $(BUILD)

# Benchmarks against the line-rate bound; not part of 'make test'. KORVELT_BENCH_SCALE=0.25
# runs every transfer a quarter of its size.
bench: build
	$(BUILD)/korvelt-bench $(BUILD) bench/results.jsonl

demo-gui: build
	./tools/demo-gui.sh $(BUILD)

# Each fuzz target for FUZZ_SECONDS, from its committed seeds, with address and undefined-
# behaviour sanitizers; new findings stop the run.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKORVELT_FUZZ=ON -DKORVELT_SANITIZE=address,undefined -DKORVELT_BUILD_TESTS=OFF \
	  -DKORVELT_BUILD_FRONTENDS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	  echo "== fuzz_$$t for $(FUZZ_SECONDS) s"; \
	  $(FUZZ_BUILD)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/ $(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t \
	    > $(FUZZ_BUILD)/fuzz_$$t.log 2>&1; rc=$$?; \
	  grep -E '^stat::(number_of_executed_units|peak_rss_mb)' $(FUZZ_BUILD)/fuzz_$$t.log; \
	  if [ $$rc -ne 0 ]; then tail -n 60 $(FUZZ_BUILD)/fuzz_$$t.log; exit 1; fi; \
	done

# Compiles the core and the Win32 serial backend with mingw-w64 (groundwork for the Windows
# programs; not part of 'make test' yet).
windows-check:
	@dpkg -s g++-mingw-w64-x86-64-posix >/dev/null 2>&1 || \
	  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++-mingw-w64-x86-64-posix)
	cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DKORVELT_BUILD_TESTS=OFF -DKORVELT_BUILD_FRONTENDS=OFF -DKORVELT_WERROR=ON
	cmake --build build-win -j $(JOBS) --target korvelt_core korvelt_serial korvelt_headless

format:
	git ls-files --cached --others --exclude-standard '*.cpp' '*.h' | xargs clang-format -i

format-check:
	@git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
