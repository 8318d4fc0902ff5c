# korvelt-updater: one entry point for building, testing and trying the updater.
# Every target installs what it needs first (Debian packages, as root), so a fresh
# machine needs nothing but make.

BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)

DEBIAN_PACKAGES := cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev \
                   qt6-base-dev libcli11-dev ccache xvfb xauth stm32flash \
                   nlohmann-json3-dev clang libclang-rt-14-dev dpkg-dev file \
                   minisign libgcrypt20-dev libsqlite3-dev zlib1g-dev gcc-arm-none-eabi \
                   libunicorn-dev

CMAKE_FLAGS := -G Ninja -DKORVELT_WERROR=ON
ifneq ($(shell command -v ccache 2>/dev/null),)
CMAKE_FLAGS += -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
endif

.PHONY: windows windows-deps test-windows win32-rc package package-check deps build test test-fast test-asan test-tsan demo demo-gui bench fuzz format format-check clean

FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 30
FUZZ_TARGETS := receive_router search_reply banner stm32_client loader_client image_loading operator_sequence mcu_image

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
# run a serial worker thread under the thread sanitizer, then the Windows build under Wine,
# then the packages' contents.
test: test-fast test-asan test-tsan test-windows package-check format-check

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

# The Windows programs, cross-compiled with mingw-w64 and tested under Wine. korvelt-sim runs
# natively for the end-to-end test, so the Linux build comes first.
WINDOWS_BUILD    ?= build-win
WINDOWS_DIST     ?= dist/windows
WINDOWS_PACKAGES := g++-mingw-w64-x86-64-posix wine64 fonts-wine socat googletest python3 xvfb xauth \
                    libgcrypt-mingw-w64-dev libz-mingw-w64-dev
WINDOWS_FLAGS    := -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
                    -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
                    -DKORVELT_WERROR=ON
ifneq ($(shell command -v ccache 2>/dev/null),)
WINDOWS_FLAGS += -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
endif

windows-deps:
	@missing=""; for p in $(WINDOWS_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi

windows: windows-deps
	cmake -S . -B $(WINDOWS_BUILD) $(WINDOWS_FLAGS)
	cmake --build $(WINDOWS_BUILD) -j $(JOBS) --target korvelt-updater korvelt-cli
	mkdir -p $(WINDOWS_DIST)
	x86_64-w64-mingw32-strip -o $(WINDOWS_DIST)/korvelt-updater.exe $(WINDOWS_BUILD)/korvelt-updater.exe
	x86_64-w64-mingw32-strip -o $(WINDOWS_DIST)/korvelt-cli.exe $(WINDOWS_BUILD)/korvelt-cli.exe
	cmake --build $(WINDOWS_BUILD) --target windows_zip
	ls -l $(WINDOWS_DIST) dist/*.zip

# The Debian package of the Linux programs and the Windows zip, both in dist/.
package: build windows
	rm -f dist/*.deb
	cd $(BUILD) && cpack -G DEB
	ls -l dist/*.deb dist/*.zip

# What the packages hold, and that the packaged korvelt-cli runs.
package-check: package
	tests/check_packages.sh $$(grep -m1 '^CMAKE_PROJECT_VERSION:' $(BUILD)/CMakeCache.txt | cut -d= -f2) dist

# Writes the Windows resource script again after a change of the layout table.
win32-rc: build
	$(BUILD)/korvelt-rcgen -o frontends/win32/korvelt.rc

test-windows: build windows-deps
	cmake -S . -B $(WINDOWS_BUILD) $(WINDOWS_FLAGS) -DKORVELT_HOST_SIM=$(abspath $(BUILD))/korvelt-sim \
	  -DKORVELT_HOST_HISTORY_TESTS=$(abspath $(BUILD))/tests/history_tests
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)
	ctest --test-dir $(WINDOWS_BUILD) --output-on-failure -j $(JOBS)

format:
	git ls-files --cached --others --exclude-standard '*.cpp' '*.h' | xargs clang-format -i

format-check:
	@git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
